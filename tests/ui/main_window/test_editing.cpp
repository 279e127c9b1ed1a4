// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "ui/widgets.h"

#include <QToolButton>

namespace {

using Writes = std::vector<std::pair<int, int>>;

class Editing : public AppFixture {
protected:
    // Clicks into a row (leaving the last one) and presses an arrow; returns what that press wrote.
    Writes step(int row, bool up)
    {
        QTest::mouseClick(volt(row), Qt::LeftButton);
        tap->clear();
        QTest::mouseClick(up ? w().arrows()->upArrow() : w().arrows()->downArrow(), Qt::LeftButton);
        return tap->dacWrites();
    }
};

TEST_F(Editing, TypingWritesAtEveryKeystrokeAndLeavingNormalisesTheRow)
{
    startWith();
    typeInto(volt(2), "5.5");
    // The deletion writes 0 for the empty box, then one write per keystroke; the code box waits.
    EXPECT_EQ(tap->dacWrites(), (Writes{{2, 0}, {2, 512}, {2, 512}, {2, 563}}));
    EXPECT_EQ(w().codeBox(2)->text(), "0");
    QTest::keyClick(volt(2), Qt::Key_Return); // Return alone does not leave the box
    EXPECT_EQ(volt(2)->text(), "5.5");
    leave(volt(2));
    EXPECT_EQ(w().codeBox(2)->text(), "233");
    EXPECT_EQ(volt(2)->text(), "5.498");
    EXPECT_EQ(tap->dacWrites().back(), std::make_pair(2, 563));

    tap->clear();
    typeInto(volt(0), "12");
    EXPECT_EQ(tap->dacWrites(), (Writes{{0, 0}, {0, 102}, {0, 1023}})); // 1024 reaches the chip as 1023
    EXPECT_EQ(model().code[1], 1024);
    leave(volt(0));
    EXPECT_EQ(volt(0)->text(), "10");
    EXPECT_EQ(w().codeBox(0)->text(), "400");

    tap->clear();
    typeInto(volt(1), "abc");
    EXPECT_EQ(tap->dacWrites(), (Writes{{1, 0}, {1, 0}, {1, 0}, {1, 0}}));
    for (const char* text : {"abc", "1e400", "-1e400", "nan"}) {
        typeInto(volt(1), text);
        leave(volt(1));
        EXPECT_TRUE(volt(1)->text() == "10" || volt(1)->text() == "0") << text;
    }
}

TEST_F(Editing, ArrowsStepTheCurrentCodeAndWriteOnlyWhenTheTextChanges)
{
    startWith({{5, 1000}, {7, 1023}, {23, 100}});
    // Right after start-up the arrows act on channel 24, whose row is out of view.
    QTest::mouseClick(w().arrows()->upArrow(), Qt::LeftButton);
    EXPECT_EQ(tap->dacWrites(), (Writes{{23, 101}}));
    EXPECT_EQ(w().codeBox(23)->text(), "65");

    EXPECT_EQ(step(5, true), (Writes{{5, 1001}}));
    EXPECT_EQ(volt(5)->text(), "9.775");
    EXPECT_EQ(w().codeBox(5)->text(), "3E9");
    EXPECT_EQ(step(6, false), Writes{}); // at 0 already
    EXPECT_EQ(step(7, true), Writes{});  // at 1023 already
    EXPECT_EQ(w().codeBox(7)->text(), "3FF");
    EXPECT_EQ(step(18, true), (Writes{{18, 1}})); // row "c1" is channel 19, register 18
}

TEST_F(Editing, ReferenceChangeRewritesOnlyRowsWhoseTextChanged)
{
    startWith({{0, 512}, {9, 512}, {16, 512}});
    QLineEdit* ref = w().referenceBox();
    typeInto(ref, "5");
    EXPECT_TRUE(tap->dacWrites().empty()); // nothing until the box is left
    leave(ref);
    EXPECT_EQ(volt(16)->text(), "2.5"); // hidden rows follow like the others
    EXPECT_EQ(tap->dacWrites(), (Writes{{0, 512}, {9, 512}, {16, 512}}));
    EXPECT_EQ(model().vref_high[0], 5);
    // A reference that is not a finite number keeps the one in use.
    typeInto(ref, "1e999");
    leave(ref);
    EXPECT_EQ(model().vref_high_cur, 5);
    EXPECT_EQ(ref->text(), "5");
}

} // namespace
