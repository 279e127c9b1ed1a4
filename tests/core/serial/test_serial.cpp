// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/port_catalog.h"
#include "serial/port_control.h"
#include "serial/posix_serial_port.h"
#include "serial/serial_link.h"
#include "serial/tracing_port.h"

#include "support/recording_port.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace serial;

namespace {

// The ttys keep the numbers they always had; the FTDI adapters' fast mode and the kernel I2C adapters come
// after them, and a tty on an FTDI chip says where the same cable runs fast.
TEST(PortCatalog, ExplicitEntriesWinThenUsbAdaptersThenUartsThenTheOtherPortsEachByNumber)
{
    const QList<SerialDevice> system{{"/dev/i2c-1", "I2C adapter i2c-1", {}},
                                     {"ftdi://A1B2C3", "FT232R A1B2C3, synchronous bit-bang", {}},
                                     {"/fake/ttyS1", "serial", {}},
                                     {"/fake/ttyACM0", "cdc_acm", {}},
                                     {"/fake/ttyUSB10", "FT232R", "ftdi://A1B2C3"},
                                     {"/fake/ttyUSB2", "CP2102", {}},
                                     {"/fake/ttyS0", "serial", {}}};
    const PortCatalog catalog({{2, "/fake/pts/9"}, {5, "/fake/ttyUSB2"}}, system);
    QStringList ports;
    for (int n = 0; n <= 9; ++n)
        ports << catalog.devicePath(n);
    EXPECT_EQ(ports.join(' '),
              " /fake/ttyUSB10 /fake/pts/9 /fake/ttyACM0 /fake/ttyS0 /fake/ttyUSB2 /fake/ttyS1 "
              "ftdi://A1B2C3 /dev/i2c-1 ");
    EXPECT_EQ(catalog.description(5), "CP2102");
    EXPECT_EQ(catalog.description(1), "FT232R; runs fast as COM7 (ftdi://A1B2C3)");

    // A mapping through a stable link names the same adapter: it is not listed a second time.
    QTemporaryDir dir;
    QFile(dir.filePath("ttyUSB0")).open(QIODevice::WriteOnly);
    QFile::link(dir.filePath("ttyUSB0"), dir.filePath("by-id"));
    const PortCatalog linked({{3, dir.filePath("by-id")}}, {{dir.filePath("ttyUSB0"), "FT232R", {}}});
    EXPECT_EQ(linked.devicePath(1), "");
    EXPECT_EQ(linked.description(3), "FT232R");
}

// A miniature /sys: a USB adapter below a root hub, and UARTs with and without hardware, one the console.
// "name=text" is a file, "name>target" a link.
TEST(PortCatalog, SysfsScanKeepsRealPortsAndLeavesOutTheConsole)
{
    QTemporaryDir sys;
    for (const QString& entry :
         QStringLiteral(
             "usb1/idVendor=1d6b;usb1/product=xHCI Host Controller;usb1/1-1/idVendor=0403;"
             "usb1/1-1/product=FT232R USB UART;usb1/1-1/manufacturer=FTDI;tty/ttyS0/type=4;tty/ttyS1/type=4;"
             "tty/ttyS2/type=0;tty/console/active=tty0 ttyS0;tty/ttyUSB0/device>usb1/1-1/1-1:1.0;"
             "pnp0/driver>drivers/serial;tty/ttyS0/device>pnp0;tty/ttyS1/device>pnp0;tty/ttyS2/device>pnp0")
             .split(';')) {
        const bool link = entry.contains('>');
        const QString path = sys.filePath(entry.section(link ? '>' : '=', 0, 0));
        const QString text = entry.section(link ? '>' : '=', 1);
        QFile file(path);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()) &&
                    (link ? QDir().mkpath(sys.filePath(text)) && QFile::link(sys.filePath(text), path)
                          : file.open(QIODevice::WriteOnly) && file.write(text.toUtf8())));
    }
    QMap<QString, QString> found; // device name -> description
    for (const SerialDevice& device : PortCatalog::scanSysfs(sys.filePath("tty")))
        found.insert(device.path.section("/dev/", 1), device.description); // "" unless below /dev/
    EXPECT_EQ(found, (QMap<QString, QString>{{"ttyUSB0", "FTDI FT232R USB UART"}, {"ttyS1", "serial"}}));
}

// COM1, COM3 and COM12 exist, and another program holds COM12; counts the opens.
struct FakePort : RecordingPort {
    int opens = 0;
    std::optional<Timeouts> timeouts;

    FakePort() { RecordingPort::close(); }
    bool exists(int n) const override { return n == 1 || n == 3 || n == 12; }
    void open(int n) override
    {
        ++opens;
        if (n == 12)
            throw PortError(PortFailure::AlreadyOpen, "open", "Device or resource busy");
        RecordingPort::open(n);
    }
    void setTimeouts(const Timeouts& t) override { timeouts = t; }
};

// Opening a tty raises its modem lines, which resets many boards: the scan lists what exists and opens
// nothing, the port in use included. A port another program holds is tried once and then left alone.
TEST(SerialLink, ScanOpensNothingAndAPortHeldElsewhereIsNotTriedAgain)
{
    FakePort port;
    SerialLink link([&port](int n) { return port.exists(n); });
    link.EnumerateComPorts();
    EXPECT_EQ(link.PortList, QStringList({"COM1", "COM3", "COM12"}));
    EXPECT_EQ(port.opens, 0);

    PortControl control(port);
    const PortControl::Opened held = control.fncInitializeComPort(9600, 12);
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(held.alreadyOpen && !held.open);
    link.noteAlreadyOpen(12);
    link.PortNumber = 12;
    EXPECT_FALSE(link.available()) << "held elsewhere: unavailable for the rest of the run";

    EXPECT_TRUE(control.fncInitializeComPort(9600, 3).open);
    control.SetPortTimeouts(9600);
    EXPECT_TRUE(port.isOpen() && port.portNumber() == 3);
    EXPECT_EQ(port.lineSettings(), "9600,N,8,1");
    EXPECT_EQ(port.timeouts, (Timeouts{1, 1, 1000, 1, 1000}));
    link.EnumerateComPorts();
    EXPECT_EQ(port.opens, 2);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.requests, "");
}

std::optional<PortFailure> failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const PortError& e) {
        return e.kind();
    }
    return std::nullopt;
}

// A pseudo-terminal stands in for the device: the port opens its slave, the master is the far end.
class PosixPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(!slave.isEmpty() && QFile(scratch.filePath("plain")).open(QFile::WriteOnly));
    }
    ~PosixPort() override { ::close(master); }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    QString slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                        ? QString::fromLocal8Bit(ptsname(master))
                        : QString();
    QTemporaryDir scratch;
    PortCatalog catalog{{{1, slave}, {2, scratch.filePath("gone")}, {3, scratch.filePath("plain")}}, {}};
    PosixSerialPort port{catalog, scratch.path()};
};

TEST_F(PosixPort, OpensRaw8N1AtTheRateAndTellsOpenFailuresApart)
{
    port.setLineSettings(19200);
    EXPECT_EQ(failureOf([&] { port.setLineSettings(0); }), PortFailure::Rejected);
    port.open(1);
    EXPECT_EQ(failureOf([&] { port.setLineSettings(-9600); }), PortFailure::Rejected);
    EXPECT_EQ(port.lineSettings(), "19200,N,8,1");
    termios tio{};
    ASSERT_EQ(tcgetattr(master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);

    PosixSerialPort other(catalog, scratch.path());
    EXPECT_EQ(failureOf([&] { other.open(1); }), PortFailure::AlreadyOpen);
    port.close();
    other.open(1); // released by close
    for (int n : {2, 3, 9})
        EXPECT_EQ(failureOf([&] { port.open(n); }), PortFailure::CannotUse) << "COM" << n;
    EXPECT_FALSE(port.isOpen());
}

// minicom, picocom and cu take no flock: they announce themselves with a UUCP lock file. Other programs
// take no lock at all and can only be seen holding the device open. Either way the port is in use, named
// by its holder, and nothing has touched the device; a lock left by a process that has ended is taken over.
TEST_F(PosixPort, HoldersWithoutAFlockAreFoundByTheirLockFileOrTheirOpenDevice)
{
    const QString lockFile = scratch.filePath("LCK.." + QFileInfo(slave).fileName());
    const auto writeLock = [&](qint64 pid) {
        QFile lock(lockFile);
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
    };
    const auto refusal = [&]() -> QString {
        try {
            port.open(1);
        } catch (const PortError& e) {
            return e.kind() == PortFailure::AlreadyOpen ? e.reason() : "wrong kind: " + e.reason();
        }
        return "opened";
    };

    writeLock(::getppid());
    EXPECT_TRUE(refusal().endsWith(QStringLiteral("(process %1)").arg(::getppid()))) << qPrintable(refusal());

    QProcess ended;
    ended.start("sleep", {"30"});
    ASSERT_TRUE(ended.waitForStarted());
    const qint64 gone = ended.processId();
    ended.kill();
    ended.waitForFinished();
    writeLock(gone);
    EXPECT_EQ(refusal(), "opened");
    QFile ours(lockFile);
    ASSERT_TRUE(ours.open(QIODevice::ReadOnly));
    EXPECT_EQ(ours.readAll().trimmed().toLongLong(), ::getpid());
    port.close();
    EXPECT_FALSE(QFile::exists(lockFile)) << "given back at close";

    QProcess holder;
    holder.setStandardInputFile(slave);
    holder.start("sleep", {"30"});
    ASSERT_TRUE(holder.waitForStarted());
    EXPECT_EQ(refusal(), QStringLiteral("in use by sleep (process %1)").arg(holder.processId()));
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(refusal(), "opened");
}

TEST_F(PosixPort, WritesReachTheFarEndGiveUpOnAStoppedLineAndMeetAPulledAdapterOnce)
{
    const int far = ::open(slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(far, 0);
    port.open(1);
    port.write("\x01\x02\x03\x04");
    pollfd ready{master, POLLIN, 0};
    char received[8];
    ASSERT_EQ(poll(&ready, 1, 5000), 1);
    EXPECT_EQ(QByteArray(received, int(::read(master, received, sizeof received))), "\x01\x02\x03\x04");

    port.setTimeouts({0, 0, 0, 1, 20});
    ASSERT_EQ(tcflow(far, TCOOFF), 0);
    EXPECT_EQ(failureOf([&] { port.write(QByteArray(4, '\0')); }), PortFailure::TimedOut);
    EXPECT_TRUE(port.isOpen());
    ::close(far);

    // The adapter pulled: closing the master hangs the slave up, and the next write fails as on a
    // vanished device. Reported once; then talking to the chip is a silent no-op.
    ::close(std::exchange(master, -1));
    bus::I2cMaster i2c(port);
    EXPECT_EQ(failureOf([&] { PortControl(port).SendBlock(QByteArray(4, '\0')); }), PortFailure::Gone);
    EXPECT_FALSE(port.isOpen());
    EXPECT_NO_THROW(bus::readRegister(i2c, "0", "00010"));
    EXPECT_EQ(i2c.readValue, 65535);
}

// On a real port the trace cannot see the chip's drive except through DSR: it reads DSR back after every
// line change, so sda is the bus level (a chip pulling SDA shows), and scl follows DTR (asserted = low).
TEST(TracingPort, SdaIsTheBusLevelReadBackAfterEveryLineChange)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("bus.vcd");
    RecordingPort inner;
    const std::vector<bool> asserted{true, false, false, true};
    inner.dsrAnswer = [&, k = std::size_t(0)]() mutable { return asserted.at(k++); };
    {
        TracingPort port(inner, QFile::encodeName(path));
        port.setDtr(true);
        port.setRts(false);
        EXPECT_FALSE(port.dsr());
        port.setDtr(false);
    }
    EXPECT_EQ(inner.requests, "DSrSSdS");
    QFile file(path);
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    // After the header: "#step", then the changes "<level><id>", ! for scl and " for sda.
    EXPECT_TRUE(text.contains("\n$timescale 1us $end\n"));
    EXPECT_EQ(text.mid(text.indexOf("#1\n")), "#1\n0!\n0\"\n#2\n1\"\n#3\n#4\n1!\n0\"\n");
}

} // namespace
