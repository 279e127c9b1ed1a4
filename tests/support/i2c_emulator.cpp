// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "i2c_emulator.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdexcept>
#include <sys/stat.h>

namespace i2cemu {

namespace {

struct Unref {
    void operator()(UMockdevIoctlData* data) const { g_object_unref(data); }
};
using Data = std::unique_ptr<UMockdevIoctlData, Unref>;

// The client's memory behind the pointer at offset in data, copied here and written back when the ioctl
// completes; empty for a null pointer or a failed read of the client's memory.
Data resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    Data resolved(umockdev_ioctl_data_resolve(data, offset, length, &error));
    g_clear_error(&error);
    return resolved;
}

// The address I2C_SLAVE set for SMBus commands, kept on the client (one per open file, as in the kernel).
constexpr const char* kSlaveKey = "krm59340-slave";

} // namespace

// The two open-drain wires with the chips on them: the master's drive and every chip's pull make the level;
// a chip that answers an edge may move SDA in turn (only while SCL is low), so changes are passed on until
// they settle, as sim::SimulatedBoard does.
class I2cEmulator::Bus {
public:
    explicit Bus(std::vector<std::unique_ptr<sim::SimulatedChip>>& chips) : chips_(chips) {}

    // From the idle bus: SDA falls while SCL is high.
    void start()
    {
        drive(true, true);
        drive(true, false);
        drive(false, false);
    }
    void repeatedStart()
    {
        drive(false, true);
        drive(true, true);
        drive(true, false);
        drive(false, false);
    }
    void stop()
    {
        drive(false, false);
        drive(true, false);
        drive(true, true);
    }
    // Eight bits, then the acknowledge slot with SDA released: true when a slave pulled it low.
    bool sendByte(quint8 byte)
    {
        for (int k = 7; k >= 0; --k)
            clock((byte >> k & 1) != 0);
        return !clock(true);
    }
    quint8 receiveByte(bool acknowledge)
    {
        quint8 byte = 0;
        for (int k = 0; k < 8; ++k)
            byte = static_cast<quint8>(byte << 1 | (clock(true) ? 1 : 0));
        clock(!acknowledge);
        return byte;
    }

private:
    // One clock pulse with SDA driven (true: released); returns the level while SCL was high.
    bool clock(bool sda)
    {
        drive(false, sda);
        drive(true, sda);
        const bool level = sda_;
        drive(false, sda);
        return level;
    }
    void drive(bool scl, bool sda)
    {
        const auto level = [&] {
            return sda &&
                   std::none_of(chips_.begin(), chips_.end(), [](const auto& c) { return c->pullsSda(); });
        };
        for (bool now = level(); scl != scl_ || now != sda_; now = level()) {
            scl_ = scl;
            sda_ = now;
            for (const auto& chip : chips_)
                chip->onBus(scl_, sda_);
        }
    }

    std::vector<std::unique_ptr<sim::SimulatedChip>>& chips_;
    bool scl_ = true;
    bool sda_ = true;
};

I2cEmulator::I2cEmulator(Options options) : options_(std::move(options))
{
    for (int address : options_.chips)
        chips_.push_back(std::make_unique<sim::SimulatedChip>(address));
    bus_ = std::make_unique<Bus>(chips_);

    testbed_ = umockdev_testbed_new();
    // The preload library shows the testbed's /sys only while a testbed exists.
    if (!umockdev_in_mock_environment()) {
        g_object_unref(testbed_);
        throw std::runtime_error("the I2C emulation needs the process to run under umockdev-wrapper");
    }
    // i2c-dev's class device sits below its adapter; the kernel gives it major 89 and the bus number as
    // minor.
    const QByteArray description =
        QStringLiteral("P: /devices/platform/krm59340-i2c.%1/i2c-%1/i2c-dev/i2c-%1\n"
                       "N: i2c-%1\n"
                       "E: DEVNAME=/dev/i2c-%1\n"
                       "E: MAJOR=89\n"
                       "E: MINOR=%1\n"
                       "E: SUBSYSTEM=i2c-dev\n"
                       "A: dev=89:%1\n"
                       "A: name=%2\n")
            .arg(options_.bus)
            .arg(options_.name)
            .toUtf8();
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.constData(), &error)) {
        const std::string why = error->message;
        g_clear_error(&error);
        g_object_unref(testbed_);
        throw std::runtime_error("umockdev refused the adapter: " + why);
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&I2cEmulator::onIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, devicePath().toUtf8().constData(), handler_, &error)) {
        const std::string why = error->message;
        g_clear_error(&error);
        g_object_unref(handler_);
        g_object_unref(testbed_);
        throw std::runtime_error("umockdev refused the ioctl handler: " + why);
    }
}

I2cEmulator::~I2cEmulator()
{
    umockdev_testbed_detach_ioctl(testbed_, devicePath().toUtf8().constData(), nullptr);
    g_object_unref(handler_);
    g_object_unref(testbed_);
}

QString I2cEmulator::devicePath() const
{
    return QStringLiteral("/dev/i2c-%1").arg(options_.bus);
}

QByteArray I2cEmulator::nodeFile() const
{
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    const QByteArray file = QByteArray(root) + devicePath().toUtf8();
    g_free(root);
    return file;
}

void I2cEmulator::openToEveryUser()
{
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    ::chmod(root, 0755);
    ::chmod((QByteArray(root) + "/ioctl" + devicePath().toUtf8()).constData(), 0666);
    g_free(root);
}

sim::SimulatedChip* I2cEmulator::chip(int address7)
{
    const auto found = std::find_if(chips_.begin(), chips_.end(),
                                    [address7](const auto& chip) { return chip->address() == address7; });
    return found == chips_.end() ? nullptr : found->get();
}

void I2cEmulator::failAfter(int transactions, int error)
{
    const std::lock_guard lock(mutex_);
    failFrom_ = transactions < 0 ? -1 : carried_ + transactions;
    failError_ = error;
}

std::vector<std::vector<Message>> I2cEmulator::transactions() const
{
    const std::lock_guard lock(mutex_);
    return transactions_;
}

void I2cEmulator::clearTransactions()
{
    const std::lock_guard lock(mutex_);
    transactions_.clear();
}

int I2cEmulator::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self)
{
    long result = 0;
    const int error = static_cast<I2cEmulator*>(self)->answer(client, result);
    umockdev_ioctl_client_complete(client, error == 0 ? result : -1, error);
    return TRUE;
}

int I2cEmulator::answer(UMockdevIoctlClient* client, long& result)
{
    const std::lock_guard lock(mutex_);
    if (gone_)
        return ENODEV;
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    switch (umockdev_ioctl_client_get_request(client)) {
    case I2C_FUNCS: {
        const Data functions = resolve(argument, 0, sizeof(unsigned long));
        if (!functions)
            return EFAULT;
        *reinterpret_cast<unsigned long*>(functions->data) =
            (options_.plainI2c ? I2C_FUNC_I2C : 0) | (options_.quickWrite ? I2C_FUNC_SMBUS_QUICK : 0) |
            I2C_FUNC_SMBUS_BYTE;
        return 0;
    }
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        const auto address = *reinterpret_cast<unsigned long*>(argument->data);
        if (address > 0x7F)
            return EINVAL;
        g_object_set_data(G_OBJECT(client), kSlaveKey, GSIZE_TO_POINTER(address));
        return 0;
    }
    case I2C_RDWR:
        return readWrite(client, result);
    case I2C_SMBUS:
        return smbus(client);
    default:
        return ENOTTY;
    }
}

int I2cEmulator::readWrite(UMockdevIoctlClient* client, long& result)
{
    if (!options_.plainI2c)
        return EOPNOTSUPP;
    const Data request = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(i2c_rdwr_ioctl_data));
    if (!request)
        return EFAULT;
    const __u32 count = reinterpret_cast<i2c_rdwr_ioctl_data*>(request->data)->nmsgs;
    if (count == 0 || count > I2C_RDWR_IOCTL_MAX_MSGS)
        return EINVAL;
    const Data messages =
        resolve(request.get(), offsetof(i2c_rdwr_ioctl_data, msgs), count * sizeof(i2c_msg));
    if (!messages)
        return EFAULT;
    std::vector<Data> buffers;
    std::vector<Segment> segments;
    for (__u32 n = 0; n < count; ++n) {
        const i2c_msg& message = reinterpret_cast<i2c_msg*>(messages->data)[n];
        if ((message.flags & ~I2C_M_RD) != 0 || message.addr > 0x7F)
            return EINVAL;
        Segment segment{message.addr, (message.flags & I2C_M_RD) != 0, nullptr, message.len};
        if (message.len > 0) {
            buffers.push_back(
                resolve(messages.get(), n * sizeof(i2c_msg) + offsetof(i2c_msg, buf), message.len));
            if (!buffers.back())
                return EFAULT;
            segment.bytes = buffers.back()->data;
        }
        segments.push_back(segment);
    }
    result = count;
    return carry(segments);
}

// The SMBus commands i2cdetect probes with: the quick write and the one-byte read and write.
int I2cEmulator::smbus(UMockdevIoctlClient* client)
{
    const Data request = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(i2c_smbus_ioctl_data));
    if (!request)
        return EFAULT;
    const auto& command = *reinterpret_cast<i2c_smbus_ioctl_data*>(request->data);
    const int address = static_cast<int>(GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(client), kSlaveKey)));
    const bool read = command.read_write == I2C_SMBUS_READ;
    if (command.size == I2C_SMBUS_QUICK && !read && options_.quickWrite)
        return carry({{address, false, nullptr, 0}});
    if (command.size != I2C_SMBUS_BYTE)
        return EOPNOTSUPP;
    if (!read) {
        quint8 byte = command.command;
        return carry({{address, false, &byte, 1}});
    }
    const Data data = resolve(request.get(), offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data));
    if (!data)
        return EFAULT;
    return carry({{address, true, &reinterpret_cast<i2c_smbus_data*>(data->data)->byte, 1}});
}

int I2cEmulator::carry(const std::vector<Segment>& segments)
{
    const int index = carried_++;
    const bool failing = failFrom_ >= 0 && index >= failFrom_;
    if (failing && failError_ == ENODEV)
        gone_ = true;
    if (failing && failError_ != EREMOTEIO)
        return failError_;
    std::vector<Message>& log = transactions_.emplace_back();
    int error = 0;
    bus_->start();
    for (std::size_t n = 0; n < segments.size() && error == 0; ++n) {
        const Segment& segment = segments[n];
        if (n > 0)
            bus_->repeatedStart();
        Message& message = log.emplace_back();
        message.addressByte = static_cast<quint8>(segment.address << 1 | (segment.read ? 1 : 0));
        message.acknowledged = bus_->sendByte(message.addressByte);
        if (!message.acknowledged) {
            error = ENXIO;
            break;
        }
        for (int k = 0; k < segment.length && error == 0; ++k) {
            if (segment.read) {
                segment.bytes[k] = bus_->receiveByte(k + 1 < segment.length);
                message.read += static_cast<char>(segment.bytes[k]);
            } else if (failing || !bus_->sendByte(segment.bytes[k])) {
                error = EREMOTEIO;
            } else {
                message.written += static_cast<char>(segment.bytes[k]);
            }
        }
    }
    bus_->stop();
    return error;
}

} // namespace i2cemu
