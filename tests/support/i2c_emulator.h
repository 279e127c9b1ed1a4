// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "sim/simulated_board.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace i2cemu {

// One message as the emulated adapter put it on the bus.
struct Message {
    quint8 addressByte = 0;
    bool acknowledged = true; // the address byte
    QByteArray written;       // the bytes after the address that the slaves took
    QByteArray read;          // the bytes the slave sent
};

// A kernel I2C adapter /dev/i2c-N under a umockdev testbed, for a process run under umockdev-wrapper (the
// preload library redirects its /dev and /sys into the testbed) and for every child it starts, which
// inherits UMOCKDEV_DIR and the preload. Its sysfs entry has the name and device numbers i2c-dev gives;
// its ioctls (I2C_FUNCS, I2C_SLAVE, I2C_RDWR, I2C_SMBUS quick write and byte) are answered by a bus of
// sim::SimulatedChip: each message is clocked into the chips bit by bit through onBus(), and the
// acknowledges and the bits read are what the chips pull SDA to, so registers, OTP banks and the general
// call behave as on the simulated board. Only one testbed can live in a process at a time.
class I2cEmulator {
public:
    struct Options {
        int bus = 1;
        QString name = QStringLiteral("krm59340 emulated adapter");
        std::vector<int> chips{0x74, 0x75};
        bool plainI2c = true;   // I2C_FUNC_I2C: I2C_RDWR works
        bool quickWrite = true; // I2C_FUNC_SMBUS_QUICK (a CP2112 has none)
    };

    // Throws std::runtime_error outside umockdev-wrapper: the node would then be the machine's own.
    explicit I2cEmulator(Options options);
    I2cEmulator() : I2cEmulator(Options{}) {}
    ~I2cEmulator();
    I2cEmulator(const I2cEmulator&) = delete;
    I2cEmulator& operator=(const I2cEmulator&) = delete;

    QString devicePath() const;
    // The file behind the node inside the testbed, for changing its owner and mode.
    QByteArray nodeFile() const;
    // Lets a child that gives up root into the testbed: its folder is private, and the preload library
    // ends a process whose open of the node cannot reach the ioctl socket, even when the open itself fails.
    // The node keeps its own mode.
    void openToEveryUser();

    sim::SimulatedChip* chip(int address7);

    // Once this many more transactions (I2C_RDWR or I2C_SMBUS calls) have gone through, every later one
    // fails with error; -1 ends the fault. ENODEV unplugs the adapter: every later ioctl fails so.
    // EREMOTEIO is a data byte not acknowledged: the address goes out and is acknowledged, the first data
    // byte is refused, nothing reaches a register. Any other errno comes back at once, nothing on the bus.
    void failAfter(int transactions, int error);

    // Every transaction so far: the messages of one I2C_RDWR call (a repeated START between them), or the
    // one of an SMBus command.
    std::vector<std::vector<Message>> transactions() const;
    void clearTransactions();

private:
    class Bus;

    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    int answer(UMockdevIoctlClient* client, long& result);
    int readWrite(UMockdevIoctlClient* client, long& result);
    int smbus(UMockdevIoctlClient* client);
    // A message of the client's, its bytes the local copy of the client's buffer.
    struct Segment {
        int address = 0;
        bool read = false;
        quint8* bytes = nullptr;
        int length = 0;
    };
    // Carries one transaction; the bytes of a read are filled in. Returns 0 or errno.
    int carry(const std::vector<Segment>& segments);

    Options options_;
    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::vector<std::unique_ptr<sim::SimulatedChip>> chips_;
    std::unique_ptr<Bus> bus_;
    // umockdev answers ioctls on its own thread.
    mutable std::mutex mutex_;
    std::vector<std::vector<Message>> transactions_;
    int carried_ = 0;
    int failFrom_ = -1; // the number of the first transaction that fails
    int failError_ = 0;
    bool gone_ = false;
};

} // namespace i2cemu
