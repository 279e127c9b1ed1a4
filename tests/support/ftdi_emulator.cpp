// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "support/ftdi_emulator.h"

#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

namespace ftdiemu {

namespace {

constexpr quint8 kSda = 0x04;    // D2
constexpr quint8 kScl = 0x10;    // D4
constexpr quint8 kTxd = 0x01;    // D0
constexpr quint8 kDsrPin = 0x20; // D5
constexpr int kPacket = 64;      // full-speed bulk packets
constexpr quint8 kModemStatus = 0x01;
constexpr quint8 kLineIdle = 0x60; // THRE and TEMT: nothing left to send
constexpr quint8 kOutEndpoint = 0x02, kInEndpoint = 0x81;

quint16 le16(const quint8* p)
{
    return quint16(p[0] | p[1] << 8);
}

void unref(UMockdevIoctlData* data)
{
    if (data)
        g_object_unref(data);
}

} // namespace

Adapter::Adapter(const AdapterSetup& setup, int address)
    : setup_(setup), address_(address), handler_(umockdev_ioctl_base_new()), board_(setup.chips)
{
    board_.open(1);
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&Adapter::onIoctl), this);
}

Adapter::~Adapter()
{
    for (UMockdevIoctlData* urb : done_)
        unref(urb);
    g_object_unref(handler_);
}

QString Adapter::usbNode() const
{
    return QStringLiteral("/dev/bus/usb/001/%1").arg(address_, 3, 10, QLatin1Char('0'));
}

Traffic Adapter::traffic() const
{
    const std::lock_guard lock(mutex_);
    return traffic_;
}

QByteArray Adapter::pinBytes() const
{
    const std::lock_guard lock(mutex_);
    return pinBytes_;
}

QStringList Adapter::problems() const
{
    const std::lock_guard lock(mutex_);
    return problems_;
}

bool Adapter::driverBound() const
{
    const std::lock_guard lock(mutex_);
    return driverBound_;
}

int Adapter::uartRate() const
{
    const std::lock_guard lock(mutex_);
    return uartRate_;
}

int Adapter::bitBangRate() const
{
    const std::lock_guard lock(mutex_);
    return bitBangRate_;
}

void Adapter::setStingyReads(bool stingy)
{
    const std::lock_guard lock(mutex_);
    stingy_ = stingy;
}

void Adapter::problem(const QString& what)
{
    if (!problems_.contains(what))
        problems_ << what;
}

int Adapter::onIoctl(_UMockdevIoctlBase*, _UMockdevIoctlClient* client, void* self)
{
    return static_cast<Adapter*>(self)->ioctl(client);
}

bool Adapter::ioctl(UMockdevIoctlClient* client)
{
    const std::lock_guard lock(mutex_);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (unplugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    // A request answered from a struct of the client: fetched, set, completed.
    const auto answer = [&](std::size_t size, const auto& fill) {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
        const long result = fill(data->data);
        unref(data);
        umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? int(-result) : 0);
    };
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        answer(sizeof(quint32), [](guint8* caps) {
            const quint32 value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps, &value, sizeof value);
            return 0L;
        });
        return true;
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE:
        if (setup_.claimedElsewhere || (request == USBDEVFS_CLAIMINTERFACE && driverBound_)) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return true;
        }
        driverBound_ = false;
        claimed_ = true;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        // The program lets go of the adapter here: whatever its pins do now, they do after the program.
        if (sdaPulled_ || sclPulled_)
            problem(QStringLiteral("adapter let go of with a bus line pulled low"));
        claimed_ = false;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_IOCTL:
        // The kernel answers a connect with 1 once a driver took the interface.
        answer(sizeof(usbdevfs_ioctl), [&](guint8* raw) {
            usbdevfs_ioctl command{};
            std::memcpy(&command, raw, sizeof command);
            if (command.ioctl_code == int(USBDEVFS_CONNECT)) {
                if (claimed_)
                    return long(-EBUSY);
                if (mode_ != Mode::Uart)
                    problem(QStringLiteral("ftdi_sio given the adapter back in bit-bang mode"));
                driverBound_ = true;
                return 1L;
            }
            if (command.ioctl_code == int(USBDEVFS_DISCONNECT) && driverBound_) {
                driverBound_ = false;
                return 0L;
            }
            return long(-ENODATA);
        });
        return true;
    case USBDEVFS_GETDRIVER:
        answer(sizeof(usbdevfs_getdriver), [&](guint8* raw) {
            auto* query = reinterpret_cast<usbdevfs_getdriver*>(raw);
            const char* name = driverBound_ ? "ftdi_sio" : claimed_ ? "usbfs" : nullptr;
            if (!name)
                return long(-ENODATA);
            std::strncpy(query->driver, name, sizeof query->driver - 1);
            return 0L;
        });
        return true;
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        return true;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    default:
        problem(QStringLiteral("unexpected ioctl 0x%1").arg(request, 0, 16));
        return false;
    }
}

// Every URB is served at once, so a reap right after the submit finds it.
void Adapter::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    UMockdevIoctlData* buffer = urb->buffer_length > 0
                                    ? umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                                  urb->buffer_length, nullptr)
                                    : nullptr;
    quint8* data = buffer ? buffer->data : nullptr;
    urb->status = 0;
    try {
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            ++traffic_.control;
            const int answered = control(data, data + 8);
            urb->actual_length = answered < 0 ? 0 : answered;
            urb->status = answered < 0 ? -EPIPE : 0;
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kOutEndpoint) {
            bulkOut(data, urb->buffer_length);
            urb->actual_length = urb->buffer_length;
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kInEndpoint) {
            urb->actual_length = bulkIn(data, urb->buffer_length);
        } else {
            problem(
                QStringLiteral("URB of type %1 to endpoint 0x%2").arg(urb->type).arg(urb->endpoint, 0, 16));
            urb->status = -EPIPE;
        }
    } catch (const serial::PortError&) {
        unplugged_ = true; // the board was pulled in the middle of this transfer
    }
    unref(buffer);
    if (unplugged_) {
        unref(urbData);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    done_.push_back(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void Adapter::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    if (done_.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* urbData = done_.front();
    done_.pop_front();
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urbData);
    unref(slot);
    unref(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Returns the bytes answered, or -1 for a stall.
int Adapter::control(const quint8* setup, quint8* data)
{
    const quint8 type = setup[0], request = setup[1];
    const quint16 value = le16(setup + 2), index = le16(setup + 4), length = le16(setup + 6);
    QByteArray reply;
    if (type == 0x80) {
        if (request == 0x00) // GET_STATUS
            reply = QByteArray(2, '\0');
        else if (request == 0x06) // GET_DESCRIPTOR
            reply = descriptor(quint8(value >> 8), quint8(value));
        else
            problem(QStringLiteral("standard request %1").arg(request));
    } else if (type == 0x40) {
        vendorOut(request, value, index);
        return 0;
    } else if (type == 0xC0 && request == 0x05) { // POLL_MODEM_STATUS
        const quint8 modem = kModemStatus | (board_.dsr() ? 0x20 : 0);
        reply.append(char(modem)).append(char(temtPolls_ > 0 ? 0 : kLineIdle));
        temtPolls_ = std::max(0, temtPolls_ - 1);
    } else if (type == 0xC0 && request == 0x0A) { // GET_LATENCY_TIMER
        reply = QByteArray(1, char(latency_));
    } else if (type == 0xC0 && request == 0x0C) { // READ_PINS
        reply = QByteArray(1, char(sample()));
    } else {
        problem(QStringLiteral("control request %1 of type 0x%2").arg(request).arg(type, 0, 16));
        return -1;
    }
    if (reply.isEmpty())
        return -1;
    const int n = std::min<int>(length, int(reply.size()));
    std::memcpy(data, reply.constData(), size_t(n));
    return n;
}

void Adapter::vendorOut(quint8 request, quint16 value, quint16 index)
{
    switch (request) {
    case 0x00: // RESET: 0 both FIFOs, 1 the one to the pins (empty here), 2 the one to the host
        if (value == 0 || value == 2)
            rx_.clear();
        break;
    case 0x01: // MODEM_CTRL: bit 0 DTR, bit 1 RTS, each with its enable bit in the high byte
        if (value & 0x0100)
            modemDtr_ = value & 0x01;
        if (value & 0x0200)
            modemRts_ = value & 0x02;
        if (mode_ == Mode::Uart)
            drive(modemRts_, modemDtr_);
        break;
    case 0x02: // SET_FLOW_CTRL
    case 0x06: // SET_EVENT_CHAR
    case 0x07: // SET_ERROR_CHAR
        break;
    case 0x03: // SET_BAUDRATE
        if (mode_ != Mode::Uart)
            problem(QStringLiteral("baud rate set in bit-bang mode, where libftdi multiplies it by 4"));
        divisor_ = value | quint32(index) << 16;
        break;
    case 0x04: // SET_DATA
        lineProperty_ = value;
        break;
    case 0x09: // SET_LATENCY_TIMER
        latency_ = value & 0xFF;
        break;
    case 0x0B: // SET_BITMODE
        setBitMode(quint8(value), quint8(value >> 8));
        break;
    default:
        problem(QStringLiteral("vendor request %1").arg(request));
    }
}

// Entering bit-bang mode drives the outputs low until the first byte (the dip avrdude users report);
// leaving it hands the pins back to the UART's modem lines.
void Adapter::setBitMode(quint8 mask, quint8 mode)
{
    if (mode == 0x00) {
        mode_ = Mode::Uart;
        drive(modemRts_, modemDtr_);
        return;
    }
    if (mode != 0x04) {
        mode_ = Mode::Other;
        problem(QStringLiteral("bit mode 0x%1").arg(mode, 0, 16));
        return;
    }
    if (mask & kDsrPin)
        problem(QStringLiteral("D5, the SDA read-back, driven as an output"));
    mode_ = Mode::SyncBitBang;
    mask_ = mask;
    latch_ = 0;
    bitBangRate_ = baudRate();
    drive(mask & kSda, mask & kScl);
}

void Adapter::bulkOut(const quint8* data, int length)
{
    ++traffic_.bulkOut;
    traffic_.bytesOut += length;
    if (mode_ == Mode::Uart) {
        if (lineProperty_ != 0x0008)
            problem(QStringLiteral("UART data format 0x%1, not 8N1").arg(lineProperty_, 0, 16));
        if (sdaPulled_ || sclPulled_)
            problem(QStringLiteral("UART data sent with a bus line pulled low"));
        uartRate_ = baudRate();
        board_.write(QByteArray(reinterpret_cast<const char*>(data), length));
        temtPolls_ = 1; // the frame is still leaving at the first poll
        return;
    }
    if (mode_ != Mode::SyncBitBang)
        return;
    const int txFifo = setup_.chip == Chip::FT232R ? 128 : 512;
    const int rxFifo = setup_.chip == Chip::FT232R ? 256 : 512;
    if (length > txFifo)
        problem(QStringLiteral("%1 bytes in one write: the chip's transmit FIFO holds %2")
                    .arg(length)
                    .arg(txFifo));
    for (int i = 0; i < length; ++i) {
        rx_.append(char(sample()));
        latch_ = data[i];
        pinBytes_.append(char(data[i]));
        if ((mask_ & kTxd) && !(data[i] & kTxd))
            problem(QStringLiteral("TXD driven low in bit-bang mode: the trigger line sees a start bit"));
        drive((mask_ & kSda) && !(data[i] & kSda), (mask_ & kScl) && !(data[i] & kScl));
    }
    if (rx_.size() > rxFifo)
        problem(QStringLiteral("read-back FIFO overrun: %1 samples waiting, it holds %2")
                    .arg(rx_.size())
                    .arg(rxFifo));
}

// Packets of two status bytes and up to 62 samples; a short one ends the transfer.
int Adapter::bulkIn(quint8* data, int room)
{
    ++traffic_.bulkIn;
    if (room % kPacket != 0)
        problem(QStringLiteral("a read of %1 bytes: no whole number of packets").arg(room));
    if (mode_ == Mode::SyncBitBang && latency_ != 1)
        problem(QStringLiteral("latency timer at %1 ms: every read-back waits that long").arg(latency_));
    stingyTurn_ = !stingyTurn_;
    const bool statusOnly = stingy_ && stingyTurn_;
    int written = 0;
    for (int packets = 0; room - written >= 2 && !(stingy_ && packets == 1); ++packets) {
        const int n = statusOnly ? 0 : std::min<int>({kPacket - 2, int(rx_.size()), room - written - 2});
        data[written] = kModemStatus;
        data[written + 1] = kLineIdle;
        std::memcpy(data + written + 2, rx_.constData(), size_t(n));
        rx_.remove(0, n);
        written += 2 + n;
        traffic_.samplesIn += n;
        if (2 + n < kPacket)
            break;
    }
    return written;
}

// Outputs read back as driven, inputs float high, D5 is the board's DSR (asserted: low).
quint8 Adapter::sample()
{
    quint8 pins = quint8((latch_ & mask_) | ~mask_);
    if (!(mask_ & kDsrPin) && board_.dsr())
        pins &= quint8(~kDsrPin);
    return pins;
}

// SDA before SCL: pulled together they make a START, released together no STOP.
void Adapter::drive(bool sdaPulled, bool sclPulled)
{
    if (sdaPulled != sdaPulled_)
        board_.setRts(sdaPulled_ = sdaPulled);
    if (sclPulled != sclPulled_)
        board_.setDtr(sclPulled_ = sclPulled);
}

// 3 MHz over the divisor: a whole number and eighths in a code of three bits, with 0 and 1 special.
int Adapter::baudRate() const
{
    static constexpr int kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const int whole = int(divisor_ & 0x3FFF);
    const int eighths = kEighths[(divisor_ >> 14) & 7];
    if (eighths == 0 && whole <= 1)
        return whole == 0 ? 3000000 : 2000000;
    return int(24000000.0 / (whole * 8 + eighths) + 0.5);
}

QByteArray Adapter::descriptor(quint8 type, quint8 index) const
{
    const bool r = setup_.chip == Chip::FT232R;
    if (type == 1) // device: USB 2.0, 8-byte EP0, FTDI's ids, bcdDevice 6.00 (R) or 10.00 (X), strings 1..3
        return QByteArray::fromHex(r ? "1201000200000008030401600006010203"
                                       "01"
                                     : "1201000200000008030415600010010203"
                                       "01");
    if (type == 2) // one configuration, one vendor interface, bulk 0x81 in and 0x02 out of 64 bytes
        return QByteArray::fromHex("0902200001010080"
                                   "2d"
                                   "0904000002ffffff02"
                                   "07058102400000"
                                   "07050202400000");
    if (type != 3)
        return {};
    const QString strings[] = {{},
                               QStringLiteral("FTDI"),
                               r ? QStringLiteral("FT232R USB UART") : QStringLiteral("FT231X USB UART"),
                               setup_.serial};
    if (index == 0)
        return QByteArray::fromHex("04030904");
    if (index >= std::size(strings) || strings[index].isEmpty())
        return {};
    QByteArray text(reinterpret_cast<const char*>(strings[index].utf16()), strings[index].size() * 2);
    return char(text.size() + 2) + QByteArray(1, 3) + text;
}

// The device, its interface with ftdi_sio bound and the tty the driver made, as umockdev-record writes
// them.
QString Adapter::sysfsRecord() const
{
    const bool r = setup_.chip == Chip::FT232R;
    const QString port = QStringLiteral("1-%1").arg(address_ - 1);
    const QString path = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/") + port;
    const QString tty = QStringLiteral("ttyUSB%1").arg(address_ - 2);
    QString descriptors;
    for (quint8 type : {quint8(1), quint8(2)})
        descriptors += QString::fromLatin1(descriptor(type, 0).toHex());
    QString record =
        QStringLiteral("P: %1\nN: bus/usb/001/%2\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                       "E: DRIVER=usb\nE: DEVNAME=/dev/bus/usb/001/%2\nE: BUSNUM=001\nE: DEVNUM=%2\n"
                       "A: idVendor=0403\\n\nA: idProduct=%3\\n\nA: bcdDevice=%4\\n\n"
                       "A: manufacturer=FTDI\\n\nA: product=%5\\n\n")
            .arg(path, usbNode().right(3), r ? "6001" : "6015", r ? "0600" : "1000",
                 r ? "FT232R USB UART" : "FT231X USB UART");
    if (!setup_.serial.isEmpty())
        record += QStringLiteral("A: serial=%1\\n\n").arg(setup_.serial);
    record += QStringLiteral("A: busnum=1\\n\nA: devnum=%1\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
                             "A: bNumConfigurations=1\\n\nA: bNumInterfaces= 1\\n\nA: dev=189:%2\\n\n"
                             "H: descriptors=%3\n\n")
                  .arg(address_)
                  .arg(address_ - 1)
                  .arg(descriptors);
    record += QStringLiteral("P: %1/%2:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=ftdi_sio\n"
                             "A: bInterfaceNumber=00\\n\n\n")
                  .arg(path, port);
    record += QStringLiteral(
                  "P: %1/%2:1.0/%3\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n\n"
                  "P: %1/%2:1.0/%3/tty/%3\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/%3\nL: device=../../../%3\n")
                  .arg(path, port, tty);
    return record;
}

Emulator::Emulator() : testbed_(umockdev_testbed_new()) {}

Emulator::~Emulator()
{
    // The testbed first: it stops serving the nodes before their handlers go.
    g_object_unref(testbed_);
    adapters_.clear();
}

// Not umockdev_in_mock_environment(): asked before a testbed exists, it answers no for good.
bool Emulator::preloaded()
{
    return qgetenv("LD_PRELOAD").contains("libumockdev-preload");
}

Adapter& Emulator::add(const AdapterSetup& setup)
{
    auto adapter = std::make_unique<Adapter>(setup, int(adapters_.size()) + 2);
    // The handler before the node, so that libusb never finds the node unserved.
    umockdev_testbed_attach_ioctl(testbed_, adapter->usbNode().toUtf8().constData(), adapter->handler(),
                                  nullptr);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, adapter->sysfsRecord().toUtf8().constData(), &error)) {
        const std::string why = error->message;
        g_error_free(error);
        throw std::runtime_error("umockdev refused the adapter's description: " + why);
    }
    adapters_.push_back(std::move(adapter));
    return *adapters_.back();
}

QString Emulator::rootDir() const
{
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    const QString path = QString::fromLocal8Bit(dir);
    g_free(dir);
    return path;
}

} // namespace ftdiemu
