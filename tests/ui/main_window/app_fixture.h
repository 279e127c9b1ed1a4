// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "app/bench.h"
#include "sim/simulated_board.h"
#include "support/qstring_printer.h"
#include "support/recording_port.h"
#include "support/scratch.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QLineEdit>
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
// the program does it, message boxes collected and questions answered instead of shown, a tap on the bus.
class AppFixture : public ::testing::Test {
protected:
    using Entries = std::map<QString, QString>; // "section/key" -> text
    using Chips = sim::SimulatedBoard::Chips;

    static Entries onCom1(Entries more = {})
    {
        more.insert({{"PortNumb/2", "1"}, {"BitRate/3", "9600"}});
        return more;
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
        auto tapPort = std::make_unique<RecordingPort>(board.get());
        tap = tapPort.get();
        bench = std::make_unique<app::Bench>(settingsPath, std::move(tapPort), nullptr, tracePath);
        window = std::make_unique<ui::MainWindow>(*bench);
        window->setReport([this](const QString&, const QString& text) { reports << text; });
        window->setAsk([this](const QString&, const QString& text, const QString&) {
            questions << text;
            return answer;
        });
        window->setEndProgram([this] { ++ends; });
        window->show();
        if (!load)
            return;
        window->load();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
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
    model::ChannelModel& model() { return bench->channels; }
    sim::SimulatedChip& chip(int address = 0x74) { return *board->chip(address); }
    QLineEdit* volt(int row) { return window->voltBox(row); }
    QString row(int r) { return volt(r)->text() + " V, " + w().codeBox(r)->text(); } // as the grid shows it
    QString stored(const QString& key)
    {
        return QSettings(settingsPath, QSettings::IniFormat).value(key).toString();
    }
    void click(const char* button) { QTest::mouseClick(w().commandButton(button), Qt::LeftButton); }
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
    }
    void leave(QLineEdit* box) { QTest::keyClick(box, Qt::Key_Tab); }

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
        w().setFileChooser([path](QWidget*, const QString&) { return path; });
        click(button);
    }

    QTemporaryDir dir;
    QString settingsPath;
    QByteArray tracePath; // none unless a test sets one before start()
    std::unique_ptr<sim::SimulatedBoard> board;
    RecordingPort* tap = nullptr;
    std::unique_ptr<app::Bench> bench;
    std::unique_ptr<ui::MainWindow> window;
    QStringList reports, questions; // questions asked, each answered with answer
    bool answer = true;
    int ends = 0;
};
