// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/bus_trace.h"

#include "files/names.h"
#include "files/regular_file.h"
#include "serial/serial_port.h"

namespace serial {

namespace {

// Identifier codes of the two wires in the dump.
constexpr char SclId = '!';
constexpr char SdaId = '"';

} // namespace

BusTrace::BusTrace(const QByteArray& vcdPath) : shownPath_(files::shown(vcdPath))
{
    QString why;
    file_ = files::openForWriting(vcdPath, why);
    if (!file_)
        throw PortError(PortFailure::CannotUse, QStringLiteral("create trace ") + shownPath_, why);
    // A comment only here: sigrok's VCD reader stops at one after the header.
    buffer_ =
        QByteArrayLiteral("$comment\n"
                          "  On a port whose modem lines or pins carry the bus, one step a line request:\n"
                          "  scl as driven, sda as the wire showed it. On a kernel I2C adapter, drawn\n"
                          "  from the transactions the adapter reported, with ideal 100 kHz timing; a\n"
                          "  transaction that failed otherwise than at its address is left out.\n"
                          "$end\n"
                          "$timescale 1us $end\n"
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
    writeOut();
}

BusTrace::~BusTrace()
{
    writeOut();
}

void BusTrace::step(bool scl, bool sda, quint64 micros)
{
    advance(micros);
    levels(scl, sda);
}

void BusTrace::change(bool scl, bool sda, quint64 micros)
{
    if (scl == scl_ && sda == sda_)
        return;
    step(scl, sda, micros);
}

void BusTrace::advance(quint64 micros)
{
    time_ += micros;
    buffer_ += '#';
    buffer_ += QByteArray::number(time_);
    buffer_ += '\n';
}

void BusTrace::levels(bool scl, bool sda)
{
    if (scl != scl_)
        buffer_ += QByteArray(scl ? "1" : "0") + SclId + '\n';
    if (sda != sda_)
        buffer_ += QByteArray(sda ? "1" : "0") + SdaId + '\n';
    scl_ = scl;
    sda_ = sda;
}

void BusTrace::writeOut()
{
    // Past a hole the trace would mislead a viewer: nothing more is written once a write fell short.
    if (!failure_ && !buffer_.isEmpty()) {
        if (const auto failure = files::writeAll(file_->handle(), buffer_))
            failure_ = QStringLiteral("The bus trace %1 could not be written completely: %2.")
                           .arg(shownPath_, *failure);
    }
    buffer_.clear();
}

} // namespace serial
