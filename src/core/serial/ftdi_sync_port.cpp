// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/ftdi_sync_port.h"

#include <QDeadlineTimer>
#include <QFile>

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace serial {

namespace {

// Bit n of a pin byte is pin Dn. TXD is driven at its idle (mark) level so the instrument on the trigger
// line sees nothing while the bus runs; SDA and SCL are open-drain through the cable, so a 1 releases them.
constexpr quint8 kTxd = 0x01; // D0
constexpr quint8 kSda = 0x04; // D2, RTS#
constexpr quint8 kScl = 0x10; // D4, DTR#
constexpr quint8 kDsr = 0x20; // D5, DSR#: an input
constexpr quint8 kOutputs = kTxd | kSda | kScl;
constexpr quint8 kReleased = kOutputs;

// Every bulk IN packet starts with two status bytes (modem and line status).
constexpr int kStatusBytes = 2;
constexpr unsigned kTransferTimeoutMs = 1000;
// The line status half of the modem status word: the UART's shift register and FIFO are empty.
constexpr unsigned short kTransmitterEmpty = 0x4000;

QString text(const char* s)
{
    return QString::fromLocal8Bit(s);
}

// Whether these chips make the rate within 5 % (libftdi refuses anything further off): their UART divides
// 3 MHz by 1, 1.5, 2, or n + k/8 for n from 2 to 16383.
bool chipMakes(qint32 rate)
{
    if (rate <= 0)
        return false;
    double made = 24e6 / std::clamp(std::round(24e6 / rate), 16.0, 131071.0);
    if (rate >= 3000000)
        made = 3e6;
    else if (rate >= 2000000)
        made = 2e6;
    else if (rate >= 1500000)
        made = 1.5e6;
    return std::abs(made - rate) <= 0.05 * rate;
}

// A second for the trigger block to leave, as on the POSIX port.
Timeouts defaultTimeouts()
{
    Timeouts timeouts;
    timeouts.writeTotalConstant = 1000;
    return timeouts;
}

bool opensForWriting(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

FtdiAdapter pick(const QString& serial, const QList<FtdiAdapter>& found, const QString& operation)
{
    QStringList serials;
    for (const FtdiAdapter& adapter : found)
        serials << (adapter.serial.isEmpty() ? QStringLiteral("one without a serial") : adapter.serial);
    const QString none = QStringLiteral("no FT232R or FT-X adapter is plugged in");
    if (serial.isEmpty()) {
        if (found.size() == 1)
            return found.first();
        throw PortError(PortFailure::CannotUse, operation,
                        found.isEmpty() ? none
                                        : QStringLiteral("%1 adapters are plugged in (%2): name one as "
                                                         "ftdi://SERIAL")
                                              .arg(found.size())
                                              .arg(serials.join(QStringLiteral(", "))));
    }
    for (const FtdiAdapter& adapter : found)
        if (adapter.serial == serial)
            return adapter;
    throw PortError(
        PortFailure::CannotUse, operation,
        QStringLiteral("no adapter has the serial %1: ").arg(serial) +
            (found.isEmpty() ? none : QStringLiteral("plugged in: ") + serials.join(QStringLiteral(", "))));
}

} // namespace

// The pins are clocked from the baud rate generator, and by how much is disputed: FTDI's application note
// on the FT232R's bit-bang modes and the examples of libftdi and pyftdi have one byte every 1/(16 x rate),
// OpenOCD assumes 1/rate. The shortest bus phase our request sequences make is one byte (SCL low in a
// recovery pulse of the line check), and standard-mode I2C wants SCL low for 4.7 us and high for 4.0 us,
// so even at 16x the rate must stay at or below 13 297. 9600 gives 6.5 us a byte at 16x, a margin for the
// uneven pulse widths FTDI reports for this chip (shorter pulses would break the bus, longer ones do
// not), and 104 us at 1x, which is only slower. It is set while bit-bang mode is off: libftdi multiplies a
// rate set in bit-bang mode by 4, and 1.6 us a byte would be too fast.
const int FtdiSyncPort::kBitBangRate = 9600;

FtdiSyncPort::FtdiSyncPort(PortCatalog& catalog) : catalog_(catalog), timeouts_(defaultTimeouts()) {}

FtdiSyncPort::~FtdiSyncPort()
{
    close();
}

void FtdiSyncPort::open(int portNumber)
{
    close();
    portNumber_ = portNumber;
    const QString operation = QStringLiteral("open COM%1").arg(portNumber);
    const QString path = catalog_.devicePath(portNumber);
    if (path.isEmpty())
        throw PortError(PortFailure::CannotUse, operation, QStringLiteral("no device for this port"));
    const QString scheme = QStringLiteral("ftdi://");
    if (!path.startsWith(scheme))
        throw PortError(PortFailure::CannotUse, operation, path + QStringLiteral(": not an FTDI adapter"));
    const FtdiAdapter adapter = pick(path.mid(scheme.size()), findFtdiAdapters(), operation);
    // Claiming the interface would take the tty from under a terminal program without a word to it.
    if (!adapter.busy.isEmpty())
        throw PortError(PortFailure::AlreadyOpen, operation, QStringLiteral("in use by ") + adapter.busy);

    ftdi_context* ftdi = ftdi_new();
    if (!ftdi)
        throw PortError(PortFailure::CannotUse, operation, QStringLiteral("libusb could not be started"));
    // ftdi_sio lets go of the interface while we hold it and gets it back when we close.
    ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    const int opened = ftdi_usb_open_bus_addr(ftdi, quint8(adapter.bus), quint8(adapter.address));
    const QString why = text(ftdi_get_error_string(ftdi));
    if (opened != 0) {
        ftdi_free(ftdi);
        const QString node = adapter.usbNode();
        // libftdi reports every failure of libusb_open alike: opening the node as libusb does tells the one
        // that matters.
        if (opened == -4 && !opensForWriting(node) && (errno == EACCES || errno == EPERM)) {
            catalog_.notePermissionDenied(portNumber, node, text(std::strerror(errno)));
            const QString group = owningGroup(node);
            QString reason = node + QStringLiteral(": permission denied. The udev rule that comes with the "
                                                   "package (60-krm59340-ftdi.rules) gives the user at the "
                                                   "seat access: install it, then plug the adapter in again");
            if (!group.isEmpty() && group != QLatin1String("root"))
                reason += QStringLiteral(", or join the group %1, which owns the node").arg(group);
            throw PortError(PortFailure::PermissionDenied, operation, reason);
        }
        if (opened == -5)
            throw PortError(PortFailure::AlreadyOpen, operation,
                            QStringLiteral("%1's interface is held by another program through libusb, or its "
                                           "kernel driver would not let go of it (%2)")
                                .arg(adapter.url(), why));
        throw PortError(PortFailure::CannotUse, operation, node + QStringLiteral(": ") + why);
    }
    ftdi_ = ftdi;
    adapter_ = adapter;
    timeouts_ = defaultTimeouts();
    // The FIFOs: 128 bytes to the chip and 256 back on the FT232R, 512 each way on the FT-X. A chunk that
    // fits the smaller one is read back whole before the next goes out, so neither can overrun.
    chunk_ = adapter.productId == kFtxProduct ? 512 : 128;
    try {
        // The chip holds back read-back bytes until 62 are in or this many milliseconds have passed.
        if (ftdi_set_latency_timer(ftdi_, 1) != 0)
            ftdiFailed(operation);
        // The tty may have left the modem lines asserted: released, they keep the bus idle until the pins
        // change hands.
        if (ftdi_setdtr_rts(ftdi_, 0, 0) != 0)
            ftdiFailed(operation);
        enterBitBang(operation);
    } catch (const PortError&) {
        close();
        throw;
    }
    catalog_.clearProblem(portNumber);
}

// UART mode with both lines released in; leaves synchronous bit-bang with both lines released and the
// read-back in step.
void FtdiSyncPort::enterBitBang(const QString& operation)
{
    if (ftdi_set_baudrate(ftdi_, kBitBangRate) != 0)
        ftdiFailed(operation);
    if (ftdi_set_bitmode(ftdi_, kOutputs, BITMODE_SYNCBB) != 0)
        ftdiFailed(operation);
    // Whatever the UART received would otherwise be taken for samples.
    if (ftdi_tciflush(ftdi_) != 0)
        ftdiFailed(operation);
    // Entering the mode drives the outputs low for a moment; the first byte releases both lines again (the
    // line check then frees a chip that took the dip for the start of a transfer).
    pins_ = kReleased;
    queued_.append(char(pins_));
    send(queued_.size(), operation);
}

void FtdiSyncPort::close()
{
    if (!ftdi_)
        return;
    queued_.clear();
    reads_.clear();
    sent_ = 0;
    // Back to the UART, whose modem lines are released; closing hands the interface back to ftdi_sio.
    // Failures do not matter here: the adapter may be gone.
    ftdi_set_bitmode(ftdi_, 0, BITMODE_RESET);
    ftdi_usb_close(ftdi_);
    ftdi_free(ftdi_);
    ftdi_ = nullptr;
}

void FtdiSyncPort::setLineSettings(qint32 bitRate)
{
    if (!chipMakes(bitRate))
        throw PortError(PortFailure::Rejected, QStringLiteral("set line settings"),
                        QStringLiteral("bit rate %1 not supported").arg(bitRate));
    bitRate_ = bitRate;
}

QString FtdiSyncPort::lineSettings() const
{
    return QString::number(bitRate_) + QStringLiteral(",N,8,1");
}

void FtdiSyncPort::setTimeouts(const Timeouts& timeouts)
{
    if (isOpen())
        timeouts_ = timeouts;
}

void FtdiSyncPort::setRts(bool asserted)
{
    if (isOpen())
        queue(asserted ? pins_ & ~kSda : pins_ | kSda, QStringLiteral("set RTS"));
}

void FtdiSyncPort::setDtr(bool asserted)
{
    if (isOpen())
        queue(asserted ? pins_ & ~kScl : pins_ | kScl, QStringLiteral("set DTR"));
}

void FtdiSyncPort::dsrInto(bool& out)
{
    out = false;
    if (isOpen())
        reads_.push_back({sent_ + queued_.size(), &out});
}

bool FtdiSyncPort::dsr()
{
    bool asserted = false;
    dsrInto(asserted);
    flush();
    return asserted;
}

void FtdiSyncPort::flush()
{
    if (!isOpen())
        return;
    // A read after the last request is answered by one more byte that leaves every pin as it is.
    const QString operation = QStringLiteral("read DSR");
    if (!reads_.empty() && reads_.back().sample == sent_ + queued_.size())
        queue(pins_, operation);
    while (!queued_.isEmpty())
        send(std::min(chunk_, queued_.size()), operation);
}

void FtdiSyncPort::queue(quint8 pins, const QString& operation)
{
    pins_ = pins;
    queued_.append(char(pins));
    if (queued_.size() == chunk_)
        send(chunk_, operation);
}

// Writes the first count queued bytes, reads their samples back and answers the reads they settle.
void FtdiSyncPort::send(qsizetype count, const QString& operation)
{
    const QByteArray bytes = queued_.left(count);
    queued_.remove(0, count);
    QByteArray samples;
    try {
        writeBulk(bytes, operation);
        readSamples(samples, count, operation);
    } catch (const PortError&) {
        // The reads belong to a transaction that ends here.
        queued_.clear();
        reads_.clear();
        throw;
    }
    // The reads are queued in the order of their samples: those settled here come first.
    const auto unsettled = std::find_if(
        reads_.begin(), reads_.end(), [&](const PendingRead& read) { return read.sample >= sent_ + count; });
    for (auto read = reads_.begin(); read != unsettled; ++read)
        *read->out = (samples.at(read->sample - sent_) & kDsr) == 0;
    reads_.erase(reads_.begin(), unsettled);
    sent_ += count;
}

void FtdiSyncPort::writeBulk(const QByteArray& bytes, const QString& operation)
{
    int done = 0;
    while (done < bytes.size()) {
        int moved = 0;
        auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.constData())) + done;
        const int result = libusb_bulk_transfer(ftdi_->usb_dev, quint8(ftdi_->in_ep), data,
                                                int(bytes.size()) - done, &moved, kTransferTimeoutMs);
        if (result != 0 && !(result == LIBUSB_ERROR_TIMEOUT && moved > 0))
            usbFailed(operation, result);
        done += moved;
    }
}

// The chip sends what it has when 62 samples are in or its latency timer runs out, so a read may bring
// some of the samples or none; each read waits in the kernel for the chip's answer.
void FtdiSyncPort::readSamples(QByteArray& samples, qsizetype count, const QString& operation)
{
    const int packet = ftdi_->max_packet_size;
    const int perPacket = packet - kStatusBytes;
    const QDeadlineTimer deadline(kTransferTimeoutMs);
    QByteArray buffer;
    while (samples.size() < count) {
        // Room for exactly the samples still due: a packet more could only hold bytes out of step.
        buffer.resize((count - samples.size() + perPacket - 1) / perPacket * packet);
        int received = 0;
        const int result = libusb_bulk_transfer(ftdi_->usb_dev, quint8(ftdi_->out_ep),
                                                reinterpret_cast<unsigned char*>(buffer.data()),
                                                int(buffer.size()), &received, kTransferTimeoutMs);
        if (result != 0 && result != LIBUSB_ERROR_TIMEOUT)
            usbFailed(operation, result);
        for (int at = 0; at + kStatusBytes < received; at += packet)
            samples.append(buffer.constData() + at + kStatusBytes,
                           std::min(packet, received - at) - kStatusBytes);
        if (samples.size() > count) {
            throw PortError(
                PortFailure::Io, operation,
                QStringLiteral("the adapter sent %1 samples for %2 bytes").arg(samples.size()).arg(count));
        }
        if (samples.size() < count && deadline.hasExpired())
            throw PortError(PortFailure::TimedOut, operation,
                            QStringLiteral("the adapter sent %1 of %2 samples within %3 ms")
                                .arg(samples.size())
                                .arg(count)
                                .arg(kTransferTimeoutMs));
    }
}

// The chip's UART sends the block. Clocked out on D0 in bit-bang mode, a frame would be as exact as the
// byte rate, and whether that is 16 or 1 times the baud rate is the one thing nobody agrees on.
void FtdiSyncPort::write(const QByteArray& bytes)
{
    const QString operation = QStringLiteral("write");
    if (!isOpen())
        throw PortError(PortFailure::CannotUse, operation, QStringLiteral("port is not open"));
    flush();
    try {
        // Released modem lines first: the pins then go back to the UART without moving either bus line.
        // (What the chip keeps of them through bit-bang mode is not documented, so they are set anew.)
        if (ftdi_setdtr_rts(ftdi_, 0, 0) != 0 || ftdi_set_bitmode(ftdi_, 0, BITMODE_RESET) != 0 ||
            ftdi_set_baudrate(ftdi_, bitRate_) != 0 ||
            ftdi_set_line_property(ftdi_, BITS_8, STOP_BIT_1, NONE) != 0)
            ftdiFailed(operation);
        writeBulk(bytes, operation);
        waitUntilSent(bytes.size(), operation);
    } catch (const PortError&) {
        // Left in UART mode, the next line requests would go out on TXD as characters.
        if (isOpen())
            enterBitBang(operation);
        throw;
    }
    enterBitBang(operation);
}

// A write's bytes are in the chip once the transfer is done; the caller times the block by its last stop
// bit, which the chip's line status tells.
void FtdiSyncPort::waitUntilSent(qsizetype bytes, const QString& operation)
{
    const qint64 allowedMs = qint64(bytes) * timeouts_.writeTotalMultiplier + timeouts_.writeTotalConstant;
    const QDeadlineTimer deadline(allowedMs);
    // Ten bits a character (8N1) before asking at all, then once a millisecond.
    std::this_thread::sleep_for(std::chrono::microseconds(qint64(bytes) * 10 * 1000000 / bitRate_));
    for (;;) {
        unsigned short status = 0;
        if (ftdi_poll_modem_status(ftdi_, &status) != 0)
            ftdiFailed(operation);
        if (status & kTransmitterEmpty)
            return;
        if (deadline.hasExpired())
            throw PortError(PortFailure::TimedOut, operation,
                            QStringLiteral("%1 bytes not sent within %2 ms").arg(bytes).arg(allowedMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

QString FtdiSyncPort::description() const
{
    if (!isOpen())
        return {};
    const QString serial = adapter_.serial.isEmpty() ? QStringLiteral("without a serial") : adapter_.serial;
    return adapter_.chip() + QLatin1Char(' ') + serial + QStringLiteral(", synchronous bit-bang");
}

void FtdiSyncPort::ftdiFailed(const QString& operation)
{
    const QString why = text(ftdi_get_error_string(ftdi_));
    // libftdi folds libusb's errors into its own codes; a standard request tells whether the adapter is
    // still there.
    unsigned char status[2];
    if (libusb_control_transfer(ftdi_->usb_dev, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_STATUS, 0, 0, status,
                                sizeof status, kTransferTimeoutMs) == LIBUSB_ERROR_NO_DEVICE)
        gone(operation, text(libusb_strerror(LIBUSB_ERROR_NO_DEVICE)));
    throw PortError(PortFailure::Io, operation, why);
}

void FtdiSyncPort::usbFailed(const QString& operation, int error)
{
    const QString why = text(libusb_strerror(error));
    if (error == LIBUSB_ERROR_NO_DEVICE)
        gone(operation, why);
    throw PortError(error == LIBUSB_ERROR_TIMEOUT ? PortFailure::TimedOut : PortFailure::Io, operation, why);
}

void FtdiSyncPort::gone(const QString& operation, const QString& reason)
{
    close();
    throw PortError(PortFailure::Gone, operation, reason);
}

} // namespace serial
