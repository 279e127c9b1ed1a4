#include "serial/posix_serial_port.h"
#include "serial/serial_link.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using serial::PortError;
using serial::PortFailure;
using serial::PosixSerialPort;

namespace {

// A pseudo-terminal stands in for the device: the port opens its slave, the master is the far end.
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    QString slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                        ? QString::fromLocal8Bit(ptsname(master))
                        : QString();
    ~Pty() { closeMaster(); }
    void closeMaster() { master >= 0 && ::close(master), master = -1; }
    termios line() const
    {
        termios tio{};
        EXPECT_EQ(tcgetattr(master, &tio), 0);
        return tio;
    }
};

PortFailure failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const PortError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no PortError thrown";
    return PortFailure::Io;
}

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(pty.slave.isEmpty()); }
    Pty pty;
    serial::PortCatalog catalog{{{1, pty.slave}, {2, "/nonexistent/ttyUSB9"}, {3, "/dev/null"}}, {}};
    PosixSerialPort port{catalog};
};

} // namespace

TEST_F(PosixPortTest, OpensRaw8N1AtTheRateSetWhileClosed)
{
    port.setLineSettings(9600);
    port.open(1);
    EXPECT_EQ(port.lineSettings(), "9600,N,8,1");
    const termios tio = pty.line();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B9600));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(PosixPortTest, RejectedRateKeepsThePreviousSettingsOpenOrClosed)
{
    port.setLineSettings(19200);
    EXPECT_EQ(failureOf([&] { port.setLineSettings(0); }), PortFailure::Rejected);
    port.open(1);
    EXPECT_EQ(failureOf([&] { port.setLineSettings(-9600); }), PortFailure::Rejected);
    EXPECT_EQ(port.lineSettings(), "19200,N,8,1");
    const termios tio = pty.line();
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));

    // 28800 has no termios constant; the dialog offers it all the same.
    port.setLineSettings(28800);
    EXPECT_EQ(port.lineSettings(), "28800,N,8,1");
}

TEST_F(PosixPortTest, TriggerBlockArrivesAtTheFarEnd)
{
    serial::SerialLink link(port);
    link.TxBuffer[1] = 0x01;
    EXPECT_EQ(failureOf([&] { link.SendTxBytes(1); }), PortFailure::CannotUse) << "port not open yet";

    port.open(1);
    link.SendTxBytes(1);
    QByteArray received;
    pollfd ready{pty.master, POLLIN, 0};
    char buf[16];
    while (received.size() < 4 && poll(&ready, 1, 5000) == 1)
        received.append(buf, std::max<ssize_t>(0, ::read(pty.master, buf, sizeof buf)));
    EXPECT_EQ(received, QByteArray("\x01\x00\x00\x00", 4));
}

TEST_F(PosixPortTest, OpenFailuresAreToldApart)
{
    PosixSerialPort other(catalog);
    port.open(1);
    EXPECT_EQ(failureOf([&] { other.open(1); }), PortFailure::AlreadyOpen);
    port.close();
    other.open(1);
    EXPECT_TRUE(other.isOpen()) << "released by close";

    for (int n : {2, 3, 9}) {
        EXPECT_EQ(failureOf([&] { port.open(n); }), PortFailure::CannotUse) << "COM" << n;
        EXPECT_FALSE(port.isOpen());
    }
}

TEST(PosixPortRights, DeviceWithoutRightsIsRememberedForTheDialog)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens anything";
    QTemporaryDir dir;
    const QString path = dir.filePath("ttyUSB0");
    ASSERT_EQ(::close(::open(path.toLocal8Bit().constData(), O_CREAT | O_WRONLY, 0)), 0);
    serial::PortCatalog catalog({{1, path}}, {});
    PosixSerialPort port(catalog);
    EXPECT_EQ(failureOf([&] { port.open(1); }), PortFailure::PermissionDenied);
    ASSERT_EQ(catalog.permissionProblems().size(), 1);
    EXPECT_EQ(catalog.permissionProblems().first().path, path);
    EXPECT_EQ(catalog.permissionProblems().first().group,
              QString::fromLocal8Bit(getgrgid(getegid())->gr_name));
}

TEST_F(PosixPortTest, WriteGivesUpWhenTheLineStaysStopped)
{
    const int slave = ::open(pty.slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    port.open(1);
    port.setTimeouts({0, 0, 0, 1, 20});
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    EXPECT_EQ(failureOf([&] { port.write(QByteArray(4, '\0')); }), PortFailure::TimedOut);
    EXPECT_TRUE(port.isOpen());
    ::close(slave);
}

// A pty has no modem lines: the refusal is reported, but the device is still there.
TEST_F(PosixPortTest, LineRequestsAreSilentWhileClosedAndReportedWhenRefused)
{
    EXPECT_NO_THROW(port.setRts(true));
    EXPECT_NO_THROW(port.setDtr(true));
    EXPECT_FALSE(port.dsr());
    port.open(1);
    EXPECT_EQ(failureOf([&] { port.setRts(true); }), PortFailure::Io);
    EXPECT_TRUE(port.isOpen());
}

// Closing the master hangs the slave up, as pulling a USB adapter does.
TEST(PosixPortVanished, FailureIsReportedOnceThenThePortIsClosed)
{
    const std::pair<const char*, std::function<void(PosixSerialPort&)>> firstRequests[] = {
        {"setRts", [](PosixSerialPort& p) { p.setRts(true); }},
        {"setDtr", [](PosixSerialPort& p) { p.setDtr(false); }},
        {"dsr", [](PosixSerialPort& p) { p.dsr(); }},
        {"write", [](PosixSerialPort& p) { p.write(QByteArray(4, '\0')); }},
    };
    for (const auto& [name, request] : firstRequests) {
        Pty pty;
        serial::PortCatalog catalog({{1, pty.slave}}, {});
        PosixSerialPort port(catalog);
        port.open(1);
        pty.closeMaster();
        EXPECT_EQ(failureOf([&] { request(port); }), PortFailure::Io) << name;
        EXPECT_FALSE(port.isOpen()) << name;
        EXPECT_NO_THROW(port.setRts(false)) << name;
        EXPECT_FALSE(port.dsr()) << name;
    }
}
