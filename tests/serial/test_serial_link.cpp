#include "serial/serial_link.h"
#include "support/recording_port.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <set>

using serial::PortError;
using serial::PortFailure;
using serial::SerialLink;

namespace {

// Ports that exist and ports another program holds; counts what the link did.
struct FakePort : RecordingPort {
    std::set<int> present, heldElsewhere;
    int opens = 0, closes = 0;
    std::optional<serial::Timeouts> timeoutsSet;

    FakePort() { RecordingPort::close(); }
    void open(int n) override
    {
        ++opens;
        if (heldElsewhere.count(n))
            throw PortError(PortFailure::AlreadyOpen, "open", "Device or resource busy");
        if (!present.count(n))
            throw PortError(PortFailure::CannotUse, "open", "No such file or directory");
        RecordingPort::open(n);
    }
    void close() override { ++closes, RecordingPort::close(); }
    void setTimeouts(const serial::Timeouts& t) override { timeoutsSet = t; }
};

std::set<int> availablePorts(const SerialLink& link)
{
    std::set<int> ports;
    for (int n = 0; n <= 16; ++n)
        if (link.PortAvailable[n])
            ports.insert(n);
    return ports;
}

} // namespace

TEST(SerialLinkScan, ListsPortsThatOpenOrAreHeldElsewhere)
{
    const std::tuple<std::set<int>, std::set<int>, QStringList> cases[] = {
        {{1, 3}, {}, {"COM1", "COM3"}},
        {{10, 16}, {12}, {"COM10", "COM12", "COM16"}},
        {{}, {}, {}},
    };
    for (const auto& [present, held, list] : cases) {
        FakePort port;
        port.present = present;
        port.heldElsewhere = held;
        SerialLink link(port);
        link.EnumerateComPorts();
        EXPECT_EQ(link.PortList, list);
        EXPECT_EQ(link.PortCount, list.size());
        std::set<int> expected = present;
        expected.insert(held.begin(), held.end());
        EXPECT_EQ(availablePorts(link), expected);
        EXPECT_FALSE(port.isOpen());
    }

    FakePort port;
    port.present = {2, 5};
    SerialLink link(port);
    link.PortNumber = 5;
    port.open(5);
    link.EnumerateComPorts();
    EXPECT_TRUE(port.isOpen() && port.portNumber() == 5) << "the open port is restored";
}

TEST(SerialLinkOpen, PortHeldElsewhereBecomesUnavailableAndIsNotTriedAgain)
{
    FakePort port;
    port.heldElsewhere = {2};
    SerialLink link(port);
    link.EnumerateComPorts();
    link.PortNumber = 2;
    link.BitRate = 9600;
    link.OpenSelectedPort();
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(link.PortAvailable[2]);
    EXPECT_FALSE(link.lastFailure().has_value());

    const int opensBefore = port.opens;
    link.OpenSelectedPort();
    EXPECT_EQ(port.opens, opensBefore);
}

TEST(SerialLinkOpen, OpenPortIsClosedAndReopenedWithTimeoutsFromTheRate)
{
    FakePort port;
    port.present = {4};
    SerialLink link(port);
    link.EnumerateComPorts();
    link.PortNumber = 4;
    link.BitRate = 9600;
    link.OpenSelectedPort();
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.lineSettings(), "9600,N,8,1");
    EXPECT_EQ(port.timeoutsSet, (serial::Timeouts{1, 1, 1000, 1, 1000}));

    const int closesBefore = port.closes, opensBefore = port.opens;
    EXPECT_TRUE(link.fncInitializeComPort(link.BitRate, link.PortNumber));
    EXPECT_EQ(port.closes, closesBefore + 1);
    EXPECT_EQ(port.opens, opensBefore + 1);

    link.BitRate = 38400;
    link.OpenSelectedPort();
    EXPECT_EQ(port.timeoutsSet, (serial::Timeouts{0, 0, 1000, 0, 1000}));
    port.timeoutsSet.reset();
    link.SetPortTimeouts(0);
    link.SetPortTimeouts(-5);
    EXPECT_FALSE(port.timeoutsSet.has_value());
}

TEST(SerialLinkOpen, PortNumbersOutsideTheTableAreNeverMarkedOrOpened)
{
    FakePort port;
    port.heldElsewhere = {-1, 0, 17, 300};
    SerialLink link(port);
    link.PortAvailable.fill(true);
    for (qint16 n : {-1, 0, 17, 300}) {
        qint32 rate = 9600;
        EXPECT_FALSE(link.fncInitializeComPort(rate, n));
    }
    EXPECT_EQ(availablePorts(link).size(), 17u);

    const int opensBefore = port.opens;
    for (qint16 n : {-1, 17, 300}) {
        link.PortNumber = n;
        link.OpenSelectedPort();
    }
    EXPECT_EQ(port.opens, opensBefore);
}

// The port dialog changes PortNumber from an event that runs inside the wait.
TEST(SerialLinkOpen, WaitFollowsAPortNumberChangedWhileWaiting)
{
    FakePort port;
    port.present = {3};
    SerialLink link(port);
    link.EnumerateComPorts();
    link.PortNumber = 7;
    link.BitRate = 9600;
    QTimer::singleShot(0, [&] { link.PortNumber = 3; });
    link.OpenSelectedPort();
    EXPECT_TRUE(port.isOpen() && port.portNumber() == 3);
}

TEST(SerialLink, CharacterTimeIsRoundedHalfToEven)
{
    const std::pair<qint32, float> table[] = {{4800, 2}, {9600, 1},  {19200, 1}, {28800, 0}, {38400, 0},
                                              {4000, 2}, {1, 10000}, {0, 0},     {-9600, 0}};
    for (const auto& [rate, ms] : table)
        EXPECT_EQ(SerialLink::CharacterTimeMs(rate), ms) << rate;
}

TEST(SerialLink, TriggerBlockIsAlwaysFourBytes)
{
    const std::pair<qint16, QByteArray> table[] = {
        {1, QByteArray("\x01\x00\x00\x00", 4)},
        {0, QByteArray(4, '\0')},
        {4, QByteArray("\x01\x02\x03\x04", 4)},
        {9, QByteArray("\x01\x02\x03\x04", 4)},
        {-3, QByteArray(4, '\0')},
    };
    for (const auto& [count, block] : table) {
        FakePort port;
        SerialLink link(port);
        link.TxBuffer = {0x7f, 1, 2, 3, 4, 5, 6};
        link.SendTxBytes(count);
        EXPECT_EQ(port.written, block) << count;
    }
}
