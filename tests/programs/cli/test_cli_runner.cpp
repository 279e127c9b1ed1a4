// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The command line's commands run in-process, for what a signal cannot hit on purpose from outside: a stop
// asked for at an exact transaction, in the middle of an OTP burn, a batch's file or a set of every channel.
#include "app/bench.h"
#include "runner.h"
#include "sim/simulated_board.h"

#include "support/qstring_printer.h"

#include <QJsonArray>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace {

using Kind = bus::TransactionKind;

// Asks the bench to stop as the nth transaction of a kind starts; that one still runs.
class StopAt : public bus::BusObserver {
public:
    StopAt(app::Bench& bench, Kind kind, int nth) : bench_(bench), kind_(kind), nth_(nth)
    {
        bench_.i2c.addObserver(this);
    }
    ~StopAt() { bench_.i2c.removeObserver(this); }
    StopAt(const StopAt&) = delete;
    StopAt& operator=(const StopAt&) = delete;

    void starting(Kind kind) override
    {
        if (kind == kind_ && ++seen_ == nth_)
            bench_.interrupter.request();
    }
    void done(const bus::Transaction&) override {}

private:
    app::Bench& bench_;
    Kind kind_;
    int nth_;
    int seen_ = 0;
};

class Collected : public cli::Progress {
public:
    void warning(const QString& text) override { warnings << text; }
    void applied(const QJsonObject& entry) override { files << entry["file"].toString(); }

    QStringList warnings;
    QStringList files;
};

std::vector<int> codesOf(const sim::SimulatedChip& chip)
{
    std::vector<int> codes;
    for (int reg = 0; reg < 24; ++reg)
        codes.push_back(chip.dacRegister(reg));
    return codes;
}

TEST(CliRunner, AStopRequestEndsACommandOnlyWhereNothingIsLeftHalfDone)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("KRM72340.ini");
    QSettings(ini, QSettings::IniFormat).setValue("vref_high0/10", "10");
    const QString file = dir.filePath("file.csv");
    std::vector<int> fileCodes;
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("10\r\n");
        for (int n = 1; n <= 24; ++n) {
            fileCodes.push_back(n * 30);
            out.write(QByteArray::number(n * 30) + "\r\n");
        }
    }
    std::vector<int> before;
    for (int reg = 0; reg < 24; ++reg)
        before.push_back(reg + 1);

    const struct {
        const char* what;
        std::function<void(cli::Request&)> request;
        Kind stopAt;
        int nth;
        QString stopped; // "" when the command finishes
        std::function<void(const sim::SimulatedChip&, const cli::Outcome&)> check;
    } cases[] = {
        {"otp all, stopped during its first burn",
         [](cli::Request& r) {
             r.command = cli::Command::Otp;
             r.commandName = "otp";
         },
         Kind::OtpWrite, 1, "",
         [&](const sim::SimulatedChip& chip, const cli::Outcome& outcome) {
             EXPECT_EQ(chip.bankStatus(), 1);
             EXPECT_EQ(chip.resets(), 1);
             EXPECT_EQ(outcome.result["bank_status"].toInt(), 1);
             EXPECT_EQ(outcome.result["burnt"].toArray().size(), 24);
         }},
        {"otp all, stopped while it reads the codes to burn",
         [](cli::Request& r) {
             r.command = cli::Command::Otp;
             r.commandName = "otp";
         },
         Kind::PointerWrite, 3, "during otp: nothing was written to the chip",
         [&](const sim::SimulatedChip& chip, const cli::Outcome&) {
             EXPECT_EQ(chip.bankStatus(), 0);
             EXPECT_EQ(chip.resets(), 0);
         }},
        {"otp of one channel, stopped at its reset",
         [](cli::Request& r) {
             r.command = cli::Command::Otp;
             r.commandName = "otp";
             r.channel = 7;
         },
         Kind::GeneralCall, 1, "",
         [&](const sim::SimulatedChip& chip, const cli::Outcome&) { EXPECT_EQ(chip.bankStatus(), 1); }},
        {"set all, stopped at its fifth write",
         [](cli::Request& r) {
             r.command = cli::Command::Set;
             r.commandName = "set";
             r.volts = 5;
         },
         Kind::DacWrite, 5, "during set: channels 1-5 were written",
         [&](const sim::SimulatedChip& chip, const cli::Outcome&) {
             std::vector<int> expected = before;
             std::fill(expected.begin(), expected.begin() + 5, 512);
             EXPECT_EQ(codesOf(chip), expected);
         }},
        {"an endless batch, stopped in its first file",
         [&](cli::Request& r) {
             r.command = cli::Command::Batch;
             r.commandName = "batch";
             r.files = {QFile::encodeName(file), QFile::encodeName(file)};
             r.cycles = 0;
         },
         Kind::DacWrite, 3, "",
         [&](const sim::SimulatedChip& chip, const cli::Outcome& outcome) {
             EXPECT_TRUE(outcome.stopped);
             EXPECT_EQ(outcome.message, "after " + file + " (cycle 1)");
             EXPECT_EQ(outcome.result["applied"].toArray().size(), 1);
             EXPECT_EQ(codesOf(chip), fileCodes);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto owned = std::make_unique<sim::SimulatedBoard>();
        sim::SimulatedChip& chip = *owned->chip(0x74);
        for (int reg = 0; reg < 24; ++reg)
            chip.setDacRegister(reg, before[reg]);
        app::Bench bench(ini, std::move(owned));
        cli::Request request;
        request.simulate = true;
        c.request(request);
        const StopAt stop(bench, c.stopAt, c.nth);
        Collected progress;
        cli::Runner runner(bench, request, dir.path(), progress);
        cli::Outcome outcome;
        try {
            outcome = runner.run();
            EXPECT_TRUE(c.stopped.isEmpty()) << "the command finished";
        } catch (const cli::Stopped& e) {
            EXPECT_EQ(e.text(), c.stopped);
        }
        c.check(chip, outcome);
    }
}

} // namespace
