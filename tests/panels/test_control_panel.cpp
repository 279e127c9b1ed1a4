#include "app/app_fixture.h"

#include "app/widgets.h"
#include "panels/control_panel.h"
#include "support/qstring_printer.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStyleOptionSlider>
#include <QToolButton>

#include <utility>
#include <vector>

namespace {

using Writes = std::vector<std::pair<int, int>>;

class ControlPanelTest : public AppFixture {
protected:
    void startAt(const QString& reference, std::vector<std::pair<int, int>> registers = {},
                 sim::SimulatedBoard::Chips chips = sim::SimulatedBoard::Chips::Both)
    {
        start(
            onCom1({{"vref_high0/10", reference}}),
            [registers](sim::SimulatedBoard& b) {
                for (const auto& [reg, code] : registers)
                    b.chip(0x74)->setDacRegister(reg, code);
            },
            chips);
    }

    void open()
    {
        panel = new panels::ControlPanel(w());
        panel->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
        tap->clear();
    }

    // The user's next click goes to the main window, which takes the focus from the panel. (The main
    // window counts as active while the panel, its transient, is: wait for the real switch.)
    void backToMain()
    {
        w().activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
    }

    QSlider* slider(int i) { return panel->slider(i); }
    QString voltLabel(int i) { return panel->voltLabel(i)->text(); }
    QString codeLabel(int i) { return panel->codeLabel(i)->text(); }
    QStringList scale()
    {
        QStringList texts;
        for (int n = 1; n <= 5; ++n)
            texts << panel->scaleLabel(n)->text();
        return texts;
    }

    // Grabs the handle and drags it by dy pixels, as a user would.
    void drag(QSlider* s, int dy)
    {
        QStyleOptionSlider option;
        option.initFrom(s);
        option.orientation = s->orientation();
        option.minimum = s->minimum();
        option.maximum = s->maximum();
        option.sliderPosition = s->sliderPosition();
        option.sliderValue = s->value();
        option.upsideDown = !s->invertedAppearance();
        const QPoint handle =
            s->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, s).center();
        QTest::mousePress(s, Qt::LeftButton, {}, handle);
        for (int step = 1; step <= 4; ++step)
            QTest::mouseMove(s, handle + QPoint(0, dy * step / 4));
        QTest::mouseRelease(s, Qt::LeftButton, {}, handle + QPoint(0, dy));
    }

    panels::ControlPanel* panel = nullptr;
};

TEST_F(ControlPanelTest, MovingToTheEndsWritesTheChipTwiceAndUpdatesBothWindows)
{
    startAt("10", {{3, 512}});
    open();
    EXPECT_EQ(model().panel_open, 1);
    EXPECT_EQ(slider(3)->value(), 512);
    EXPECT_EQ(codeLabel(3), "200");
    EXPECT_EQ(voltLabel(3), "5");

    // The top is code 1024, which the chip receives as 1023: once from the move, once from the main
    // window converting its new voltage text back.
    QTest::keyClick(slider(3), Qt::Key_Home);
    EXPECT_EQ(slider(3)->value(), 0);
    EXPECT_EQ(model().code[4], 1024);
    EXPECT_EQ(codeLabel(3), "400");
    EXPECT_EQ(voltLabel(3), "10");
    EXPECT_EQ(w().codeBox(3)->text(), "400");
    EXPECT_EQ(w().voltBox(3)->text(), "10");
    EXPECT_EQ(chip().dacRegister(3), 1023);
    EXPECT_EQ(tap->dacWrites(), (Writes{{3, 1023}, {3, 1023}}));
    EXPECT_EQ(model().cur_chan, 4);

    tap->clear();
    QTest::keyClick(slider(3), Qt::Key_End);
    EXPECT_EQ(codeLabel(3), "0");
    EXPECT_EQ(voltLabel(3), "0");
    EXPECT_EQ(w().voltBox(3)->text(), "0");
    EXPECT_EQ(chip().dacRegister(3), 0);
    EXPECT_EQ(tap->dacWrites(), (Writes{{3, 0}, {3, 0}}));

    // The keys move the handle the way they point: up raises the code, by 1 or by a page of 5.
    QTest::keyClick(slider(3), Qt::Key_PageUp);
    QTest::keyClick(slider(3), Qt::Key_Up);
    EXPECT_EQ(model().code[4], 6);
    EXPECT_EQ(slider(3)->value(), 1018);
    EXPECT_EQ(chip().dacRegister(3), 6);

    // Channel "Vc1" is register 18; a drag to the top sets it like the Home key.
    tap->clear();
    drag(slider(18), -slider(18)->height());
    EXPECT_EQ(slider(18)->value(), 0);
    EXPECT_EQ(codeLabel(18), "400");
    EXPECT_EQ(chip().dacRegister(18), 1023);
    EXPECT_EQ(tap->dacWrites().back(), std::make_pair(18, 1023));
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ControlPanelTest, ScaleFollowsTheReferenceTypedInTheMainWindow)
{
    startAt("10", {{0, 512}});
    open();
    EXPECT_EQ(scale(), (QStringList{"10", "7.5", "5", "2.5", "0"}));

    backToMain();
    QLineEdit* ref = w().referenceBox();
    QTest::mouseClick(ref, Qt::LeftButton);
    ref->selectAll();
    QTest::keyClicks(ref, "12.345");
    leave(ref);
    EXPECT_EQ(scale(), (QStringList{"12.345", "9.258", "6.172", "3.086", "0"}));
    EXPECT_EQ(slider(0)->value(), 512);
    EXPECT_EQ(voltLabel(0), "6.172");
}

TEST_F(ControlPanelTest, FollowsEveryRefreshOfTheMainWindowButNotTyping)
{
    startAt("10", {{5, 100}});
    open();
    // Changed behind the program's back; Read DAC brings it in.
    chip().setDacRegister(5, 300);
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    EXPECT_EQ(slider(5)->value(), 724);
    EXPECT_EQ(codeLabel(5), "12C");

    // The chip follows every keystroke, the panel only the refresh on leaving the box.
    backToMain();
    typeInto(volt(7), "2.5");
    EXPECT_EQ(chip().dacRegister(7), 256);
    EXPECT_EQ(slider(7)->value(), 1024);
    EXPECT_EQ(codeLabel(7), "0");
    leave(volt(7));
    EXPECT_EQ(slider(7)->value(), 768);
    EXPECT_EQ(codeLabel(7), "100");
    EXPECT_EQ(voltLabel(7), "2.5");

    // The main window's arrows do not refresh.
    QTest::mouseClick(volt(5), Qt::LeftButton);
    QTest::mouseClick(w().arrows()->upArrow(), Qt::LeftButton);
    EXPECT_EQ(w().codeBox(5)->text(), "12D");
    EXPECT_EQ(codeLabel(5), "12C");
}

TEST_F(ControlPanelTest, SilentBusReadBackClampsTheSlidersAndTheRefreshGoesOn)
{
    // Start-up reads 65535 everywhere but converts every row back to 1024, as each voltage text changes
    // from the boxes' initial text; a second read leaves the texts, and so the raw words, as they are.
    startAt("10", {}, sim::SimulatedBoard::Chips::None);
    open();
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    ASSERT_EQ(model().code[24], 65535);
    for (int i : {0, 19, 23}) {
        EXPECT_EQ(slider(i)->value(), 0) << i;
        EXPECT_EQ(codeLabel(i), "FFFF") << i;
        EXPECT_EQ(voltLabel(i), "10") << i;
    }
    EXPECT_EQ(scale(), (QStringList{"10", "7.5", "5", "2.5", "0"}));

    QTest::keyClick(slider(2), Qt::Key_End);
    EXPECT_EQ(codeLabel(2), "0");
    EXPECT_EQ(codeLabel(3), "FFFF");
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ControlPanelTest, ClosingOnlyUnhooksThePanel)
{
    startAt("10", {{1, 200}});
    open();
    panel->close();
    EXPECT_EQ(model().panel_open, 0);
    EXPECT_TRUE(tap->requests.empty());

    chip().setDacRegister(1, 400);
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton);
    EXPECT_EQ(codeLabel(1), "C8");

    open();
    EXPECT_EQ(codeLabel(1), "190");
    EXPECT_EQ(model().panel_open, 1);
}

} // namespace
