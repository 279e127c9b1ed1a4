#include "app_fixture.h"

#include "app/widgets.h"

#include <QToolButton>

#include <vector>

namespace {

class Editing : public AppFixture {
protected:
    // Reference 10 V on bank 0, the chip's registers preset before start-up.
    void startAt(const QString& reference, std::vector<std::pair<int, int>> registers = {})
    {
        start(onCom1({{"vref_high0/10", reference}}), [registers](sim::SimulatedBoard& b) {
            for (const auto& [reg, code] : registers)
                b.chip(0x74)->setDacRegister(reg, code);
        });
        tap->clear();
    }
    void up() { QTest::mouseClick(w().arrows()->upArrow(), Qt::LeftButton); }
    void down() { QTest::mouseClick(w().arrows()->downArrow(), Qt::LeftButton); }
    std::vector<int> codes() const { return tap->dacCodes(); }
};

TEST_F(Editing, TypingWritesAtEveryKeystrokeAndLeavingNormalisesTheRow)
{
    startAt("10");
    QLineEdit* box = volt(2);
    typeInto(box, "5.5");
    // The deletion writes 0 for the empty box, then one write per keystroke; the code box waits.
    EXPECT_EQ(codes(), (std::vector<int>{0, 512, 512, 563}));
    EXPECT_EQ(box->text(), "5.5");
    EXPECT_EQ(w().codeBox(2)->text(), "0");
    EXPECT_EQ(board->chip(0x74)->dacRegister(2), 563);

    QTest::keyClick(box, Qt::Key_Return); // Return alone does not leave the box
    EXPECT_EQ(w().codeBox(2)->text(), "0");
    leave(box);
    EXPECT_EQ(w().codeBox(2)->text(), "233");
    EXPECT_EQ(box->text(), "5.498");
    EXPECT_EQ(model().cur_chan, 3);
    EXPECT_EQ(tap->dacWrites().back(), std::make_pair(2, 563));
}

TEST_F(Editing, OutOfRangeAndNonNumericTextsClampToTheReferenceRange)
{
    startAt("10");
    typeInto(volt(0), "12");
    // 1024 after the second digit, which goes to the chip as 1023.
    EXPECT_EQ(codes(), (std::vector<int>{0, 102, 1023}));
    EXPECT_EQ(model().code[1], 1024);
    leave(volt(0));
    EXPECT_EQ(volt(0)->text(), "10");
    EXPECT_EQ(w().codeBox(0)->text(), "400");

    tap->clear();
    typeInto(volt(1), "abc");
    EXPECT_EQ(codes(), (std::vector<int>{0, 0, 0, 0}));
    leave(volt(1));
    EXPECT_EQ(volt(1)->text(), "0");

    for (const char* huge : {"1e400", "-1e400", "nan", "inf"}) {
        typeInto(volt(4), huge);
        leave(volt(4));
        EXPECT_TRUE(volt(4)->text() == "10" || volt(4)->text() == "0") << huge;
    }
}

TEST_F(Editing, ArrowsStepTheCurrentCodeWithoutRefreshingOtherRows)
{
    startAt("10", {{5, 1000}, {6, 0}, {7, 1023}});
    QTest::mouseClick(volt(5), Qt::LeftButton);
    up();
    EXPECT_EQ(volt(5)->text(), "9.775");
    EXPECT_EQ(w().codeBox(5)->text(), "3E9");
    EXPECT_EQ(tap->dacWrites(), (std::vector<std::pair<int, int>>{{5, 1001}}));

    // Clicking into another box leaves the last one, which writes it; the arrows alone write nothing when
    // the voltage text does not change.
    QTest::mouseClick(volt(6), Qt::LeftButton);
    tap->clear();
    down(); // already 0
    EXPECT_TRUE(codes().empty());
    EXPECT_EQ(w().codeBox(6)->text(), "0");
    QTest::mouseClick(volt(7), Qt::LeftButton);
    tap->clear();
    up(); // already 1023
    EXPECT_TRUE(codes().empty());
    EXPECT_EQ(w().codeBox(7)->text(), "3FF");

    // Row "c1" is channel 19, register 18.
    QTest::mouseClick(volt(18), Qt::LeftButton);
    tap->clear();
    up();
    EXPECT_EQ(tap->dacWrites(), (std::vector<std::pair<int, int>>{{18, 1}}));
}

TEST_F(Editing, BelowTwoVoltsAStepCanHideInsideTheLastDigit)
{
    startAt("1");
    QTest::mouseClick(volt(0), Qt::LeftButton);
    up();
    EXPECT_EQ(volt(0)->text(), "0"); // 0.0009765625 truncates to 0: nothing written
    EXPECT_EQ(w().codeBox(0)->text(), "1");
    EXPECT_TRUE(codes().empty());
    up();
    EXPECT_EQ(volt(0)->text(), "0.001");
    EXPECT_EQ(codes(), std::vector<int>{1});
    EXPECT_EQ(w().codeBox(0)->text(), "1");
}

TEST_F(Editing, RightAfterStartUpTheArrowsActOnTheHiddenChannel24)
{
    startAt("10", {{23, 100}});
    up();
    EXPECT_EQ(tap->dacWrites(), (std::vector<std::pair<int, int>>{{23, 101}}));
    EXPECT_EQ(w().codeBox(23)->text(), "65");
}

TEST_F(Editing, HeldArrowRepeats)
{
    startAt("10", {{23, 100}});
    QToolButton* arrow = w().arrows()->upArrow();
    QTest::mousePress(arrow, Qt::LeftButton);
    QTest::qWait(arrow->autoRepeatDelay() + 4 * arrow->autoRepeatInterval());
    QTest::mouseRelease(arrow, Qt::LeftButton);
    EXPECT_GE(codes().size(), 3u);
}

TEST_F(Editing, ReferenceChangeRewritesOnlyRowsWhoseTextChanged)
{
    startAt("10", {{0, 512}, {9, 512}, {16, 512}});
    QLineEdit* ref = w().referenceBox();
    QTest::mouseClick(ref, Qt::LeftButton);
    ref->selectAll();
    QTest::keyClicks(ref, "5");
    EXPECT_TRUE(codes().empty()); // nothing until the box is left
    leave(ref);
    EXPECT_EQ(volt(0)->text(), "2.5");
    EXPECT_EQ(volt(16)->text(), "2.5"); // hidden rows follow like the others
    EXPECT_EQ(tap->dacWrites(), (std::vector<std::pair<int, int>>{{0, 512}, {9, 512}, {16, 512}}));
    EXPECT_EQ(model().cur_chan, 17);
    EXPECT_EQ(model().vref_high[0], 5);

    // A reference that is not a finite number keeps the one in use.
    QTest::mouseClick(ref, Qt::LeftButton);
    ref->selectAll();
    QTest::keyClicks(ref, "1e999");
    leave(ref);
    EXPECT_EQ(model().vref_high_cur, 5);
    EXPECT_EQ(ref->text(), "5");
}

} // namespace
