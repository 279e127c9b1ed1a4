// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The bus trace the program writes, as a logic analyser's decoder reads it.
#include "app_fixture.h"

#include "support/sigrok_decode.h"

namespace {

class Trace : public AppFixture {};

TEST_F(Trace, ADecoderReadsTheStartUpsTraceAsTheTransactionsSent)
{
    std::vector<int> codes;
    for (int reg = 0; reg < 24; ++reg)
        codes.push_back((reg * 97 + 5) % 1024);
    tracePath = file("startup.vcd");
    start(onCom1({{"vref_high0/10", "10"}}), [&](sim::SimulatedBoard& b) {
        for (int reg = 0; reg < 24; ++reg)
            b.chip(0x74)->setDacRegister(reg, codes[reg]);
    });
    EXPECT_EQ(bench->engine().traceFailure(), std::nullopt);
    QString error;
    EXPECT_EQ(sigrok::decodeI2c(QFile::decodeName(tracePath), &error), sigrok::startupTransactions(codes))
        << error.toStdString();
}

} // namespace
