// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The program's start-up as it meets the wires: on the simulated board, and through the real POSIX port on
// a pseudo-terminal whose modem lines the modem shim serves from a simulated board.
#include "app/bench.h"
#include "serial/posix_serial_port.h"
#include "sim/simulated_board.h"
#include "ui/main_window.h"

#include "support/pty_board.h"
#include "support/sigrok_decode.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class StartupOnTheWires : public ::testing::Test {
protected:
    // Starts the program on the device and ends it again; what it reported is in reports.
    void startAndEnd(std::unique_ptr<serial::SerialPort> device, std::unique_ptr<serial::PortCatalog> catalog)
    {
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue("PortNumb/2", "1");
            settings.setValue("BitRate/3", "9600");
            settings.setValue("vref_high0/10", "10");
        }
        app::Bench bench(ini, std::move(device), std::move(catalog), QFile::encodeName(trace));
        ui::MainWindow window(bench);
        window.setReport([this](const QString&, const QString& text) { reports << text; });
        window.load();
    }
    void expectDecodedStartup()
    {
        EXPECT_TRUE(reports.isEmpty());
        QString error;
        const QStringList decoded = sigrok::decodeI2c(trace, &error);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        const QStringList expected = sigrok::startupTransactions(codes);
        ASSERT_EQ(decoded.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            ASSERT_EQ(decoded[i], expected[i]) << "annotation " << i;
    }

    QTemporaryDir dir;
    QString ini = dir.filePath("KRM72340.ini"), trace = dir.filePath("startup.vcd");
    QStringList reports;
    std::vector<int> codes = [] {
        std::vector<int> some;
        for (int reg = 0; reg < 24; ++reg)
            some.push_back((reg * 97 + 5) % 1024);
        return some;
    }();
};

TEST_F(StartupOnTheWires, ALogicAnalysersDecoderReadsTheSimulatedBoardsTraceAsTheTransactionsSent)
{
    auto board = std::make_unique<sim::SimulatedBoard>();
    for (int reg = 0; reg < 24; ++reg)
        board->chip(0x74)->setDacRegister(reg, codes[reg]);
    startAndEnd(std::move(board), nullptr);
    expectDecodedStartup();
}

// On a real port the trace learns the chip's drive by reading DSR after every line change.
TEST_F(StartupOnTheWires, ThroughTheRealPortTheTraceStillShowsTheWires)
{
    krm_shim_config config = krm_shim_default_config();
    for (int reg = 0; reg < 24; ++reg)
        config.codes[0][reg] = static_cast<unsigned short>(codes[reg]);
    PtyBoard board(config);
    auto catalog = std::make_unique<serial::PortCatalog>(board.catalog());
    auto port = std::make_unique<serial::PosixSerialPort>(*catalog, dir.path());
    startAndEnd(std::move(port), std::move(catalog));
    expectDecodedStartup();
    EXPECT_EQ(krm_shim_dac_register(0x74, 23), codes[23]);
}

} // namespace
