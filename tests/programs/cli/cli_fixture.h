// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "support/qstring_printer.h"
#include "support/sigrok_decode.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <utility>
#include <vector>

// Messages of failed expectations show the program's texts as they are.
inline std::ostream& operator<<(std::ostream& os, const QString& text)
{
    return os << text.toStdString();
}

// The built krm59340-cli run as a script runs it: a scratch settings directory (XDG_CONFIG_HOME) and lock
// directory (KRM59340_LOCK_DIR), its output, exit status and bus trace.
struct CliResult {
    int status = -1; // the exit status; -1 when a signal ended the program
    int signal = 0;  // that signal
    QByteArray out;
    QString err;

    QJsonObject json() const
    {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString() << "\n" << out.toStdString();
        return document.object();
    }
    QStringList lines() const { return QString::fromLocal8Bit(out).split('\n', Qt::SkipEmptyParts); }
};

class CliFixture {
public:
    CliFixture()
    {
        QDir().mkpath(dir.filePath("config"));
        QDir().mkpath(lockDir());
        env_.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env_.insert("KRM59340_LOCK_DIR", lockDir());
    }

    QString path(const QString& name) const { return dir.filePath(name); }
    QString lockDir() const { return dir.filePath("lock"); }
    QString settingsFile() const { return dir.filePath("config/KRM72340.ini"); }
    // Runs the program with this environment from now on (a pty board's, say), plus the scratch directories.
    void useEnvironment(QProcessEnvironment env)
    {
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("KRM59340_LOCK_DIR", lockDir());
        env_ = std::move(env);
    }

    // Entries of the window's settings file, as "Section/key" and value.
    void writeSettings(std::initializer_list<std::pair<const char*, QString>> entries) const
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        for (const auto& [key, value] : entries)
            settings.setValue(key, value);
    }

    // A channel file in the window's format.
    QString writeChannelFile(const QString& name, const QString& reference,
                             const std::vector<int>& codes) const
    {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reference.toLatin1() + "\r\n");
        for (int code : codes)
            file.write(QByteArray::number(code) + "\r\n");
        return file.fileName();
    }

    void start(QProcess& process, const QStringList& args) const
    {
        process.setProcessEnvironment(env_);
        process.start(KRM_CLI, args);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    static CliResult finish(QProcess& process)
    {
        EXPECT_TRUE(process.waitForFinished(60000)) << "krm59340-cli did not end";
        CliResult result;
        if (process.exitStatus() == QProcess::NormalExit)
            result.status = process.exitCode();
        else
            result.signal = process.exitCode(); // on Unix, Qt reports the signal that ended the process here
        result.out = process.readAllStandardOutput();
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    CliResult run(const QStringList& args) const
    {
        QProcess process;
        start(process, args);
        return finish(process);
    }

    QTemporaryDir dir;

private:
    QProcessEnvironment env_ = QProcessEnvironment::systemEnvironment();
};

// What a logic analyser's I2C decoder shows of the transactions, for building the expected traffic.
namespace traffic {

inline QString hex(int byte)
{
    return sigrok::hex2(byte);
}

inline QStringList probe(int address, bool answers = true)
{
    return {"Start", "Address write: " + hex(address), answers ? "ACK" : "NACK", "Stop"};
}

inline QStringList read(int address, int pointer, int word)
{
    return {"Start", "Address write: " + hex(address),
            "ACK",   "Data write: " + hex(pointer),
            "ACK",   "Stop",
            "Start", "Address read: " + hex(address),
            "ACK",   "Data read: " + hex(word >> 8),
            "ACK",   "Data read: " + hex(word & 0xFF),
            "NACK",  "Stop"};
}

// command 0x80 sets the DAC register, 0x40 burns it into OTP.
inline QStringList write(int address, int pointer, int command, int code)
{
    return {"Start", "Address write: " + hex(address),
            "ACK",   "Data write: " + hex(pointer),
            "ACK",   "Data write: " + hex(command | code >> 8),
            "ACK",   "Data write: " + hex(code & 0xFF),
            "ACK",   "Stop"};
}

inline QStringList dacWrite(int address, int channel, int code)
{
    return write(address, channel - 1, 0x80, code);
}

inline QStringList generalCallReset()
{
    return {"Start", "Address write: 00", "ACK", "Data write: 06", "ACK", "Stop"};
}

// The 24 register reads and the bank status read of read, reset and save.
inline QStringList readChip(int address, const std::vector<int>& codes, int bankStatus)
{
    QStringList out;
    for (int reg = 0; reg < 24; ++reg)
        out << read(address, reg, codes.at(reg));
    return out + read(address, 0x3F, bankStatus);
}

inline QStringList decode(const QString& vcd)
{
    QString error;
    const QStringList decoded = sigrok::decodeI2c(vcd, &error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    return decoded;
}

} // namespace traffic
