// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/bus_trace.h"
#include "serial/forwarding_port.h"

#include <deque>

#include <functional>
#include <memory>
#include <optional>

namespace serial {

// Records every line request of the run into the bus trace, one request per time step, and forwards it to
// the port it wraps. Both wires hold the bus levels, the chip's drive included, so a logic analyser's I2C
// decoder reads the trace as it would read the wires. Written through at every flush of the port, that is at
// every transaction boundary.
class TracingPort : public ForwardingPort {
public:
    // Where the level of SDA comes from after each request. Without a source the trace reads DSR after
    // every line change (one more request on the port per request, the price of a true trace on real
    // hardware; free on a port that samples every pin with every request anyway); the simulated board
    // hands over its wire level instead.
    using SdaWire = std::function<bool()>;

    TracingPort(SerialPort& inner, BusTrace& trace, SdaWire sdaWire = {});
    // A trace of its own in the file at vcdPath (raw bytes); throws as BusTrace does.
    TracingPort(SerialPort& inner, const QByteArray& vcdPath, SdaWire sdaWire = {});
    ~TracingPort() override;
    TracingPort(const TracingPort&) = delete;
    TracingPort& operator=(const TracingPort&) = delete;

    void setRts(bool asserted) override;
    void setDtr(bool asserted) override;
    bool dsr() override;
    void dsrInto(bool& out) override;
    // Flushes the port it wraps, then writes every request so far to the file.
    void flush() override;
    // Why the trace is incomplete, naming the file; nullopt while every write went through.
    const std::optional<QString>& failure() const { return trace_.failure(); }

private:
    // A request whose SDA level may be known only once the port is flushed.
    struct Step {
        bool scl = true;
        bool sdaHigh = true;
        bool dsrAsserted = false;  // this trace's own read of DSR, when it made one
        const bool* dsr = nullptr; // where the DSR read lies that tells SDA (true: SDA low)
    };

    // The step of a line change, with the level of SDA right after it.
    void lineChanged();
    // Runs a request of the port it wraps; a failure forgets the reads of the transaction it ends.
    template <typename F> void forward(F&& request);
    void writeOut();

    std::unique_ptr<BusTrace> owned_;
    BusTrace& trace_;
    std::deque<Step> pending_;
    SdaWire sdaWire_;
    bool dtrAsserted_ = false; // SCL pulled low by us
};

} // namespace serial
