// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The command line's commands run in-process, for what a signal cannot hit on purpose from outside: a stop
// asked for at an exact transaction, in the middle of an OTP burn, a batch's file or a set of every channel.
#include "app/bench.h"
#include "runner.h"
#include "sim/simulated_board.h"
#include "support/at_transaction.h"
#include "support/used_chip.h"

#include "programs/cli/cli_fixture.h"

namespace {

using Kind = bus::TransactionKind;

struct Quiet final : cli::Progress {
    void warning(const QString&) override {}
    void applied(const QJsonObject&) override {}
};

// The adapter pulled a few line requests into a transaction.
void pull(sim::SimulatedBoard& board)
{
    board.setFaults({false, false, long(board.lineRequests()) + 5});
}

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
        int burnt; // bank status and resets: a burn, its reset and the bank status read go together
        const std::vector<int>* codes;
        QString said;   // how the Stopped thrown begins, or what a batch that ended between files said
        int blocks = 0; // trigger blocks sent
    } cases[] = {
        {{"otp", "all", "--yes"}, Kind::OtpWrite, 1, 1, &before, ""},
        {{"otp", "all", "--yes"}, Kind::PointerWrite, 3, 0, &before, "during otp: nothing was written"},
        {{"otp", "7", "--yes"}, Kind::GeneralCall, 1, 1, nullptr, ""},
        {{"set", "all", "5"}, Kind::DacWrite, 5, 0, &fiveSet, "during set: channels 1-5 were written"},
        {{"batch", file, "--cycles", "0"},
         Kind::DacWrite,
         3,
         0,
         &fileCodes,
         "after " + file + " (cycle 1)",
         1},
        // Asked during the open's probe: the command never begins.
        {{"batch", file}, Kind::Probe, 1, 0, &before, "during batch: nothing was written"},
        {{"trigger"}, Kind::Probe, 1, 0, &before, "during trigger: nothing was written"},
        {{"otp", "3", "--yes"}, Kind::Read, 1, 0, &before, "during otp: nothing was written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        auto owned = std::make_unique<sim::SimulatedBoard>();
        const sim::SimulatedBoard& board = *owned;
        sim::SimulatedChip& chip = *owned->chip(0x74);
        for (int reg = 0; reg < 24; ++reg)
            chip.setDacRegister(reg, before[reg]);
        app::Bench bench(cli.settingsFile(), std::move(owned));
        const cli::Request request =
            cli::parseCommandLine(QStringList{"krm59340-cli", "--simulate"} + c.args).request;
        const AtTransaction stop(bench.engine(), c.stopAt, c.nth,
                                 [&] { bench.engine().interrupter().request(); });
        Quiet quiet;
        try {
            const cli::Outcome outcome = cli::Runner(bench, request, cli.lockDir(), quiet).run();
            EXPECT_EQ(outcome.message, c.said);
            EXPECT_EQ(outcome.stopped, !c.said.isEmpty());
        } catch (const cli::Stopped& e) {
            EXPECT_TRUE(!c.said.isEmpty() && e.text().startsWith(c.said)) << e.text();
        }
        EXPECT_EQ(chip.bankStatus(), c.burnt);
        EXPECT_EQ(chip.resets(), c.burnt);
        EXPECT_EQ(!board.transmitted().isEmpty(), c.blocks > 0);
        for (std::size_t reg = 0; c.codes && reg < c.codes->size(); ++reg)
            EXPECT_EQ(chip.dacRegister(int(reg)), c.codes->at(reg)) << "channel " << reg + 1;
    }
}

// A burn is judged by the bank status before and after it: one that did not take is a failure naming what
// the chip holds. After any burn the result holds every register as the reset loaded it and the channels
// that changed. An adapter pulled inside the burn is told with how far the burn went.
TEST(CliRunner, ABurnIsJudgedByTheBankStatusAndAPullInsideItSaysHowFarItWent)
{
    CliFixture cli;
    const struct {
        QStringList args;
        int banksUsed;
        Kind pullAt;
        int nth; // 0: no pull
        int status;
        QString said;
        int changed; // of a burn that ended
    } cases[] = {
        {{"otp", "1", "--yes"}, 0, Kind::OtpWrite, 0, 0, "", 23},
        {{"otp", "all", "--yes"},
         8,
         Kind::OtpWrite,
         0,
         4,
         "The burn of registers 0 to 23 did not take: the bank status read 8 before it and 8 after, not 9, "
         "so "
         "no new OTP bank holds it (every bank may be burnt already); after the reset the chip holds 1: 5h, "
         "2: 5h",
         24},
        {{"otp", "all", "--yes"},
         0,
         Kind::OtpWrite,
         8,
         2,
         "The burn into OTP bank 1 was cut off: registers 0 to 6 burnt, register 7 may or may not hold its "
         "new code, registers 8 to 23 not burnt. The bank is half-burnt",
         0},
        {{"otp", "3", "--yes"},
         2,
         Kind::GeneralCall,
         1,
         2,
         "The burn of register 2 into OTP bank 3 went through, but its reset failed",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString() + " pulled at " + std::to_string(c.nth));
        auto owned = std::make_unique<sim::SimulatedBoard>();
        sim::SimulatedBoard& board = *owned;
        board.chip(0x74)->setMemory(usedChip(c.banksUsed));
        app::Bench bench(cli.settingsFile(), std::move(owned));
        const cli::Request request =
            cli::parseCommandLine(QStringList{"krm59340-cli", "--simulate"} + c.args).request;
        const AtTransaction pulling(bench.engine(), c.pullAt, c.nth, [&] { pull(board); });
        Quiet quiet;
        int status = 0;
        QString said;
        QJsonObject result;
        try {
            const cli::Outcome outcome = cli::Runner(bench, request, cli.lockDir(), quiet).run();
            status = outcome.status;
            said = outcome.message;
            result = outcome.result;
        } catch (const cli::Failure& e) {
            status = e.status();
            said = e.text();
        }
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(said.contains(c.said)) << said;
        if (c.nth == 0) {
            const QJsonArray channels = result["channels"].toArray();
            ASSERT_EQ(channels.size(), 24);
            for (int reg = 0; reg < 24; ++reg)
                EXPECT_EQ(channels[reg]["code"].toInt(), board.chip(0x74)->dacRegister(reg)) << reg;
            EXPECT_EQ(result["changed"].toArray().size(), c.changed);
        }
    }
}

// set --verify reads back what it wrote: a DAC write the chip acknowledged but did not take (the board's
// fault) ends the command with status 2, naming the channel and what it holds.
TEST(CliRunner, VerifyCatchesAWriteTheChipDidNotTake)
{
    CliFixture cli;
    const struct {
        QStringList args;
        int lost; // the nth DAC write is lost; 0: none
        QString named;
    } cases[] = {
        {{"set", "7", "--code", "0x155", "--verify"}, 1, "channel 7 holds 0, not 341"},
        {{"set", "all", "--code", "5", "--verify"}, 3, "channel 3 holds 0, not 5"},
        {{"set", "all", "--code", "5", "--verify"}, 0, ""},
        // Without --verify nothing looks.
        {{"set", "7", "--code", "5"}, 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        auto owned = std::make_unique<sim::SimulatedBoard>();
        owned->chip(0x74)->loseDacWrite(c.lost);
        app::Bench bench(cli.settingsFile(), std::move(owned));
        const cli::Request request =
            cli::parseCommandLine(QStringList{"krm59340-cli", "--simulate"} + c.args).request;
        Quiet quiet;
        try {
            const cli::Outcome outcome = cli::Runner(bench, request, cli.lockDir(), quiet).run();
            EXPECT_TRUE(c.named.isEmpty());
            EXPECT_EQ(outcome.result["verified"].toBool(), request.verify);
        } catch (const cli::Failure& e) {
            EXPECT_EQ(e.status(), 2);
            EXPECT_TRUE(!c.named.isEmpty() && e.text().contains(c.named)) << e.text();
            EXPECT_TRUE(e.text().contains("did not take")) << e.text();
        }
    }
}

} // namespace
