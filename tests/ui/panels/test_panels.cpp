// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/main_window/app_fixture.h"

#include "ui/batch_window.h"
#include "ui/control_panel.h"
#include "ui/otp_writer.h"
#include "ui/port_dialog.h"
#include "ui/widgets.h"

#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>
#include <QWheelEvent>

namespace {

class Panels : public AppFixture {
protected:
    // Slider position, code and voltage of row i as the control panel shows them.
    QString shown(int i)
    {
        ui::ControlPanel* panel = w().controlPanel();
        return QString("%1, %2, %3 V")
            .arg(panel->slider(i)->value())
            .arg(panel->codeLabel(i)->text(), panel->voltLabel(i)->text());
    }
};

// A wheel turned over the panel to scroll past it moved the slider under the mouse and wrote the chip: only
// the slider with the focus takes it.
TEST_F(Panels, TheControlPanelsSliderWritesTheChipAndThePanelFollowsTheMainWindow)
{
    startWith({{3, 512}});
    click("Command9");
    ui::ControlPanel* panel = w().controlPanel();
    EXPECT_EQ(shown(3), "512, 200, 5 V");
    // At either end: the move's write, then the refresh's write of the row, the main window following.
    for (const auto& [key, code, after] :
         {std::tuple(Qt::Key_Home, 1023, "0, 400, 10 V"), std::tuple(Qt::Key_End, 0, "1024, 0, 0 V")}) {
        tap->clear();
        QTest::keyClick(panel->slider(3), key);
        settle();
        EXPECT_EQ(shown(3), after);
        EXPECT_EQ(volt(3)->text() + " V", QString(after).section(", ", 2));
        EXPECT_EQ(tap->dacWrites(), Writes(2, {3, code}));
    }
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([panel] { return QApplication::activeWindow() == panel; }));
    QSlider* slider = panel->slider(3);
    tap->clear();
    for (QSlider* focus : {panel->slider(0), slider}) {
        focus->setFocus();
        const QPointF at = slider->rect().center();
        QWheelEvent turn(at, slider->mapToGlobal(at), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                         Qt::NoScrollPhase, false);
        QApplication::sendEvent(slider, &turn);
        settle();
        EXPECT_EQ(turn.isAccepted(), focus == slider) << "else left to the widgets around it";
    }
    EXPECT_NE(slider->value(), 1024);
    EXPECT_EQ(tap->dacWrites().size(), 2u);

    w().activateWindow(); // the next click goes to the main window, which takes the focus from the panel
    ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == window.get(); }));
    typeInto(volt(7), "2.5");
    EXPECT_EQ(shown(7), "1024, 0, 0 V");
    leave(volt(7));
    EXPECT_EQ(shown(7), "768, 100, 2.5 V");
    typeInto(w().referenceBox(), "12.345");
    leave(w().referenceBox());
    EXPECT_EQ(panel->scaleLabel(1)->text() + " " + panel->scaleLabel(3)->text(), "12.345 6.172");
}

TEST(PlaceBeside, RightOfTheAnchorElseLeftElseOverItInsideTheScreen)
{
    QWidget anchor, window;
    window.resize(200, 100);
    const QRect area = anchor.screen()->availableGeometry();
    const std::pair<QRect, QPoint> cases[] = {
        {{area.left(), area.top(), 100, 100}, {area.left() + 108, area.top()}},
        {{area.right() - 209, area.top() + 50, 100, 100}, {area.right() - 417, area.top() + 50}},
        {{area.left() + 150, area.bottom() - 49, area.width() - 300, 100},
         {area.right() - 199, area.bottom() - 99}},
    };
    for (const auto& [at, placed] : cases) {
        anchor.setGeometry(at);
        ui::placeBeside(&window, &anchor);
        EXPECT_EQ(window.pos(), placed) << at.x() << "," << at.y();
    }
}

// The offscreen screen (800x800) is smaller than the main window and larger than the others.
TEST_F(Panels, EveryWindowFitsTheScreenAndScrollsToEveryControlItCannotShow)
{
    startWith();
    ui::PortDialog port(w(), &w());
    ui::BatchWindow batch(w());
    settle();
    ui::ControlPanel control(w());
    ui::OtpWriter otp(w());
    for (QWidget* window : std::initializer_list<QWidget*>{&w(), &port, &batch, &control, &otp}) {
        const bool scrolls = window == &w();
        SCOPED_TRACE(window->objectName().toStdString());
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        const QSize area = window->screen()->availableGeometry().size();
        EXPECT_TRUE(window->width() <= area.width() && window->height() <= area.height());
        auto* fit = window->findChild<QScrollArea*>("screenFit");
        ASSERT_NE(fit, nullptr);
        EXPECT_EQ(window->size() == fit->widget()->size(), !scrolls);
        EXPECT_EQ(fit->verticalScrollBar()->isVisible(), scrolls);
        // Every control Tab reaches can be scrolled into view.
        for (QWidget* control : fit->widget()->findChildren<QWidget*>()) {
            if (!control->isVisibleTo(window) || !(control->focusPolicy() & Qt::TabFocus))
                continue;
            fit->ensureWidgetVisible(control, 0, 0);
            EXPECT_TRUE(fit->viewport()->rect().contains(
                QRect(control->mapTo(fit->viewport(), QPoint()), control->size())))
                << control->objectName().toStdString();
        }
    }
}

TEST_F(Panels, ButtonsOpenOneOfEachAndClosingTheMainWindowEndsWithThemOpen)
{
    startWith();
    click("Command9");
    click("Command9"); // the open panel comes to the front
    EXPECT_EQ(w().findChildren<ui::ControlPanel*>().size(), 1);
    EXPECT_EQ(model().panel_open, 1);
    click("Command3");
    QTest::mouseClick(w().otpWriter()->arrows()->downArrow(), Qt::LeftButton);
    click("Command3"); // kept as it is
    EXPECT_EQ(w().otpWriter()->registerLabel()->text(), "2");
    w().controlPanel()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(model().panel_open, 0);
    click("Command9");
    closeProgram();
    EXPECT_EQ(ends, 1);
}

} // namespace
