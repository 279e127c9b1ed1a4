// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/widgets.h"

#include <QToolButton>

namespace {

class Editing : public AppFixture {};

TEST_F(Editing, TypingWritesAtEveryKeystrokeAndLeavingNormalisesTheRow)
{
    startWith();
    typeInto(volt(2), "5.5");
    // The deletion writes 0 for the empty box, then one write per keystroke; the code box waits.
    EXPECT_EQ(tap->dacWrites(), (Writes{{2, 0}, {2, 512}, {2, 512}, {2, 563}}));
    QTest::keyClick(volt(2), Qt::Key_Return); // Return alone does not leave the box
    EXPECT_EQ(row(2), "5.5 V, 0");
    leave(volt(2));
    EXPECT_EQ(row(2), "5.498 V, 233");

    tap->clear();
    typeInto(volt(0), "12");
    EXPECT_EQ(tap->dacWrites(), (Writes{{0, 0}, {0, 102}, {0, 1023}})); // 1024 reaches the chip as 1023
    leave(volt(0));
    EXPECT_EQ(row(0), "10 V, 400");

    // Below the range the lower end holds: a code below 0 would make a file that cannot be loaded again.
    tap->clear();
    typeInto(volt(1), "-1");
    EXPECT_EQ(tap->dacWrites(), (Writes{{1, 0}, {1, 0}, {1, 0}}));
    leave(volt(1));
    EXPECT_EQ(row(1), "0 V, 0");
    EXPECT_EQ(model().code[2], 0);
}

TEST_F(Editing, ArrowsStepTheCurrentCodeAndWriteOnlyWhenTheTextChanges)
{
    startWith({{5, 1000}, {7, 1023}, {23, 100}});
    press(w().arrows()->upArrow()); // channel 24 after start-up, out of view
    EXPECT_EQ(tap->dacWrites(), (Writes{{23, 101}}));
    // Clicks into a row (leaving the last one) and presses an arrow; returns what that press wrote.
    const auto step = [this](int row, bool up) {
        press(volt(row));
        tap->clear();
        press(up ? w().arrows()->upArrow() : w().arrows()->downArrow());
        return tap->dacWrites();
    };
    EXPECT_EQ(step(5, true), (Writes{{5, 1001}}));
    EXPECT_EQ(row(5), "9.775 V, 3E9");
    EXPECT_EQ(step(6, false), Writes{});          // at 0 already
    EXPECT_EQ(step(7, true), Writes{});           // at 1023 already
    EXPECT_EQ(step(18, true), (Writes{{18, 1}})); // row "c1" is channel 19, register 18
}

// Up and Down in a voltage box step that row's code as the arrows do; other keys are the box's own.
TEST_F(Editing, UpAndDownInAVoltageBoxStepItsCodeAsTheArrowsDo)
{
    startWith({{5, 1000}, {7, 1023}, {18, 0}});
    const struct {
        int row;
        Qt::Key key;
        Writes wrote;
        const char* shown;
    } cases[] = {
        {5, Qt::Key_Up, {{5, 1001}}, "9.775 V, 3E9"},
        {5, Qt::Key_Down, {{5, 1000}}, "9.765 V, 3E8"},
        {6, Qt::Key_Down, {}, "0 V, 0"},           // at 0 already
        {7, Qt::Key_Up, {}, "9.99 V, 3FF"},        // at 1023 already
        {18, Qt::Key_Up, {{18, 1}}, "0.009 V, 1"}, // row "c1" is channel 19, register 18
        {18, Qt::Key_Home, {}, "0.009 V, 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        press(volt(c.row));
        tap->clear();
        QTest::keyClick(volt(c.row), c.key);
        settle();
        EXPECT_EQ(tap->dacWrites(), c.wrote);
        EXPECT_EQ(row(c.row), c.shown);
    }
}

TEST_F(Editing, AReferenceChangeRewritesOnlyRowsWhoseTextChanged)
{
    startWith({{0, 512}, {9, 512}, {16, 512}});
    QLineEdit* ref = w().referenceBox();
    typeInto(ref, "5");
    EXPECT_TRUE(tap->dacWrites().empty()); // nothing until the box is left
    leave(ref);
    EXPECT_EQ(tap->dacWrites(), (Writes{{0, 512}, {9, 512}, {16, 512}})); // hidden rows too
}

} // namespace
