// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "serial/port_catalog.h"
#include "serial/posix_serial_port.h"
#include "serial/serial_link.h"
#include "serial/tracing_port.h"

#include "support/recording_port.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <set>
#include <termios.h>
#include <unistd.h>

using namespace serial;

namespace {

TEST(PortCatalog, ExplicitEntriesWinThenUsbAdaptersThenUartsEachByNumber)
{
    const QList<SerialDevice> system{{"/fake/ttyS1", "serial"},
                                     {"/fake/ttyACM0", "cdc_acm"},
                                     {"/fake/ttyUSB10", "FT232R"},
                                     {"/fake/ttyUSB2", "CP2102"},
                                     {"/fake/ttyS0", "serial"}};
    const PortCatalog catalog({{2, "/fake/pts/9"}, {5, "/fake/ttyUSB2"}}, system);
    QStringList ports;
    for (int n = 0; n <= 7; ++n)
        ports << catalog.devicePath(n);
    EXPECT_EQ(ports.join(' '),
              " /fake/ttyUSB10 /fake/pts/9 /fake/ttyACM0 /fake/ttyS0 /fake/ttyUSB2 /fake/ttyS1 ");
    EXPECT_EQ(catalog.description(5), "CP2102");

    // A mapping through a stable link names the same adapter: it is not listed a second time.
    QTemporaryDir dir;
    QFile(dir.filePath("ttyUSB0")).open(QIODevice::WriteOnly);
    QFile::link(dir.filePath("ttyUSB0"), dir.filePath("by-id"));
    const PortCatalog linked({{3, dir.filePath("by-id")}}, {{dir.filePath("ttyUSB0"), "FT232R"}});
    EXPECT_EQ(linked.devicePath(1), "");
    EXPECT_EQ(linked.description(3), "FT232R");
}

// A miniature /sys: a USB adapter below a root hub, and UARTs with and without hardware, one the console.
TEST(PortCatalog, SysfsScanKeepsRealPortsAndLeavesOutTheConsole)
{
    QTemporaryDir sys;
    const QString files = "usb1/idVendor=1d6b;usb1/product=xHCI Host Controller;usb1/1-1/idVendor=0403;"
                          "usb1/1-1/product=FT232R USB UART;usb1/1-1/manufacturer=FTDI;tty/ttyS0/type=4;"
                          "tty/ttyS1/type=4;tty/ttyS2/type=0;tty/console/active=tty0 ttyS0";
    for (const QString& entry : files.split(';')) {
        QFile file(sys.filePath(entry.section('=', 0, 0)));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) &&
                    file.write(entry.section('=', 1).toUtf8()));
    }
    const QString links = "tty/ttyUSB0/device>usb1/1-1/1-1:1.0;pnp0/driver>drivers/serial;"
                          "tty/ttyS0/device>pnp0;tty/ttyS1/device>pnp0;tty/ttyS2/device>pnp0";
    for (const QString& entry : links.split(';')) {
        const QString path = sys.filePath(entry.section('>', 0, 0)),
                      target = sys.filePath(entry.section('>', 1));
        ASSERT_TRUE(QDir().mkpath(target) && QDir().mkpath(QFileInfo(path).path()) &&
                    QFile::link(target, path))
            << qPrintable(path);
    }

    QMap<QString, QString> found; // device name -> description
    for (const SerialDevice& device : PortCatalog::scanSysfs(sys.filePath("tty")))
        found.insert(device.path.section("/dev/", 1), device.description); // "" unless below /dev/
    EXPECT_EQ(found, (QMap<QString, QString>{{"ttyUSB0", "FTDI FT232R USB UART"}, {"ttyS1", "serial"}}));
}

// Ports that exist and ports another program holds; counts what the link did.
struct FakePort : RecordingPort {
    std::set<int> present, heldElsewhere;
    int opens = 0;
    std::optional<Timeouts> timeouts;

    FakePort() { RecordingPort::close(); }
    bool exists(int n) const override { return present.count(n) || heldElsewhere.count(n); }
    void open(int n) override
    {
        ++opens;
        if (heldElsewhere.count(n))
            throw PortError(PortFailure::AlreadyOpen, "open", "Device or resource busy");
        if (!present.count(n))
            throw PortError(PortFailure::CannotUse, "open", "No such file or directory");
        RecordingPort::open(n);
    }
    void setTimeouts(const Timeouts& t) override { timeouts = t; }
};

// Opening a tty raises its modem lines, which resets many boards: the scan lists what exists, opens nothing
// and leaves the port in use alone.
TEST(SerialLink, ScanListsTheDevicesThatExistWithoutOpeningAny)
{
    FakePort port;
    port.present = {1, 3};
    port.heldElsewhere = {12};
    SerialLink link(port);
    link.EnumerateComPorts();
    EXPECT_EQ(link.PortList, QStringList({"COM1", "COM3", "COM12"}));
    EXPECT_EQ(link.PortCount, 3);
    for (int n = 0; n <= 16; ++n)
        EXPECT_EQ(link.PortAvailable[n], n == 1 || n == 3 || n == 12) << n;
    EXPECT_EQ(port.opens, 0);

    port.open(3);
    link.EnumerateComPorts();
    EXPECT_EQ(port.opens, 1);
    EXPECT_TRUE(port.isOpen() && port.portNumber() == 3);
    EXPECT_EQ(port.requests, "");
}

TEST(SerialLink, OpenSelectedPortWaitsForAnAvailablePortAndOpensItWithTheRateAndItsTimeouts)
{
    FakePort port;
    port.heldElsewhere = {2};
    port.present = {3};
    SerialLink link(port);
    link.EnumerateComPorts();
    link.PortNumber = 2;
    link.BitRate = 9600;
    link.OpenSelectedPort();
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(link.PortAvailable[2]) << "held elsewhere: unavailable for the rest of the run";
    const int opens = port.opens;
    link.OpenSelectedPort(); // gives up without trying
    EXPECT_EQ(port.opens, opens);

    QTimer::singleShot(0, [&] { link.PortNumber = 3; }); // as the port dialog does, inside the wait
    link.OpenSelectedPort();
    EXPECT_TRUE(port.isOpen() && port.portNumber() == 3);
    EXPECT_EQ(port.lineSettings(), "9600,N,8,1");
    EXPECT_EQ(port.timeouts, (Timeouts{1, 1, 1000, 1, 1000}));
}

TEST(SerialLink, CharacterTimeIsRoundedHalfToEven)
{
    const std::pair<qint32, float> times[] = {{4800, 2}, {9600, 1},  {19200, 1}, {28800, 0},
                                              {4000, 2}, {1, 10000}, {0, 0},     {-9600, 0}};
    for (const auto& [rate, ms] : times)
        EXPECT_EQ(SerialLink::CharacterTimeMs(rate), ms) << rate;
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
    void SetUp() override { ASSERT_FALSE(slave.isEmpty()); }
    ~PosixPort() override { ::close(master); }

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    QString slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                        ? QString::fromLocal8Bit(ptsname(master))
                        : QString();
    QTemporaryDir scratch;
    QString notATerminal = [this] {
        QFile file(scratch.filePath("plain"));
        file.open(QIODevice::WriteOnly);
        return file.fileName();
    }();
    PortCatalog catalog{{{1, slave}, {2, "/nonexistent/usb-fake-9"}, {3, notATerminal}}, {}};
    PosixSerialPort port{catalog, scratch.path()};
};

TEST_F(PosixPort, OpensRaw8N1AtTheRateAndARejectedRateKeepsThePrevious)
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
}

TEST_F(PosixPort, OpenFailuresAreToldApart)
{
    PosixSerialPort other(catalog, scratch.path());
    port.open(1);
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

TEST_F(PosixPort, TriggerBlockArrivesAtTheFarEndAndAWriteGivesUpWhenTheLineStaysStopped)
{
    SerialLink link(port);
    link.TxBuffer[1] = 0x01;
    EXPECT_EQ(failureOf([&] { link.SendTxBytes(1); }), PortFailure::CannotUse) << "port not open yet";
    const int far = ::open(slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(far, 0);
    port.open(1);
    link.SendTxBytes(1);
    link.SendTxBytes(0);
    QByteArray received;
    pollfd ready{master, POLLIN, 0};
    char buf[16];
    while (received.size() < 8 && poll(&ready, 1, 5000) == 1)
        received.append(buf, std::max<ssize_t>(0, ::read(master, buf, sizeof buf)));
    EXPECT_EQ(received, QByteArray::fromHex("01000000"
                                            "00000000")); // four bytes whatever the count

    port.setTimeouts({0, 0, 0, 1, 20});
    ASSERT_EQ(tcflow(far, TCOOFF), 0);
    EXPECT_EQ(failureOf([&] { port.write(QByteArray(4, '\0')); }), PortFailure::TimedOut);
    EXPECT_TRUE(port.isOpen());
    ::close(far);
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
    EXPECT_TRUE(text.startsWith("$timescale 1us $end"));
    EXPECT_EQ(text.mid(text.indexOf("#1\n")), "#1\n0!\n0\"\n#2\n1\"\n#3\n#4\n1!\n0\"\n");
}

// A USB adapter pulled while the program talks to the chip: a pseudo-terminal plays the adapter, and closing
// its master side hangs the slave up, so the port's next system call fails with EIO as on a vanished device.
TEST(PortPulled, ReportedOnceThenTheProgramGoesOnWithoutThePort)
{
    for (const bool duringTrigger : {false, true}) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        serial::PortCatalog catalog({{1, QString::fromLocal8Bit(ptsname(master))}}, {});
        QTemporaryDir locks;
        serial::PosixSerialPort port(catalog, locks.path());
        port.open(1);
        ::close(master);

        bus::I2cMaster i2c(port);
        int reported = 0;
        const auto run = [&] {
            try {
                if (duringTrigger)
                    port.write(QByteArray("\x01\x00\x00\x00", 4));
                else
                    bus::writeDacRegister(i2c, "10100101", "00000010", "11101000", "00000010");
            } catch (const serial::PortError& e) {
                ++reported;
                EXPECT_EQ(e.kind(), serial::PortFailure::Gone) << e.text().toStdString();
            }
        };
        run();
        EXPECT_EQ(reported, 1) << duringTrigger;
        EXPECT_FALSE(port.isOpen());
        // Everything after it that talks to the chip is a silent no-op: no report per request, no hang.
        EXPECT_NO_THROW(bus::readRegister(i2c, "0", "00010"));
        EXPECT_EQ(i2c.readValue, 65535);
        EXPECT_NO_THROW(bus::resetChip(i2c));
    }
}

} // namespace
