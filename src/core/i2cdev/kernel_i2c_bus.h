// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus/master.h"
#include "i2cdev/transaction_trace.h"

#include <QString>

namespace i2cdev {

// The chip's transactions on a Linux kernel I2C adapter (/dev/i2c-N through i2c-dev). Each transaction is
// one I2C_RDWR call of one message, START to STOP, as the chip gets it on the line-level path: a register
// read is a pointer write and then a word read, two calls, never one call of two messages (that would be a
// repeated START). The adapter's driver clocks the bus, sees the acknowledges and recovers a stuck bus
// itself; there are no lines for us to check.
//
// Failures: an address nobody acknowledges (ENXIO) throws bus::NotAcknowledged. Every other failure of a
// transaction throws serial::PortError(Io) naming the transaction and the errno text, except a vanished
// adapter (ENODEV), which throws Gone and closes the bus so the failure is reported once.
//
// While closed, transactions reach nothing, as on a closed serial port: the observers hear of them, a read
// gives 0xFFFF (a released SDA reads high), a probe finds nothing and the line check says Unchecked.
class KernelI2cBus : public bus::Master {
public:
    // sysRoot: where sysfs is, for the adapter's name.
    explicit KernelI2cBus(QString sysRoot = QStringLiteral("/sys"));
    ~KernelI2cBus() override;

    // Opens "/dev/i2c-N" and asks what the adapter can do. Throws serial::PortError: PermissionDenied,
    // naming the group to join; AlreadyOpen when the kernel says the node is busy; CannotUse when there is
    // no such node, when it is no I2C adapter, or when the adapter sends only SMBus commands (no
    // I2C_FUNC_I2C), which cannot carry the chip's word read: two bytes read with no command byte before
    // them. Closes whatever was open first.
    void open(const QString& devicePath);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    // Of the open adapter: its node, "/dev/i2c-1"; its driver's name from sysfs ("" when sysfs has none);
    // whether it has the SMBus quick write the probe prefers.
    const QString& devicePath() const { return path_; }
    const QString& adapterName() const { return name_; }
    bool offersQuickWrite() const;
    // For the connection line: "I2C adapter i2c-1 (bcm2835): kernel driver".
    QString description() const;

    // Every message from now on is drawn into the trace; nullptr stops it. The trace must outlive its use.
    void setTrace(TransactionTrace* trace) { trace_ = trace; }

    void i2cWritePointer(const QString& address, const QString& data) override;
    // The ending asks the line-level master for pauses before its STOP; the adapter times its own STOP, so
    // it has no meaning here.
    void i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                      const QString& byte4, Ending ending) override;
    void i2cReadWord(const QString& address) override;
    void generalCallReset() override;
    // An SMBus quick write where the adapter offers one, else a 1-byte read, as i2cdetect probes. True
    // when the address was acknowledged.
    bool probe(const QString& address) override;
    // Nothing goes on the bus: ByAdapter while open, Unchecked while closed.
    bus::LineCheck checkLines() override;

private:
    // Sends one message in its own I2C_RDWR call; read bytes land in message.bytes. Returns 0 or errno.
    int transfer(Message& message);
    // A message the adapter refused: traced, then thrown as the kind its errno tells.
    [[noreturn]] void fail(const Message& message, int error, const QString& transaction);
    // Into the trace, when there is one: a message done, or refused at its address.
    void trace(const Message& message, int error);
    // Runs a write transaction; its bytes, address byte first, are what the observers are told.
    void write(bus::TransactionKind kind, const QString& transaction, const QByteArray& bytes);
    // "i2c-1", or the path when the node has another name; "0x74 on i2c-1".
    QString adapter() const;
    QString where(int address7) const;

    QString sysRoot_;
    int fd_ = -1;
    unsigned long functions_ = 0;
    QString path_;
    QString node_;
    QString name_;
    TransactionTrace* trace_ = nullptr;
};

} // namespace i2cdev
