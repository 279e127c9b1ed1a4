// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The command line's commands run in-process, for what a signal cannot hit on purpose from outside: a stop
// asked for at an exact transaction, in the middle of an OTP burn, a batch's file or a set of every channel.
#include "app/bench.h"
#include "runner.h"
#include "sim/simulated_board.h"

#include "programs/cli/cli_fixture.h"

namespace {

using Kind = bus::TransactionKind;

// Asks the bench to stop as the nth transaction of a kind starts; that one still runs.
class StopAt final : public bus::BusObserver {
public:
    StopAt(app::Bench& bench, Kind kind, int nth) : bench_(bench), kind_(kind), nth_(nth)
    {
        bench_.i2c.addObserver(this);
    }
    ~StopAt() { bench_.i2c.removeObserver(this); }

    void starting(Kind kind) override
    {
        if (kind == kind_ && --nth_ == 0)
            bench_.interrupter.request();
    }
    void done(const bus::Transaction&) override {}

private:
    app::Bench& bench_;
    Kind kind_;
    int nth_;
};

class Quiet final : public cli::Progress {
public:
    void warning(const QString&) override {}
    void applied(const QJsonObject&) override {}
};

TEST(CliRunner, AStopRequestEndsACommandOnlyWhereNothingIsLeftHalfDone)
{
    CliFixture cli;
    cli.writeSettings({{"vref_high0/10", "10"}});
    const std::vector<int> before = someCodes(1, 1), fileCodes = someCodes(30, 30);
    const QString file = cli.writeChannelFile("file.csv", "10", fileCodes);
    std::vector<int> fiveSet = before;
    std::fill_n(fiveSet.begin(), 5, 512);

    const struct {
        QStringList args;
        Kind stopAt;
        int nth;
        QString said; // by the Stopped thrown, or by the outcome of a command that finished
        bool stopped; // a batch that ended between files
        int burnt;    // bank status and resets: a burn, its reset and the bank status read go together
        std::vector<int> codes;
    } cases[] = {
        {{"otp", "all", "--yes"}, Kind::OtpWrite, 1, "", false, 1, before},
        {{"otp", "all", "--yes"},
         Kind::PointerWrite,
         3,
         "during otp: nothing was written to the chip",
         false,
         0,
         before},
        {{"otp", "7", "--yes"}, Kind::GeneralCall, 1, "", false, 1, {}},
        {{"set", "all", "5"}, Kind::DacWrite, 5, "during set: channels 1-5 were written", false, 0, fiveSet},
        {{"batch", file, file, "--cycles", "0"},
         Kind::DacWrite,
         3,
         "after " + file + " (cycle 1)",
         true,
         0,
         fileCodes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        auto owned = std::make_unique<sim::SimulatedBoard>();
        sim::SimulatedChip& chip = *owned->chip(0x74);
        for (int reg = 0; reg < 24; ++reg)
            chip.setDacRegister(reg, before[reg]);
        app::Bench bench(cli.settingsFile(), std::move(owned));
        const cli::Request request =
            cli::parseCommandLine(QStringList{"krm59340-cli", "--simulate"} + c.args).request;
        const StopAt stop(bench, c.stopAt, c.nth);
        Quiet quiet;
        cli::Outcome outcome;
        try {
            outcome = cli::Runner(bench, request, cli.lockDir(), quiet).run();
            EXPECT_EQ(outcome.message, c.said);
        } catch (const cli::Stopped& e) {
            EXPECT_EQ(e.text(), c.said);
        }
        EXPECT_EQ(outcome.stopped, c.stopped);
        EXPECT_EQ(chip.bankStatus(), c.burnt);
        EXPECT_EQ(chip.resets(), c.burnt);
        for (std::size_t reg = 0; reg < c.codes.size(); ++reg)
            EXPECT_EQ(chip.dacRegister(int(reg)), c.codes[reg]) << "channel " << reg + 1;
    }
}

} // namespace
