// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace app {
class Bench;
}

namespace ui {

class RunLog;

// What the other windows ask of the main window: the program's state, the one door every command goes
// through, and the channel boxes as the user sees them. The main window opens the other windows; they know
// it only through this.
class Host {
public:
    enum class Cursor { Normal, Busy };

    virtual app::Bench& bench() = 0;
    // Runs one event's handling through the command guard; work that talks to the chip shows the busy
    // cursor until it ends or fails.
    virtual void handle(const std::function<void()>& fn, Cursor cursor = Cursor::Busy) = 0;
    // The texts of row r's voltage and code boxes.
    virtual QString voltBoxText(int row) const = 0;
    virtual QString codeBoxText(int row) const = 0;
    // Where the control panel hooks its refresh in while it is open (empty to unhook).
    virtual void setPanelRefresh(std::function<void()> refresh) = 0;
    // Asks before anything is burnt into the chip's one-time memory, naming what (the host adds the bank it
    // goes to and the chip). True only when the user says so; Cancel is the default answer.
    virtual bool confirmOtpBurn(const QString& what) = 0;
    // The window the others belong to (their parent).
    virtual QWidget* hostWindow() = 0;
    // What follows every command, for work that acts like one on its own (each file of a batch run):
    // settings that changed are written, the bus trace written out, failures reported once.
    virtual void afterCommand() = 0;
    // The batch runs' log: it outlives each batch window, so closing one loses no line not yet saved.
    virtual RunLog& runLog() = 0;

protected:
    ~Host() = default;
};

} // namespace ui
