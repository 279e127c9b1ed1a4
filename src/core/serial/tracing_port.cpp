// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/tracing_port.h"

#include "files/names.h"
#include "files/regular_file.h"

namespace serial {

namespace {

// Identifier codes of the two wires in the dump.
constexpr char SclId = '!';
constexpr char SdaId = '"';

} // namespace

TracingPort::TracingPort(SerialPort& inner, const QByteArray& vcdPath, SdaWire sdaWire)
    : ForwardingPort(inner), sdaWire_(std::move(sdaWire)), shownPath_(files::shown(vcdPath))
{
    QString why;
    file_ = files::openForWriting(vcdPath, why);
    if (!file_)
        throw PortError(PortFailure::CannotUse, QStringLiteral("create trace ") + shownPath_, why);
    buffer_ = QByteArrayLiteral("$timescale 1us $end\n"
                                "$scope module bus $end\n"
                                "$var wire 1 ! scl $end\n"
                                "$var wire 1 \" sda $end\n"
                                "$upscope $end\n"
                                "$enddefinitions $end\n"
                                "#0\n"
                                "$dumpvars\n"
                                "1!\n"
                                "1\"\n"
                                "$end\n");
}

TracingPort::~TracingPort()
{
    flush();
}

template <typename F> void TracingPort::forward(F&& request)
{
    try {
        request();
    } catch (...) {
        // The transaction unwinds: the reads it asked for are gone before any flush could resolve them.
        for (Step& step : pending_)
            if (step.dsr && step.dsr != &step.dsrAsserted)
                step.dsr = nullptr;
        throw;
    }
}

void TracingPort::setRts(bool asserted)
{
    forward([&] { inner().setRts(asserted); });
    lineChanged();
}

void TracingPort::setDtr(bool asserted)
{
    forward([&] { inner().setDtr(asserted); });
    dtrAsserted_ = asserted;
    lineChanged();
}

void TracingPort::lineChanged()
{
    Step& step = pending_.emplace_back();
    step.scl = !dtrAsserted_;
    if (sdaWire_) {
        step.sdaHigh = sdaWire_();
    } else if (inner().isOpen()) {
        forward([&] { inner().dsrInto(step.dsrAsserted); });
        step.dsr = &step.dsrAsserted;
    }
    // A closed port has no wires to read; what the program asked for is all there is.
}

bool TracingPort::dsr()
{
    bool asserted = false;
    forward([&] { asserted = inner().dsr(); });
    Step& step = pending_.emplace_back();
    step.scl = !dtrAsserted_;
    step.sdaHigh = sdaWire_ ? sdaWire_() : !asserted;
    return asserted;
}

void TracingPort::dsrInto(bool& out)
{
    forward([&] { inner().dsrInto(out); });
    Step& step = pending_.emplace_back();
    step.scl = !dtrAsserted_;
    if (sdaWire_)
        step.sdaHigh = sdaWire_();
    else
        step.dsr = &out;
}

void TracingPort::flush()
{
    // The port resolves its reads first; a port that failed leaves them unknown, and what was asked for
    // stays in the trace without them.
    struct WriteOut {
        TracingPort& trace;
        ~WriteOut()
        {
            for (const Step& step : trace.pending_)
                trace.write(step);
            trace.pending_.clear();
            // Past a hole the trace would mislead a viewer: nothing more is written once a write fell short.
            if (!trace.failure_ && !trace.buffer_.isEmpty()) {
                if (const auto failure = files::writeAll(trace.file_->handle(), trace.buffer_))
                    trace.failure_ = QStringLiteral("The bus trace %1 could not be written completely: %2.")
                                         .arg(trace.shownPath_, *failure);
            }
            trace.buffer_.clear();
        }
    } writeOut{*this};
    forward([&] { inner().flush(); });
}

void TracingPort::write(const Step& step)
{
    const bool sda = step.dsr ? !*step.dsr : step.sdaHigh;
    buffer_ += '#';
    buffer_ += QByteArray::number(++time_);
    buffer_ += '\n';
    const auto change = [this](int& last, bool level, char id) {
        if (int(level) == last)
            return;
        buffer_ += level ? '1' : '0';
        buffer_ += id;
        buffer_ += '\n';
        last = level;
    };
    change(lastScl_, step.scl, SclId);
    change(lastSda_, sda, SdaId);
}

} // namespace serial
