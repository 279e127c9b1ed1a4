// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/ftdi_adapters.h"
#include "serial/port_catalog.h"
#include "serial/serial_port.h"

#include <vector>

struct ftdi_context;

namespace serial {

// The same cable as PosixSerialPort's, driven through libftdi in synchronous bit-bang mode: the modem-line
// pins become plain I/O pins (D2 = RTS# drives SDA, D4 = DTR# drives SCL, D5 = DSR# reads SDA; a low pin
// is an asserted line), every line request is one byte on the pins, and a transaction's requests go to
// the chip in a few USB transfers instead of one round trip each. The chip samples all pins before it
// drives each byte and sends the samples back, so a DSR read is answered by the sample of the byte after
// it, once the port is flushed.
//
// The catalog maps a port to "ftdi://" (the only FT232R or FT-X adapter present) or "ftdi://SERIAL". The
// kernel's ftdi_sio driver is detached while the port is open and attached again when it closes, so the
// adapter's /dev/ttyUSBn comes back. An adapter that vanishes (pulled) fails with Gone once and the port
// closes. The trigger block leaves bit-bang mode for the UART and comes back.
class FtdiSyncPort : public SerialPort {
public:
    explicit FtdiSyncPort(PortCatalog& catalog);
    ~FtdiSyncPort() override;
    FtdiSyncPort(const FtdiSyncPort&) = delete;
    FtdiSyncPort& operator=(const FtdiSyncPort&) = delete;

    // Throws CannotUse (no such adapter, several without a serial named, a USB failure), AlreadyOpen
    // (another program holds the adapter or its tty), PermissionDenied (the USB node is not ours to open:
    // the reason names the fix), Gone (pulled while being set up).
    void open(int portNumber) override;
    void close() override;
    bool isOpen() const override { return ftdi_ != nullptr; }
    int portNumber() const override { return portNumber_; }
    bool exists(int portNumber) const override { return !catalog_.devicePath(portNumber).isEmpty(); }
    // The rate of the trigger block's UART, which runs only for the block; the pins keep their own.
    // Rejected for a rate these chips cannot make within 5 %.
    void setLineSettings(qint32 bitRate) override;
    QString lineSettings() const override;
    // Only the write fields count: they bound the trigger block's wait for the UART to drain.
    void setTimeouts(const Timeouts& timeouts) override;

    // Queued, one byte each; they go out at the flush or when a transfer's worth is queued.
    void setRts(bool asserted) override;
    void setDtr(bool asserted) override;
    void dsrInto(bool& out) override;
    // dsrInto and a flush: one USB round trip.
    bool dsr() override;
    // Throws Io, TimedOut or Gone; the queue is dropped and no pending read is answered.
    void flush() override;
    // Leaves bit-bang mode with both lines released, sends the bytes 8N1 at the line settings' rate,
    // returns once the UART has sent the last stop bit (or throws TimedOut), and goes back to bit-bang.
    void write(const QByteArray& bytes) override;

    // For the connection line: "FT232R A1B2C3, synchronous bit-bang"; "" while closed.
    QString description() const;

    // The bit rate the pins are clocked from; see the definition for why this one.
    static const int kBitBangRate;

private:
    struct PendingRead {
        qint64 sample; // index of the read-back byte that answers it, counted from the open
        bool* out;
    };

    void enterBitBang(const QString& operation);
    void queue(quint8 pins, const QString& operation);
    void send(qsizetype count, const QString& operation);
    void writeBulk(const QByteArray& bytes, const QString& operation);
    void readSamples(QByteArray& samples, qsizetype count, const QString& operation);
    void waitUntilSent(qsizetype bytes, const QString& operation);
    // A libftdi call that failed: Gone when the adapter has vanished, else Io naming libftdi's reason.
    [[noreturn]] void ftdiFailed(const QString& operation);
    // A libusb transfer that failed.
    [[noreturn]] void usbFailed(const QString& operation, int error);
    [[noreturn]] void gone(const QString& operation, const QString& reason);

    PortCatalog& catalog_;
    ftdi_context* ftdi_ = nullptr;
    FtdiAdapter adapter_;
    int portNumber_ = 0;
    qint32 bitRate_ = 9600;
    Timeouts timeouts_;
    qsizetype chunk_ = 128;
    quint8 pins_ = 0;   // the byte last queued: the level every output pin will have
    QByteArray queued_; // bytes not sent yet
    qint64 sent_ = 0;   // bytes sent since the open
    std::vector<PendingRead> reads_;
};

} // namespace serial
