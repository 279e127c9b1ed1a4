// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "i2cdev/kernel_i2c_bus.h"

#include "i2cdev/adapter_list.h"
#include "serial/port_catalog.h"
#include "serial/serial_port.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace i2cdev {

namespace {

using serial::PortError;
using serial::PortFailure;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString hexByte(int value)
{
    return QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
}

// What the kernel's fault codes (Documentation/i2c/fault-codes.rst) mean on this bus, before the errno text.
QString transferFailure(int error)
{
    switch (error) {
    case EREMOTEIO:
        return QStringLiteral("a byte was not acknowledged: ") + errorText(error);
    case EAGAIN:
        return QStringLiteral("another master took the bus (arbitration lost): ") + errorText(error);
    case ETIMEDOUT:
        return QStringLiteral("the adapter gave up waiting for the bus: ") + errorText(error);
    case EBUSY:
        return QStringLiteral("a kernel driver has claimed this address: ") + errorText(error);
    default:
        return errorText(error);
    }
}

// Debian's i2c-tools installs a udev rule giving the nodes to group i2c, mode 0660: joining that group is
// the fix, whichever group the node has now.
QString permissionAdvice(const QString& path, int error)
{
    const QString group = serial::owningGroup(path);
    if (!group.isEmpty() && group != QLatin1String("root"))
        return QStringLiteral("%1: %2 belongs to group %3; join it (sudo adduser $USER %3) and log in again")
            .arg(errorText(error), path, group);
    return QStringLiteral(
               "%1: %2 belongs to root alone; Debian's i2c-tools package gives the I2C adapters to "
               "group i2c: install it, join that group (sudo adduser $USER i2c) and log in again")
        .arg(errorText(error), path);
}

// SMBus quick write: the address byte with the write bit and nothing else. The address is the open file's
// target for SMBus commands, so it is set first.
int quickWrite(int fd, int address7)
{
    if (::ioctl(fd, I2C_SLAVE, address7) != 0)
        return errno;
    i2c_smbus_ioctl_data command{I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr};
    return ::ioctl(fd, I2C_SMBUS, &command) < 0 ? errno : 0;
}

} // namespace

KernelI2cBus::KernelI2cBus(QString sysRoot) : sysRoot_(std::move(sysRoot)) {}

KernelI2cBus::~KernelI2cBus()
{
    close();
}

void KernelI2cBus::open(const QString& devicePath)
{
    close();
    const QString operation = QStringLiteral("open ") + devicePath;
    // O_NONBLOCK keeps a FIFO given for a node from hanging the open; i2c-dev does not look at it.
    const int fd =
        ::open(QFile::encodeName(devicePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            throw PortError(PortFailure::PermissionDenied, operation, permissionAdvice(devicePath, error));
        if (error == EBUSY)
            throw PortError(PortFailure::AlreadyOpen, operation, errorText(error));
        throw PortError(PortFailure::CannotUse, operation, errorText(error));
    }
    unsigned long functions = 0;
    if (::ioctl(fd, I2C_FUNCS, &functions) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == ENOTTY || error == EINVAL)
            throw PortError(PortFailure::CannotUse, operation,
                            QStringLiteral("not an I2C adapter (%1)").arg(errorText(error)));
        throw PortError(PortFailure::CannotUse, operation, errorText(error));
    }
    if ((functions & I2C_FUNC_I2C) == 0) {
        ::close(fd);
        throw PortError(PortFailure::CannotUse, operation,
                        QStringLiteral("the adapter sends SMBus commands only, not plain I2C messages "
                                       "(I2C_FUNC_I2C); the chip's word reads need them"));
    }
    fd_ = fd;
    functions_ = functions;
    path_ = devicePath;
    const QString entry = QFileInfo(devicePath).fileName();
    node_ = entry.startsWith(QLatin1String("i2c-")) ? entry : QString();
    name_ = node_.isEmpty() ? QString() : i2cdev::adapterName(sysRoot_, node_);
}

void KernelI2cBus::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    functions_ = 0;
    path_.clear();
    node_.clear();
    name_.clear();
}

bool KernelI2cBus::offersQuickWrite() const
{
    return (functions_ & I2C_FUNC_SMBUS_QUICK) != 0;
}

QString KernelI2cBus::description() const
{
    if (!isOpen())
        return QStringLiteral("no I2C adapter open");
    if (name_.isEmpty())
        return QStringLiteral("I2C adapter %1: kernel driver").arg(adapter());
    return QStringLiteral("I2C adapter %1 (%2): kernel driver").arg(adapter(), name_);
}

QString KernelI2cBus::adapter() const
{
    return node_.isEmpty() ? path_ : node_;
}

QString KernelI2cBus::where(int address7) const
{
    return QStringLiteral("%1 on %2").arg(hexByte(address7), adapter());
}

int KernelI2cBus::transfer(Message& message)
{
    i2c_msg segment{message.address, static_cast<__u16>(message.read ? I2C_M_RD : 0),
                    static_cast<__u16>(message.bytes.size()), reinterpret_cast<__u8*>(message.bytes.data())};
    i2c_rdwr_ioctl_data transaction{&segment, 1};
    return ::ioctl(fd_, I2C_RDWR, &transaction) < 0 ? errno : 0;
}

void KernelI2cBus::trace(const Message& message, int error)
{
    if (trace_ && (error == 0 || error == ENXIO))
        trace_->record(message, error == 0);
}

void KernelI2cBus::fail(const Message& message, int error, const QString& transaction)
{
    trace(message, error);
    if (error == ENXIO)
        throw bus::NotAcknowledged(
            message.address == 0 ? QStringLiteral("no chip answers the general call on %1").arg(adapter())
                                 : QStringLiteral("no chip answers at %1").arg(where(message.address)));
    const QString operation = transaction + QStringLiteral(" at ") + where(message.address);
    if (error == ENODEV) {
        // The adapter is gone for good: closed now, every later transaction reaches nothing and says nothing.
        close();
        throw PortError(PortFailure::Gone, operation, errorText(error));
    }
    throw PortError(PortFailure::Io, operation, transferFailure(error));
}

// The kernel sets the direction bit of every message itself: the address byte is sent, and told to the
// observers, with the bit of the transaction, whatever the last position of the address text says.
void KernelI2cBus::write(bus::TransactionKind kind, const QString& transaction, const QByteArray& bytes)
{
    begin(kind);
    if (isOpen()) {
        Message message{static_cast<quint8>(static_cast<quint8>(bytes.at(0)) >> 1), false, bytes.mid(1)};
        if (const int error = transfer(message))
            fail(message, error, transaction);
        trace(message, 0);
    }
    finish(kind, bytes);
}

void KernelI2cBus::i2cWritePointer(const QString& address, const QString& data)
{
    const char bytes[] = {static_cast<char>(bus::byteOf(address) & 0xFE),
                          static_cast<char>(bus::byteOf(data))};
    write(bus::TransactionKind::PointerWrite, QStringLiteral("pointer write"), QByteArray(bytes, 2));
}

void KernelI2cBus::i2cWriteWord(const QString& address, const QString& byte2, const QString& byte3,
                                const QString& byte4, Ending)
{
    // Command 010 in the top bits of the word burns it into OTP; anything else writes the register.
    const quint8 command = bus::byteOf(byte3);
    const bus::TransactionKind kind =
        command >> 5 == 0b010 ? bus::TransactionKind::OtpWrite : bus::TransactionKind::DacWrite;
    const char bytes[] = {static_cast<char>(bus::byteOf(address) & 0xFE),
                          static_cast<char>(bus::byteOf(byte2)), static_cast<char>(command),
                          static_cast<char>(bus::byteOf(byte4))};
    write(kind, QStringLiteral("register word write"), QByteArray(bytes, 4));
}

void KernelI2cBus::generalCallReset()
{
    write(bus::TransactionKind::GeneralCall, QStringLiteral("general call reset"), QByteArray("\x00\x06", 2));
}

void KernelI2cBus::i2cReadWord(const QString& address)
{
    begin(bus::TransactionKind::Read);
    const quint8 addressByte = bus::byteOf(address) | 1;
    int value = 0xFFFF;
    if (isOpen()) {
        Message message{static_cast<quint8>(addressByte >> 1), true, QByteArray(2, '\0')};
        if (const int error = transfer(message))
            fail(message, error, QStringLiteral("word read"));
        trace(message, 0);
        value = static_cast<quint8>(message.bytes.at(0)) << 8 | static_cast<quint8>(message.bytes.at(1));
    }
    readValue = value;
    finish(bus::TransactionKind::Read, QByteArray(1, static_cast<char>(addressByte)),
           static_cast<quint16>(value));
}

bool KernelI2cBus::probe(const QString& address)
{
    begin(bus::TransactionKind::Probe);
    const quint8 address7 = bus::byteOf(address) >> 1;
    Message message{address7, false, {}};
    bool acknowledged = false;
    if (isOpen()) {
        int error = 0;
        if (offersQuickWrite()) {
            error = quickWrite(fd_, address7);
        } else {
            // The chip answers a read with the word at its pointer; one byte of it is read, and the pointer
            // stays where it was.
            message.read = true;
            message.bytes = QByteArray(1, '\0');
            error = transfer(message);
        }
        // The address is the only byte of a probe that a slave acknowledges, so a driver that reports every
        // refused byte as EREMOTEIO (i2c-bcm2835 among them) means the address here.
        if (error == EREMOTEIO)
            error = ENXIO;
        if (error != 0 && error != ENXIO)
            fail(message, error, QStringLiteral("probe"));
        trace(message, error);
        acknowledged = error == 0;
    }
    const int addressByte = address7 << 1 | (message.read ? 1 : 0);
    finish(bus::TransactionKind::Probe, QByteArray(1, static_cast<char>(addressByte)), std::nullopt,
           acknowledged);
    return acknowledged;
}

bus::LineCheck KernelI2cBus::checkLines()
{
    checkStarting();
    const bus::LineCheck check = isOpen() ? bus::LineCheck{bus::LineHealth::ByAdapter} : bus::LineCheck{};
    checkDone(check);
    return check;
}

} // namespace i2cdev
