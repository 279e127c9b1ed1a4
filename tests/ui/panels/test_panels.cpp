// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "serial/port_catalog.h"
#include "support/qstring_printer.h"
#include "ui/batch_window.h"
#include "ui/control_panel.h"
#include "ui/otp_writer.h"
#include "ui/port_dialog.h"
#include "ui/widgets.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>
#include <QWheelEvent>

#include <tuple>

namespace {

using Chips = sim::SimulatedBoard::Chips;
using Writes = std::vector<std::pair<int, int>>;
using Row = std::tuple<int, QString, QString>; // slider position, code label, voltage label

class PanelTest : public AppFixture {
protected:
    // The next click goes to the main window, which has to take the focus from the panel first.
    void typeInMain(QLineEdit* box, const QString& text)
    {
        w().activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
        typeInto(box, text);
    }
    Row row(int i)
    {
        return {panel->slider(i)->value(), panel->codeLabel(i)->text(), panel->voltLabel(i)->text()};
    }
    QStringList scale()
    {
        return {panel->scaleLabel(1)->text(), panel->scaleLabel(2)->text(), panel->scaleLabel(3)->text(),
                panel->scaleLabel(4)->text(), panel->scaleLabel(5)->text()};
    }

    ui::ControlPanel* panel = nullptr;
};

TEST_F(PanelTest, ControlPanelSliderAtEitherEndWritesTheChipTwiceAndUpdatesBothWindows)
{
    startWith({{3, 512}});
    (panel = new ui::ControlPanel(w()))->show();
    EXPECT_EQ(model().panel_open, 1);
    EXPECT_EQ(row(3), Row(512, "200", "5"));
    const std::tuple<Qt::Key, int, Row> moves[] = {{Qt::Key_Home, 1024, {0, "400", "10"}},
                                                   {Qt::Key_End, 0, {1024, "0", "0"}}};
    for (const auto& [key, code, shown] : moves) {
        tap->clear();
        QTest::keyClick(panel->slider(3), key);
        EXPECT_EQ(model().code[4], code);
        EXPECT_EQ(row(3), shown);
        EXPECT_EQ(w().voltBox(3)->text(), std::get<2>(shown));
        EXPECT_EQ(chip().dacRegister(3), std::min(code, 1023));
        EXPECT_EQ(tap->dacWrites(), Writes(2, {3, std::min(code, 1023)}));
    }
    panel->close();
    EXPECT_EQ(model().panel_open, 0);
}

TEST_F(PanelTest, ControlPanelFollowsReadDacAndATypedVoltageOnlyAfterLeavingTheBox)
{
    startWith({{5, 100}});
    (panel = new ui::ControlPanel(w()))->show();
    EXPECT_EQ(scale(), QStringList({"10", "7.5", "5", "2.5", "0"}));
    chip().setDacRegister(5, 300);
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton); // Read DAC
    EXPECT_EQ(row(5), Row(724, "12C", "2.929"));

    typeInMain(volt(7), "2.5");
    EXPECT_EQ(row(7), Row(1024, "0", "0"));
    leave(volt(7));
    EXPECT_EQ(row(7), Row(768, "100", "2.5"));

    typeInMain(w().referenceBox(), "12.345");
    leave(w().referenceBox());
    EXPECT_EQ(scale(), QStringList({"12.345", "9.258", "6.172", "3.086", "0"}));
}

TEST_F(PanelTest, ControlPanelClampsAnAllOnesReadBackAndTheRefreshGoesOn)
{
    startWith({}, Chips::None);
    (panel = new ui::ControlPanel(w()))->show();
    QTest::mouseClick(w().commandButton("Command5"), Qt::LeftButton); // Read DAC
    ASSERT_EQ(model().code[1], 65535); // every row: the last one too is refreshed
    EXPECT_EQ(row(23), Row(0, "FFFF", "10"));
    QTest::keyClick(panel->slider(2), Qt::Key_End);
    EXPECT_EQ(row(2), Row(1024, "0", "0"));
    EXPECT_TRUE(reports.isEmpty());
}

// A wheel turned over the panel to scroll past it moved the slider under the mouse and wrote the chip.
TEST_F(PanelTest, TheWheelMovesOnlyTheSliderWithTheFocus)
{
    startWith({{3, 512}});
    (panel = new ui::ControlPanel(w()))->show();
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == panel; }));
    QSlider* slider = panel->slider(3);
    const auto wheel = [slider] {
        const QPointF at = slider->rect().center();
        QWheelEvent turn(at, slider->mapToGlobal(at), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                         Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &turn);
        return turn.isAccepted();
    };
    panel->slider(0)->setFocus();
    tap->clear();
    EXPECT_FALSE(wheel()) << "left to the widgets around it";
    EXPECT_EQ(slider->value(), 512);
    EXPECT_TRUE(tap->dacWrites().empty());

    slider->setFocus();
    ASSERT_TRUE(slider->hasFocus());
    EXPECT_TRUE(wheel());
    EXPECT_NE(slider->value(), 512);
    EXPECT_EQ(tap->dacWrites().size(), 2u) << "the move, then the refresh's write of the row";
}

TEST(PlaceBeside, RightOfTheAnchorElseLeftElseOverItInsideTheScreen)
{
    QWidget anchor;
    QWidget window;
    window.resize(200, 100);
    const QRect area = anchor.screen()->availableGeometry();
    const struct {
        QRect anchor;
        QPoint placed;
    } cases[] = {
        {{area.left(), area.top(), 100, 100}, {area.left() + 108, area.top()}},
        {{area.right() - 209, area.top() + 50, 100, 100}, {area.right() - 417, area.top() + 50}},
        {{area.left() + 150, area.bottom() - 49, area.width() - 300, 100},
         {area.right() - 199, area.bottom() - 99}},
    };
    for (const auto& c : cases) {
        anchor.setGeometry(c.anchor);
        ui::placeBeside(&window, &anchor);
        EXPECT_EQ(window.pos(), c.placed) << c.anchor.x() << "," << c.anchor.y();
    }
}

// The offscreen screen (800x800) is smaller than the main window and larger than the others.
TEST_F(PanelTest, EveryWindowFitsTheScreenAndScrollsToEveryControlItCannotShow)
{
    startWith();
    ui::PortDialog port(bench->link, bench->catalog(), &w());
    ui::BatchWindow batch(w());
    ui::ControlPanel control(w());
    ui::OtpWriter otp(w());
    const struct {
        QWidget* window;
        bool scrolls;
    } windows[] = {{&w(), true}, {&port, false}, {&batch, false}, {&control, false}, {&otp, false}};
    for (const auto& [window, scrolls] : windows) {
        const QString name = window->objectName();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        const QSize area = window->screen()->availableGeometry().size();
        EXPECT_LE(window->width(), area.width()) << name.toStdString();
        EXPECT_LE(window->height(), area.height()) << name.toStdString();
        auto* fit = window->findChild<QScrollArea*>("screenFit");
        ASSERT_NE(fit, nullptr) << name.toStdString();
        const QWidget* canvas = fit->widget();
        EXPECT_EQ(window->size() == canvas->size(), !scrolls) << name.toStdString();
        EXPECT_EQ(fit->verticalScrollBar()->isVisible(), scrolls) << name.toStdString();
        // Every control Tab reaches can be scrolled into view.
        for (QWidget* control : canvas->findChildren<QWidget*>()) {
            if (!control->isVisibleTo(window) || !(control->focusPolicy() & Qt::TabFocus))
                continue;
            fit->ensureWidgetVisible(control, 0, 0);
            const QRect shown(control->mapTo(fit->viewport(), QPoint()), control->size());
            EXPECT_TRUE(fit->viewport()->rect().contains(shown))
                << name.toStdString() << " " << control->objectName().toStdString();
        }
    }
    // The Tab order a window set survives the move onto the canvas.
    EXPECT_EQ(port.comboComPort()->nextInFocusChain(), port.cancelButton());
    EXPECT_EQ(port.cancelButton()->nextInFocusChain(), port.okButton());
}

TEST_F(PanelTest, OtpWriterListsC1AndC2LastAndBurnsTheModelsCodeOfTheRegisterShown)
{
    startWith({{18, 333}, {20, 700}});
    auto* otp = new ui::OtpWriter(w());
    otp->show();
    const auto press = [](QToolButton* arrow, int times) {
        for (int k = 0; k < times; ++k)
            QTest::mouseClick(arrow, Qt::LeftButton);
    };
    press(otp->arrows()->upArrow(), 1);
    EXPECT_EQ(otp->registerLabel()->text(), "1");
    press(otp->arrows()->downArrow(), 18);
    EXPECT_EQ(otp->registerLabel()->text(), "19");
    QTest::mouseClick(otp->writeButton(), Qt::LeftButton);
    EXPECT_EQ(tap->otpWrites(), (Writes{{20, 700}}));
    EXPECT_EQ(chip().resets(), 1); // burnt, then reloaded

    // The code typed in the main window since is burnt, though the writer still shows the old one.
    press(otp->arrows()->downArrow(), 4);
    EXPECT_EQ(otp->registerLabel()->text(), "c1");
    typeInMain(volt(18), "2.5");
    leave(volt(18));
    EXPECT_EQ(otp->codeBox()->text(), "14D");
    QTest::mouseClick(otp->writeButton(), Qt::LeftButton);
    EXPECT_EQ(tap->otpWrites(), (Writes{{20, 700}, {18, 256}}));
    press(otp->arrows()->downArrow(), 3);
    EXPECT_EQ(otp->registerLabel()->text(), "c2");
}

TEST_F(PanelTest, ButtonsOpenOneOfEachAndClosingTheMainWindowEndsWithThemOpen)
{
    startWith();
    const auto gone = [] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); };
    click("Command9");
    click("Command9"); // the open panel comes to the front
    EXPECT_EQ(w().findChildren<ui::ControlPanel*>().size(), 1);
    EXPECT_EQ(model().panel_open, 1);
    click("Command3");
    QTest::mouseClick(w().otpWriter()->arrows()->downArrow(), Qt::LeftButton);
    click("Command3"); // kept as it is
    EXPECT_EQ(w().otpWriter()->registerLabel()->text(), "2");
    w().otpWriter()->close();
    gone();
    click("Command3"); // loaded anew
    EXPECT_EQ(w().otpWriter()->registerLabel()->text(), "1");
    w().controlPanel()->close();
    gone();
    EXPECT_EQ(model().panel_open, 0);
    click("Command9");
    w().close();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(stored("a0/1"), "0");
}

} // namespace
