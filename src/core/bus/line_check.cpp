// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/line_check.h"

namespace bus {

namespace {

constexpr int kRecoveryPulses = 9;

enum class Finding { Ok, ReadbackNeverAsserts, SdaLow, FollowsScl };

// SCL released in; leaves SCL and SDA released. True DSR means the line reads low.
Finding probeLines(serial::SerialPort& port)
{
    port.setDtr(true); // SCL low: nothing we do to SDA now is a START or a STOP
    port.setRts(true);
    bool followsLow = false, lowReleased = false, lowIdle = false;
    port.dsrInto(followsLow);
    port.setRts(false);
    port.dsrInto(lowReleased);
    port.setDtr(false);
    port.dsrInto(lowIdle);
    port.flush();
    if (!followsLow)
        return Finding::ReadbackNeverAsserts;
    // SDA cannot rise as SCL is released: no device changes it with the clock high (that would be a STOP).
    // A read-back that rises with SCL reads SCL.
    if (lowReleased && !lowIdle)
        return Finding::FollowsScl;
    return lowReleased || lowIdle ? Finding::SdaLow : Finding::Ok;
}

// SCL released, SDA released but held low by a device in; each pulse lets the device shift out one more bit
// and it lets go at the latest at the acknowledge slot. Returns the pulses it took, or 0 when none freed it.
int recover(serial::SerialPort& port)
{
    int freedAfter = 0;
    for (int pulse = 1; pulse <= kRecoveryPulses && freedAfter == 0; ++pulse) {
        port.setDtr(true);
        port.setDtr(false);
        if (!port.dsr())
            freedAfter = pulse;
    }
    // A STOP ends whatever transfer the device thought it was in: SDA rises while SCL is high.
    port.setDtr(true);
    port.setRts(true);
    port.setDtr(false);
    port.setRts(false);
    port.flush();
    return freedAfter;
}

// What a look at the lines found, as the check reports it; SDA held low is what recovery may mend.
LineHealth healthOf(Finding finding)
{
    switch (finding) {
    case Finding::Ok:
        return LineHealth::Ok;
    case Finding::ReadbackNeverAsserts:
        return LineHealth::ReadbackNeverAsserts;
    case Finding::FollowsScl:
        return LineHealth::ReadbackFollowsScl;
    case Finding::SdaLow:
        break;
    }
    return LineHealth::SdaStaysLow;
}

LineCheck checkOpenLines(serial::SerialPort& port)
{
    const LineHealth first = healthOf(probeLines(port));
    if (first != LineHealth::SdaStaysLow)
        return {first};
    const int pulses = recover(port);
    if (pulses == 0)
        return {LineHealth::SdaStaysLow};
    const LineHealth after = healthOf(probeLines(port));
    if (after == LineHealth::Ok)
        return {LineHealth::Recovered, pulses};
    return {after};
}

} // namespace

QString LineCheck::finding() const
{
    switch (health) {
    case LineHealth::Unchecked:
        return QStringLiteral("lines not checked (no port open)");
    case LineHealth::Ok:
        return QStringLiteral("lines OK");
    case LineHealth::Recovered:
        return QStringLiteral("lines OK (a device held SDA low; %1 clock pulses freed it)")
            .arg(recoveryPulses);
    case LineHealth::ReadbackNeverAsserts:
        return QStringLiteral("the SDA read-back does not follow: DSR is never asserted");
    case LineHealth::SdaStaysLow:
        return QStringLiteral("SDA stays low: a device holds it, or the SDA read-back does not follow (DSR "
                              "always asserted)");
    case LineHealth::ByAdapter:
        return QStringLiteral("lines checked by the adapter's kernel driver");
    case LineHealth::ReadbackFollowsScl:
        return QStringLiteral("the read-back follows SCL, not SDA");
    case LineHealth::NoModemLines:
        return QStringLiteral("the port cannot set its modem lines: %1").arg(refusal);
    }
    return {};
}

QString LineCheck::advice() const
{
    switch (health) {
    case LineHealth::ReadbackNeverAsserts:
        return QStringLiteral("Check the DSR wire (SDA read-back) of the cable and its level shifter");
    case LineHealth::SdaStaysLow:
        return QStringLiteral("Power-cycle the board; check the DSR wire and SDA for a short");
    case LineHealth::ReadbackFollowsScl:
        return QStringLiteral("Check the DSR wire: it goes to SCL (DTR) instead of SDA");
    case LineHealth::NoModemLines:
        return QStringLiteral("Use a serial adapter with RTS, DTR and DSR, or an FTDI or I2C adapter");
    case LineHealth::Unchecked:
    case LineHealth::Ok:
    case LineHealth::Recovered:
    case LineHealth::ByAdapter:
        break;
    }
    return {};
}

LineCheck checkLines(serial::SerialPort& port)
{
    if (!port.isOpen())
        return {};
    try {
        return checkOpenLines(port);
    } catch (const serial::PortError& e) {
        if (e.kind() != serial::PortFailure::Io)
            throw;
        LineCheck refused{LineHealth::NoModemLines};
        refused.refusal = e.reason();
        return refused;
    }
}

} // namespace bus
