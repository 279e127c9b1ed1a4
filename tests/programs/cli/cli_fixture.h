// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "support/qstring_printer.h"
#include "support/sigrok_decode.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
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

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// 24 codes that differ from channel to channel.
inline std::vector<int> someCodes(int step, int first)
{
    std::vector<int> codes;
    for (int n = 0; n < 24; ++n)
        codes.push_back((first + step * n) % 1024);
    return codes;
}

// What the built krm59340-cli did: its exit status, or the signal that ended it, and its output.
struct CliResult {
    int status = -1; // -1 when a signal ended the program
    int signal = 0;
    QByteArray out;
    QString err;

    // Empty when out is not JSON, which any check of a value then shows. Of JSON Lines (a batch, a
    // session), the last line.
    QJsonObject json() const
    {
        const QJsonObject whole = QJsonDocument::fromJson(out).object();
        return whole.isEmpty() && !lines().isEmpty() ? lines().constLast() : whole;
    }
    // Each line of out as JSON (empty objects for lines that are not).
    QList<QJsonObject> lines() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray& line : out.split('\n'))
            if (!line.isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        return objects;
    }
};

// Each "path=text" of expected, separated by ", ": the value at that path of object keys and array indices
// ("#" for an array's size) reads as that text.
inline void expectJson(const QJsonObject& json, const QString& expected)
{
    for (const QString& entry : expected.split(", ", Qt::SkipEmptyParts)) {
        QJsonValue value = json;
        for (const QString& step : entry.section('=', 0, 0).split('/')) {
            bool index = false;
            const int n = step.toInt(&index);
            value = index ? value[n] : step == "#" ? QJsonValue(value.toArray().size()) : value[step];
        }
        EXPECT_EQ(value.toVariant().toString(), entry.section('=', 1)) << entry;
    }
}

// Runs krm59340-cli as a script runs it, with a scratch settings directory (XDG_CONFIG_HOME) and lock
// directory (KRM59340_LOCK_DIR).
class CliFixture {
public:
    CliFixture() { useEnvironment(QProcessEnvironment::systemEnvironment()); }

    QString path(const QString& name) const { return dir.filePath(name); }
    QString lockDir() const { return dir.filePath("lock"); }
    QString settingsFile() const { return dir.filePath("config/KRM72340.ini"); }
    // Runs the program with this environment from now on (a pty board's, say), plus the scratch directories.
    void useEnvironment(QProcessEnvironment env)
    {
        QDir().mkpath(lockDir());
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

    // program: krm59340-cli, or what runs it (a shell that sets its limits).
    void start(QProcess& process, const QStringList& args, const QString& program = KRM_CLI) const
    {
        process.setProcessEnvironment(env_);
        process.start(program, args);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    static CliResult finish(QProcess& process)
    {
        EXPECT_TRUE(process.waitForFinished(60000)) << "krm59340-cli did not end";
        CliResult result;
        // On Unix, Qt reports the signal that ended the process as its exit code.
        (process.exitStatus() == QProcess::NormalExit ? result.status : result.signal) = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    CliResult run(const QStringList& args, const QString& program = KRM_CLI) const
    {
        QProcess process;
        start(process, args, program);
        return finish(process);
    }

    // A session fed these lines, then the end of its input.
    CliResult session(const QStringList& args, const QStringList& lines) const
    {
        QProcess process;
        start(process, args + QStringList{"session"});
        process.write((lines.join('\n') + '\n').toUtf8());
        process.closeWriteChannel();
        return finish(process);
    }

    QTemporaryDir dir;

private:
    QProcessEnvironment env_;
};

// What a logic analyser's I2C decoder shows of the transactions, for building the expected traffic.
namespace traffic {

// One transaction: START, the address byte and each byte after it with its acknowledge, STOP. The master
// ends a read with a NACK.
inline QStringList frame(int address, bool reading, const std::vector<int>& bytes = {})
{
    QStringList out{"Start", (reading ? "Address read: " : "Address write: ") + sigrok::hex2(address), "ACK"};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out << (reading ? "Data read: " : "Data write: ") + sigrok::hex2(bytes[i])
            << (reading && i + 1 == bytes.size() ? "NACK" : "ACK");
    return out << "Stop";
}

inline QStringList probe(int address)
{
    return frame(address, false);
}

inline QStringList read(int address, int pointer, int word)
{
    return frame(address, false, {pointer}) + frame(address, true, {word >> 8, word & 0xFF});
}

// DAC writes of channels first, first + 1, ...
inline QStringList dacWrites(int address, const std::vector<int>& codes, int first = 1)
{
    QStringList out;
    for (std::size_t n = 0; n < codes.size(); ++n)
        out << frame(address, false, {first - 1 + int(n), 0x80 | codes[n] >> 8, codes[n] & 0xFF});
    return out;
}

inline const QStringList generalCallReset = frame(0x00, false, {0x06});

// The 24 register reads on a fresh board: all 0.
inline QStringList readChannels(int address)
{
    QStringList out;
    for (int reg = 0; reg < 24; ++reg)
        out << read(address, reg, 0);
    return out;
}

// The register reads and the bank status read of read, reset and save on a fresh board.
inline QStringList readChip(int address)
{
    return readChannels(address) + read(address, 0x3F, 0);
}

inline QStringList decode(const QString& vcd)
{
    QString error;
    const QStringList decoded = sigrok::decodeI2c(vcd, &error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    return decoded;
}

} // namespace traffic
