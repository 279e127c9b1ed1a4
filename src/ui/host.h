// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "ui/task.h"

#include <QString>

#include <functional>

class QWidget;

namespace app {
class Bench;
}

namespace ui {

class Commands;
class RunLog;

// What the other windows ask of the main window: the program's state, the queue every command goes
// through, the channel boxes as the user sees them, and the pieces of work they share with it. The main
// window opens the other windows; they know it only through this.
class Host {
public:
    virtual app::Bench& bench() = 0;
    virtual Commands& commands() = 0;
    // The texts of row r's voltage and code boxes.
    virtual QString voltBoxText(int row) const = 0;
    virtual QString codeBoxText(int row) const = 0;
    // Where the control panel hooks its refresh in while it is open (empty to unhook).
    virtual void setPanelRefresh(std::function<void()> refresh) = 0;
    // Burns the channel's code into OTP (0: all 24 channels) once the user has said so, then resets the
    // chip and reads the bank status; what: the words that name what is burnt. Inside a command.
    virtual Task<> burnOtp(int channel, QString what) = 0;
    // Opens the selected port as a pick in the port dialog does (after its wait for an available port).
    // Inside a command.
    virtual Task<> openSelectedPort() = 0;
    // Reads the chip when channels are still unknown and a chip now answers.
    virtual Task<> readUnknownChannels() = 0;
    // The window the others belong to (their parent).
    virtual QWidget* hostWindow() = 0;
    // The batch runs' log: it outlives each batch window, so closing one loses no line not yet saved.
    virtual RunLog& runLog() = 0;

protected:
    ~Host() = default;
};

} // namespace ui
