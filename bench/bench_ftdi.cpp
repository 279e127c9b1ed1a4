// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The FTDI port on an FT232R emulated under umockdev (tests/support/ftdi_emulator.h), driven by the real
// libftdi and libusb: the USB transfers and bytes of a Read DAC (the presence probe, then the pointer write
// and word read of registers 0..23 and of the bank status) and of a start-up (the open, the line check,
// the probe, the 25 reads and 24 DAC write-backs), and the time they would take on the cable: 1 ms per USB
// round trip (a write and the read-back it waits for, or a control request) plus a byte time per byte
// on the pins. The emulation itself answers at once, so the time it takes here says nothing of the cable.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "bus/line_check.h"
#include "serial/ftdi_sync_port.h"

#include "support/ftdi_emulator.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

QString bits(int value, int width)
{
    return QString::number(value, 2).rightJustified(width, QLatin1Char('0'));
}

// 0 for outTarget: no target for the transfers.
// The byte time as FTDI documents the FT232R's bit-bang clock (16 times the baud rate), and as it would
// be at 1x.
const double kByteSeconds = 1.0 / (16.0 * serial::FtdiSyncPort::kBitBangRate);
const double kByteSecondsAt1x = 1.0 / serial::FtdiSyncPort::kBitBangRate;

void report(const char* what, const ftdiemu::Traffic& before, const ftdiemu::Traffic& after, int outTarget,
            double secondsTarget, double elapsed)
{
    const int out = after.bulkOut - before.bulkOut, in = after.bulkIn - before.bulkIn;
    const int control = after.control - before.control;
    const qint64 bytes = after.bytesOut - before.bytesOut;
    const int roundTrips = std::max(out, in) + control;
    const double modelled = roundTrips * 1e-3 + double(bytes) * kByteSeconds;
    std::printf("%s\n", what);
    std::printf("  bulk transfers: %d out, %d in%s; control transfers: %d\n", out, in,
                outTarget ? qPrintable(QStringLiteral(" (target <= %1 each way)").arg(outTarget)) : "",
                control);
    std::printf("  bytes: %lld to the pins, %lld samples back\n", static_cast<long long>(bytes),
                static_cast<long long>(after.samplesIn - before.samplesIn));
    std::printf("  modelled: %d round trips x 1 ms + %lld bytes x %.2f us = %.1f ms (target < %.0f ms)\n",
                roundTrips, static_cast<long long>(bytes), kByteSeconds * 1e6, modelled * 1e3,
                secondsTarget * 1e3);
    std::printf("  at 1x, %.0f us a byte: %.1f ms; the emulation took %.1f ms\n", kByteSecondsAt1x * 1e6,
                (roundTrips * 1e-3 + double(bytes) * kByteSecondsAt1x) * 1e3, elapsed * 1e3);
}

void readDac(bus::I2cMaster& i2c)
{
    i2c.probe(bus::writeAddress("0"));
    for (int reg = 0; reg < 24; ++reg)
        bus::readRegister(i2c, "0", bits(reg, 5));
    bus::readBankStatusWord(i2c, "0");
}

} // namespace

int main(int, char** argv)
{
    // The emulation needs umockdev's preload library: run again under umockdev-wrapper.
    if (!ftdiemu::Emulator::preloaded()) {
        ::execvp("umockdev-wrapper",
                 (std::vector<char*>{const_cast<char*>("umockdev-wrapper"), argv[0], nullptr}).data());
        std::perror("umockdev-wrapper");
        return 1;
    }
    ftdiemu::Emulator emulator;
    ftdiemu::Adapter& adapter = emulator.add();
    for (int reg = 0; reg < 24; ++reg)
        adapter.board().chip(0x74)->setDacRegister(reg, (reg * 97 + 5) % 1024);
    serial::PortCatalog catalog({{1, "ftdi://A1B2C3"}}, {});
    serial::FtdiSyncPort port(catalog);
    bus::I2cMaster i2c(port);
    std::printf("%s (FT232R emulated under umockdev, bit-bang at %d baud)\n\n", argv[0],
                serial::FtdiSyncPort::kBitBangRate);

    QElapsedTimer clock;
    clock.start();
    ftdiemu::Traffic before = adapter.traffic();
    port.open(1);
    bus::checkLines(port);
    readDac(i2c);
    for (int reg = 0; reg < 24; ++reg) {
        const int code = (reg * 97 + 5) % 1024;
        bus::writeDacRegister(i2c, bits(code & 0xFF, 8), bits(code >> 8, 8), bus::writeAddress("0"),
                              bits(reg, 8));
    }
    report("Start-up: open, line check, probe, 25 reads, 24 DAC write-backs", before, adapter.traffic(), 0,
           0.3, double(clock.nsecsElapsed()) / 1e9);

    clock.restart();
    before = adapter.traffic();
    readDac(i2c);
    report("\nRead DAC: probe, then 25 pointer writes and 25 word reads", before, adapter.traffic(), 120, 0.2,
           double(clock.nsecsElapsed()) / 1e9);
    port.close();
    for (const QString& problem : adapter.problems())
        std::printf("the emulated chip objected: %s\n", qPrintable(problem));
    return adapter.problems().isEmpty() ? 0 : 1;
}
