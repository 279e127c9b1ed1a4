// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/tracing_port.h"

namespace serial {

TracingPort::TracingPort(SerialPort& inner, BusTrace& trace, SdaWire sdaWire)
    : ForwardingPort(inner), trace_(trace), sdaWire_(std::move(sdaWire))
{
}

TracingPort::TracingPort(SerialPort& inner, const QByteArray& vcdPath, SdaWire sdaWire)
    : ForwardingPort(inner), owned_(std::make_unique<BusTrace>(vcdPath)), trace_(*owned_),
      sdaWire_(std::move(sdaWire))
{
}

TracingPort::~TracingPort()
{
    writeOut();
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
        TracingPort& port;
        ~WriteOut() { port.writeOut(); }
    } writeOut{*this};
    forward([&] { inner().flush(); });
}

void TracingPort::writeOut()
{
    for (const Step& step : pending_)
        trace_.step(step.scl, step.dsr ? !*step.dsr : step.sdaHigh);
    pending_.clear();
    trace_.writeOut();
}

} // namespace serial
