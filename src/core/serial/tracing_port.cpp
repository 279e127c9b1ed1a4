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

// Large enough that a long bus session costs few writes, small enough not to matter in memory.
constexpr qsizetype FlushThreshold = 1 << 20;

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

void TracingPort::setRts(bool asserted)
{
    inner().setRts(asserted);
    step(!dtrAsserted_, sdaNow());
}

void TracingPort::setDtr(bool asserted)
{
    inner().setDtr(asserted);
    dtrAsserted_ = asserted;
    step(!dtrAsserted_, sdaNow());
}

bool TracingPort::dsr()
{
    const bool asserted = inner().dsr();
    step(!dtrAsserted_, sdaWire_ ? sdaWire_() : !asserted);
    return asserted;
}

bool TracingPort::sdaNow()
{
    // A closed port has no wires to read; what the program asked for is all there is.
    if (sdaWire_)
        return sdaWire_();
    return inner().isOpen() ? !inner().dsr() : true;
}

void TracingPort::flush()
{
    // Past a hole the trace would mislead a viewer: nothing more is written once a write fell short.
    if (!failure_) {
        if (const auto failure = files::writeAll(file_->handle(), buffer_))
            failure_ = QStringLiteral("The bus trace %1 could not be written completely: %2.")
                           .arg(shownPath_, *failure);
    }
    buffer_.clear();
}

void TracingPort::step(bool scl, bool sda)
{
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
    change(lastScl_, scl, SclId);
    change(lastSda_, sda, SdaId);
    if (buffer_.size() >= FlushThreshold)
        flush();
}

} // namespace serial
