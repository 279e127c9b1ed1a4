// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "ui/command_guard.h"

#include "bus/i2c_master.h"
#include "bus/interrupter.h"
#include "files/text_error.h"
#include "model/channel_model.h"
#include "model/wait.h"
#include "serial/serial_port.h"

namespace ui {

CommandGuard::CommandGuard(Report report, EndProgram endProgram)
    : report_(std::move(report)), endProgram_(std::move(endProgram))
{
}

QString CommandGuard::describe(const std::exception& e)
{
    if (const auto* port = dynamic_cast<const serial::PortError*>(&e))
        return QStringLiteral("The serial port failed.\n\n%1").arg(port->text());
    if (const auto* text = dynamic_cast<const files::TextError*>(&e))
        return text->text();
    return QString::fromStdString(e.what());
}

bool CommandGuard::run(const std::function<void()>& fn)
{
    try {
        fn();
        return true;
    } catch (const model::ProgramEnding&) {
        // The user closed the program while this command waited; nothing is left to say.
    } catch (const bus::Interrupted&) {
        // Stopped between two transactions because the program is closing; the close follows.
    } catch (const model::FatalError& e) {
        // The one failure that has always ended the program: say so and end without saving.
        report_(QStringLiteral("KRM59340"), QString::fromStdString(e.what()));
        endProgram_();
    } catch (const std::exception& e) {
        report_(QStringLiteral("KRM59340"), describe(e));
    } catch (...) {
        report_(QStringLiteral("KRM59340"), QStringLiteral("An unknown failure stopped the command."));
    }
    return false;
}

void CommandGuard::runNested(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (...) {
        if (!parked_)
            parked_ = std::current_exception();
    }
}

void CommandGuard::rethrowParked()
{
    if (parked_) {
        auto failure = parked_;
        parked_ = nullptr;
        std::rethrow_exception(failure);
    }
}

} // namespace ui
