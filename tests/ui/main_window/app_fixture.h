// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "app/bench.h"
#include "engine/bus_thread.h"
#include "sim/simulated_board.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/scratch.h"
#include "ui/commands.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using Writes = std::vector<std::pair<int, int>>;

// Acts on the next modal window once it is up (a dialog may let events run before it is shown, while its
// constructor opens the port).
inline void whenModal(const std::function<void(QWidget*)>& act)
{
    QTimer::singleShot(0, [act] {
        QWidget* modal = QApplication::activeModalWidget();
        modal ? act(modal) : whenModal(act);
    });
}

// A fresh program on the simulated board: its own settings file, the main window shown and then loaded as
// the program does it, a tap on the bus. The test waits for the commands to end (settle()); meanwhile the
// real message boxes they show are read and answered: a report with its OK, a question with `answer`.
class AppFixture : public ::testing::Test {
protected:
    using Entries = std::map<QString, QString>; // "section/key" -> text
    using Chips = sim::SimulatedBoard::Chips;

    static Entries onCom1(Entries more = {})
    {
        more.insert({{"PortNumb/2", "1"}, {"BitRate/3", "9600"}});
        return more;
    }

    // Closes the main window as its close box does and waits for the program to end.
    void closeProgram()
    {
        w().close();
        EXPECT_TRUE(waitUntil([this] { return ends > 0; }));
    }

    // Without load, the start-up is the test's to run.
    void start(const Entries& entries = onCom1(), const std::function<void(sim::SimulatedBoard&)>& setup = {},
               Chips chips = Chips::Both, bool load = true)
    {
        settingsPath = dir.filePath("KRM72340.ini");
        QSettings ini(settingsPath, QSettings::IniFormat);
        for (const auto& [key, value] : entries)
            ini.setValue(key, value);
        ini.sync();
        board = std::make_unique<sim::SimulatedBoard>(chips);
        if (setup)
            setup(*board);
        std::unique_ptr<RecordingPort> tapPort =
            makeTap ? makeTap(board.get()) : std::make_unique<RecordingPort>(board.get());
        tap = tapPort.get();
        bench = std::make_unique<app::Bench>(settingsPath, std::move(tapPort), nullptr, tracePath);
        window = std::make_unique<ui::MainWindow>(*bench);
        window->setEndProgram([this] { ++ends; });
        window->show();
        if (!load)
            return;
        window->load();
        settle();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    // Runs the event loop until no command runs or waits and the bus is idle (or the program ended),
    // answering the message boxes the commands show meanwhile.
    void settle(int timeoutMs = 60000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            answerBoxes();
            if (!window || ends > 0 || (!w().commands().busy() && w().commands().bus().inFlight() == 0))
                break;
        }
        QCoreApplication::processEvents();
        ASSERT_FALSE(deadline.hasExpired()) << "the commands never ended";
    }
    // Runs the event loop, answering boxes as settle() does, until done() holds; false if it never did.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!done() && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            answerBoxes();
        }
        return done();
    }
    // A command's box: a question (a button besides OK and Cancel) is noted in questions and answered
    // with answer; a report is noted in reports and closed.
    void answerBoxes()
    {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(top);
            if (!answering || !box || !box->isVisible() || box->windowModality() != Qt::NonModal)
                continue;
            QAbstractButton* yes = nullptr;
            for (QAbstractButton* b : box->buttons())
                if (box->buttonRole(b) == QMessageBox::AcceptRole &&
                    box->standardButton(b) != QMessageBox::Ok)
                    yes = b;
            if (yes) {
                questions << box->text();
                (answer ? yes : box->button(QMessageBox::Cancel))->click();
            } else if (box->icon() == QMessageBox::Warning) {
                reports << box->text();
                box->button(QMessageBox::Ok)->click();
            } else {
                shown << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        }
    }

    // The program with a 10 V reference on a board whose chip at A0 0 holds these codes; the tap starts
    // empty.
    void startWith(const Writes& registers = {}, Chips chips = Chips::Both)
    {
        start(
            onCom1({{"vref_high0/10", "10"}}),
            [registers](sim::SimulatedBoard& b) {
                for (const auto& [reg, code] : registers)
                    b.chip(0x74)->setDacRegister(reg, code); // never called without that chip
            },
            chips);
        tap->clear();
    }

    ui::MainWindow& w() { return *window; }
    model::ChannelModel& model() { return bench->channels(); }
    sim::SimulatedChip& chip(int address = 0x74) { return *board->chip(address); }
    QLineEdit* volt(int row) { return window->voltBox(row); }
    QString row(int r) { return volt(r)->text() + " V, " + w().codeBox(r)->text(); } // as the grid shows it
    QString stored(const QString& key)
    {
        return QSettings(settingsPath, QSettings::IniFormat).value(key).toString();
    }
    void click(const char* button) { press(w().commandButton(button)); }
    // A click of the mouse on it, and whatever commands it gave run to their end.
    void press(QWidget* widget)
    {
        QTest::mouseClick(widget, Qt::LeftButton);
        settle();
    }
    // The address byte of every frame on the bus since the tap was last cleared.
    std::vector<int> addresses() const
    {
        std::vector<int> out;
        for (const auto& frame : bustrace::decode(tap->requests))
            out.push_back(frame.empty() ? -1 : frame.front());
        return out;
    }

    // Puts the focus into a box as a click would, and replaces its text by typing.
    void typeInto(QLineEdit* box, const QString& text)
    {
        QTest::mouseClick(box, Qt::LeftButton);
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
        settle();
    }
    void leave(QLineEdit* box)
    {
        QTest::keyClick(box, Qt::Key_Tab);
        settle();
    }

    // The path of a file in the test's folder, written first unless text is null.
    QByteArray file(const QString& name, const QByteArray& text = {})
    {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        EXPECT_TRUE(text.isNull() || scratch::Folder::write(path, text)) << path.toStdString();
        return path;
    }
    // A file command with its file dialog answering path ("" for Cancel).
    void use(const QByteArray& path, const char* button)
    {
        w().setFileChooser([path](QWidget*, const QString&) { return chosen(path); });
        click(button);
    }
    static ui::Task<QByteArray> chosen(QByteArray path) { co_return path; }

    QTemporaryDir dir;
    QString settingsPath;
    QByteArray tracePath; // none unless a test sets one before start()
    std::unique_ptr<sim::SimulatedBoard> board;
    RecordingPort* tap = nullptr;
    std::unique_ptr<app::Bench> bench;
    std::unique_ptr<ui::MainWindow> window;
    QStringList reports, questions; // questions asked, each answered with answer
    QStringList shown;              // other boxes (About), closed
    bool answering = true;          // false: the test answers the boxes itself
    // The tap the bench talks through, around the board (a RecordingPort by default).
    std::function<std::unique_ptr<RecordingPort>(sim::SimulatedBoard*)> makeTap;
    bool answer = true;
    int ends = 0;
};
