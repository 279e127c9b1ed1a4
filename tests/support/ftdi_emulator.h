// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "sim/simulated_board.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;
struct _UMockdevTestbed;

// FTDI adapters emulated under umockdev, for the real libftdi and libusb to drive: a testbed with each
// adapter's sysfs description (the USB device, its interface with ftdi_sio bound, its ttyUSBn) and a
// handler for the usbdevfs requests libusb makes on its node. The pins are wired to a simulated board:
//
//     ftdiemu::Emulator emulator;                    // needs umockdev's preload (umockdev-wrapper)
//     ftdiemu::Adapter& adapter = emulator.add();    // an FT232R with the serial A1B2C3, both chips
//     adapter.board().chip(0x74)->setDacRegister(3, 0x2A5);
//     serial::PortCatalog catalog({{1, "ftdi://A1B2C3"}}, {});
//     serial::FtdiSyncPort port(catalog);
//     port.open(1);
//     ... adapter.traffic(), adapter.pinBytes(), adapter.board().transmitted(), adapter.problems()
//
// The handler runs on umockdev's worker thread while the port waits in its ioctl, so a test reads the
// adapter between the port's calls. A child process started meanwhile inherits the testbed (UMOCKDEV_DIR
// and the preload library are in its environment) and reaches the same adapters.
namespace ftdiemu {

enum class Chip { FT232R, FT231X };

struct AdapterSetup {
    Chip chip = Chip::FT232R;
    QString serial = QStringLiteral("A1B2C3"); // "" for an adapter without one
    sim::SimulatedBoard::Chips chips = sim::SimulatedBoard::Chips::Both;
    // Another program has the interface through usbfs: claiming it fails with EBUSY.
    bool claimedElsewhere = false;
};

// What crossed the cable since the adapter was added.
struct Traffic {
    int bulkOut = 0;
    int bulkIn = 0;
    int control = 0;
    qint64 bytesOut = 0;  // bytes written, to the pins or the UART
    qint64 samplesIn = 0; // read-back bytes delivered, the status bytes of each packet left out
};

// One FT232R or FT231X. In synchronous bit-bang mode every byte written first samples the pins, then
// drives them: D2 pulls SDA low through the board's RTS, D4 SCL through its DTR, D5 reads the board's DSR
// (asserted: low), outputs read back as driven. In UART mode the modem lines drive the bus lines and
// written bytes go to the board's transmit line. The board's faults act on the wires; once it is pulled
// (goneAfter) every request fails with ENODEV, as from a vanished device.
class Adapter {
public:
    Adapter(const AdapterSetup& setup, int address);
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    sim::SimulatedBoard& board() { return board_; }
    const AdapterSetup& setup() const { return setup_; }
    QString usbNode() const;
    Traffic traffic() const;
    // Every byte clocked onto the pins in bit-bang mode, in order.
    QByteArray pinBytes() const;
    // What a real chip would not have taken, or our cable would not: a FIFO overrun, a request the chip
    // does not know, a rate set in bit-bang mode, TXD driven low in it, a read whose buffer is no whole
    // number of packets, UART data sent or the adapter let go of with a bus line pulled low, the
    // kernel's driver given the adapter back in bit-bang mode.
    QStringList problems() const;
    // Whether ftdi_sio has the interface (the adapter's tty exists).
    bool driverBound() const;
    // The baud rate in force at the last UART write, and when bit-bang mode was last entered.
    int uartRate() const;
    int bitBangRate() const;
    // The chip under load: every other IN transfer brings the status bytes alone, the rest one packet.
    void setStingyReads(bool stingy);

    QString sysfsRecord() const;
    _UMockdevIoctlBase* handler() const { return handler_; }

private:
    enum class Mode { Uart, SyncBitBang, Other };

    static int onIoctl(_UMockdevIoctlBase*, _UMockdevIoctlClient* client, void* self);
    bool ioctl(_UMockdevIoctlClient* client);
    void submit(_UMockdevIoctlClient* client, _UMockdevIoctlData* arg);
    void reap(_UMockdevIoctlClient* client, _UMockdevIoctlData* arg);
    int control(const quint8* setup, quint8* data);
    int standardRequest(quint8 request, quint16 value, quint8* data);
    void vendorOut(quint8 request, quint16 value, quint16 index);
    void setBitMode(quint8 mask, quint8 mode);
    void bulkOut(const quint8* data, int length);
    int bulkIn(quint8* data, int room);
    quint8 sample();
    void drive(bool sdaPulled, bool sclPulled);
    int baudRate() const;
    QByteArray descriptor(quint8 type, quint8 index) const;
    void problem(const QString& what);

    AdapterSetup setup_;
    int address_;
    _UMockdevIoctlBase* handler_;
    mutable std::mutex mutex_;
    sim::SimulatedBoard board_;
    bool unplugged_ = false;
    bool claimed_ = false;
    bool driverBound_ = true;
    Mode mode_ = Mode::Uart;
    quint8 mask_ = 0;
    quint8 latch_ = 0;
    bool sdaPulled_ = false;
    bool sclPulled_ = false;
    // Asserted, as ftdi_sio leaves them after a program had the tty open.
    bool modemDtr_ = true;
    bool modemRts_ = true;
    quint32 divisor_ = 0x4138; // 9600 baud, the chip's own default
    quint16 lineProperty_ = 0x0008;
    int latency_ = 16;
    int uartRate_ = 0;
    int bitBangRate_ = 0;
    int temtPolls_ = 0; // polls of the modem status still to report the UART busy
    bool stingy_ = false;
    bool stingyTurn_ = false;
    QByteArray rx_; // samples waiting for the host
    QByteArray pinBytes_;
    QStringList problems_;
    Traffic traffic_;
    std::deque<_UMockdevIoctlData*> done_; // URBs waiting to be reaped
};

class Emulator {
public:
    Emulator();
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Whether this process runs with umockdev's preload library; without it libusb sees the real system.
    static bool preloaded();

    // Adds an adapter at the next address on bus 1 (1-1 at 001/002, 1-2 at 001/003, ...).
    Adapter& add(const AdapterSetup& setup = {});
    // The testbed's directory: its sys/ and dev/ stand for /sys and /dev.
    QString rootDir() const;

private:
    _UMockdevTestbed* testbed_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
};

} // namespace ftdiemu
