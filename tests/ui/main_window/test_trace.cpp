// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app/bench.h"
#include "sim/simulated_board.h"
#include "ui/main_window.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString hex2(int byte)
{
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
}

// The start-up as sigrok's I2C decoder must read it from the trace: the presence probe, 24 register reads
// and the bank status read, then the write-back of every channel; every byte acknowledged as the chip did,
// and no START or STOP that the program did not make.
QStringList expectedStartup(const std::vector<int>& codes)
{
    QStringList out{"Start", "Address write: 74", "ACK", "Stop"};
    for (int reg = 0; reg <= 24; ++reg) {
        const int pointer = reg < 24 ? reg : 0x3F;
        const int word = reg < 24 ? codes[reg] : 0;
        out << "Start"
            << "Address write: 74"
            << "ACK"
            << "Data write: " + hex2(pointer) << "ACK"
            << "Stop"
            << "Start"
            << "Address read: 74"
            << "ACK"
            << "Data read: " + hex2(word >> 8) << "ACK"
            << "Data read: " + hex2(word & 0xFF) << "NACK"
            << "Stop";
    }
    for (int reg = 0; reg < 24; ++reg)
        out << "Start"
            << "Address write: 74"
            << "ACK"
            << "Data write: " + hex2(reg) << "ACK"
            << "Data write: " + hex2(0x80 | codes[reg] >> 8) << "ACK"
            << "Data write: " + hex2(codes[reg] & 0xFF) << "ACK"
            << "Stop";
    return out;
}

TEST(BusTrace, ALogicAnalysersDecoderReadsTheStartUpAsTheTransactionsSent)
{
    const QString sigrok = QStandardPaths::findExecutable("sigrok-cli");
    if (sigrok.isEmpty())
        GTEST_SKIP() << "sigrok-cli is not installed (scripts/install-deps.sh installs it)";
    QTemporaryDir dir;
    const QString ini = dir.filePath("KRM72340.ini");
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("PortNumb/2", "1");
        settings.setValue("BitRate/3", "9600");
        settings.setValue("vref_high0/10", "10");
    }
    std::vector<int> codes;
    auto board = std::make_unique<sim::SimulatedBoard>();
    for (int reg = 0; reg < 24; ++reg) {
        codes.push_back((reg * 97 + 5) % 1024);
        board->chip(0x74)->setDacRegister(reg, codes.back());
    }
    const QString trace = dir.filePath("startup.vcd");
    {
        app::Bench bench(ini, std::move(board), nullptr, trace);
        ui::MainWindow window(bench);
        window.setReport([](const QString&, const QString& text) { ADD_FAILURE() << text.toStdString(); });
        window.load();
    }

    QProcess decoder;
    decoder.start(sigrok,
                  {"-I", "vcd", "-i", trace, "-P", "i2c:scl=scl:sda=sda", "-A",
                   "i2c=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write"});
    ASSERT_TRUE(decoder.waitForFinished(60000));
    ASSERT_EQ(decoder.exitCode(), 0) << decoder.readAllStandardError().toStdString();
    QStringList decoded;
    // "Write" and "Read" only repeat the direction of the address that follows them.
    for (const QByteArray& line : decoder.readAllStandardOutput().split('\n')) {
        const QString annotation = QString::fromLatin1(line).section(QStringLiteral(": "), 1);
        if (!annotation.isEmpty() && annotation != "Write" && annotation != "Read")
            decoded << annotation;
    }
    const QStringList expected = expectedStartup(codes);
    ASSERT_EQ(decoded.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        ASSERT_EQ(decoded[i], expected[i]) << "annotation " << i;
}

} // namespace
