// A USB adapter pulled while the program talks to the chip: a pseudo-terminal plays the adapter, and closing
// its master side hangs the slave up, so the port's next system call fails with EIO as on a vanished device.
#include "bus/device.h"
#include "bus/i2c_master.h"
#include "serial/posix_serial_port.h"
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using serial::PortError;
using serial::PortFailure;
using serial::PosixSerialPort;

namespace {

struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    QString slave = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                        ? QString::fromLocal8Bit(ptsname(master))
                        : QString();
    ~Pty() { pull(); }
    void pull()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
};

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// A pty has no modem lines: while it is there, every line request reaches it and is refused with ENOTTY,
// which leaves the port open. This stand-in for the adapter's lines lets exactly that refusal pass as the
// line having been set, so a transaction can run up to the moment of the pull. Any failure that closes the
// port goes through untouched. The pull happens just before the request with index pullAt.
class AdapterLines : public serial::SerialPort {
public:
    AdapterLines(PosixSerialPort& port, Pty& pty) : port_(port), pty_(pty) {}

    long requests = 0;
    long refusedWhilePresent = 0;
    long pullAt = -1;
    QString refusal;

    void open(int n) override { port_.open(n); }
    void close() override { port_.close(); }
    bool isOpen() const override { return port_.isOpen(); }
    int portNumber() const override { return port_.portNumber(); }
    void setLineSettings(qint32 rate) override { port_.setLineSettings(rate); }
    QString lineSettings() const override { return port_.lineSettings(); }
    void setTimeouts(const serial::Timeouts& t) override { port_.setTimeouts(t); }
    void setRts(bool a) override
    {
        request([&] { port_.setRts(a); });
    }
    void setDtr(bool a) override
    {
        request([&] { port_.setDtr(a); });
    }
    bool dsr() override
    {
        bool asserted = false;
        request([&] { asserted = port_.dsr(); });
        return asserted;
    }
    void write(const QByteArray& bytes) override { port_.write(bytes); }

private:
    template <typename F> void request(F&& f)
    {
        if (requests++ == pullAt)
            pty_.pull();
        try {
            f();
        } catch (const PortError& e) {
            if (!port_.isOpen())
                throw;
            ++refusedWhilePresent;
            refusal = e.reason();
        }
    }

    PosixSerialPort& port_;
    Pty& pty_;
};

void writeChannel(bus::I2cMaster& i2c, int channel)
{
    bus::writeDacRegister(i2c, QStringLiteral("10000000"), QStringLiteral("000001"), bus::writeAddress("0"),
                          QString::number(channel, 2).rightJustified(8, u'0'));
}

} // namespace

TEST(PortPulled, MidTransactionIsReportedOnceAndLaterTransactionsAreSilent)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.isEmpty());
    serial::PortCatalog catalog({{1, pty.slave}}, {});
    PosixSerialPort port(catalog);
    port.open(1);
    AdapterLines lines(port, pty);
    bus::I2cMaster i2c(lines);

    writeChannel(i2c, 0);
    const long perWrite = lines.requests;
    ASSERT_GT(perWrite, 40);
    EXPECT_EQ(lines.refusedWhilePresent, perWrite) << "every request reached the device";
    EXPECT_EQ(lines.refusal, errnoText(ENOTTY));
    EXPECT_TRUE(port.isOpen());

    // Pulled in the middle of channel 3's transaction while all 24 channels are being written.
    lines.pullAt = 3 * perWrite + perWrite / 2;
    int reported = 0;
    for (int channel = 1; channel < 24; ++channel) {
        try {
            writeChannel(i2c, channel);
        } catch (const PortError& e) {
            ++reported;
            EXPECT_EQ(e.kind(), PortFailure::Io);
            EXPECT_EQ(e.reason(), errnoText(EIO)) << e.text().toStdString();
            EXPECT_EQ(channel, 3);
            EXPECT_EQ(lines.requests, lines.pullAt + 1) << "the transaction stops at the failing request";
        }
    }
    EXPECT_EQ(reported, 1);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(lines.requests, 3 * perWrite + perWrite / 2 + 1 + 20 * perWrite) << "later ones ran to the end";

    // The rest of the program goes on without the device: reads, a reset, the time-outs.
    bus::I2cMaster direct(port);
    EXPECT_NO_THROW(bus::readRegister(direct, "0", "00000"));
    EXPECT_NO_THROW(bus::resetChip(direct));
    serial::SerialLink link(port);
    EXPECT_NO_THROW(link.SetPortTimeouts(9600));
}

// The trigger block is stuck behind a stopped line when the adapter goes: the waiting write wakes up and
// reports the device gone instead of waiting out its time-out.
TEST(PortPulled, WhileTheTriggerBlockWaitsForTheLine)
{
    Pty pty;
    ASSERT_FALSE(pty.slave.isEmpty());
    const int slave = ::open(pty.slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    serial::PortCatalog catalog({{1, pty.slave}}, {});
    PosixSerialPort port(catalog);
    port.open(1);
    port.setTimeouts({0, 0, 0, 0, 60000});
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);

    serial::SerialLink link(port);
    link.TxBuffer[1] = 1;
    // Whether the pull lands before the write or while it waits, the device is gone by then.
    std::thread puller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.pull();
    });
    int reported = 0;
    try {
        link.SendTxBytes(1);
    } catch (const PortError& e) {
        ++reported;
        EXPECT_EQ(e.kind(), PortFailure::Io) << e.text().toStdString();
        EXPECT_EQ(e.reason(), errnoText(EIO));
    }
    puller.join();
    ::close(slave);
    EXPECT_EQ(reported, 1);
    EXPECT_FALSE(port.isOpen());

    bus::I2cMaster i2c(port);
    EXPECT_NO_THROW(writeChannel(i2c, 5));
    EXPECT_NO_THROW(bus::readBankStatusWord(i2c, "0"));
    EXPECT_FALSE(port.dsr());
}
