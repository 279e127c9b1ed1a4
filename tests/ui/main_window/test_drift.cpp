// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

namespace {

// Below a 2.048 V reference one code step is less than the 1 mV a voltage box shows, so the text of a
// refreshed row cannot tell neighbouring codes apart.
class Drift : public AppFixture, public ::testing::WithParamInterface<const char*> {
protected:
    void expectCodes(const std::function<int(int)>& code)
    {
        for (int n = 1; n <= 24; ++n) {
            EXPECT_EQ(chip().dacRegister(n - 1), code(n)) << GetParam() << " V, channel " << n;
            EXPECT_EQ(model().code[n], code(n)) << GetParam() << " V, channel " << n;
        }
    }
};

TEST_P(Drift, AFileLoadAndReadBacksLeaveTheCodesOfTheFileAndOfTheChip)
{
    startWith(); // 10 V, every channel 0
    QByteArray text = GetParam();
    for (int n = 1; n <= 24; ++n)
        text += "\r\n" + QByteArray::number(40 * n);
    w().commandButton("Command8")->setFocus();
    use(file("low.csv", text), "Command2");
    expectCodes([](int n) { return 40 * n; });
    // Each channel is written as it is read, and once more by the refresh that first shows its new text.
    EXPECT_EQ(tap->dacWrites().size(), 48u);

    for (int reg = 0; reg < 24; ++reg)
        chip().setDacRegister(reg, 1023 - 40 * reg);
    for (const std::size_t rowsWritten : {24u, 0u}) {
        tap->clear();
        click("Command5");
        expectCodes([](int n) { return 1063 - 40 * n; });
        EXPECT_EQ(tap->dacWrites().size(), rowsWritten);
    }
    EXPECT_TRUE(reports.isEmpty()) << reports.join("\n").toStdString();
}

INSTANTIATE_TEST_SUITE_P(LowReferences, Drift, ::testing::Values("0.5", "1", "1.2"));

} // namespace
