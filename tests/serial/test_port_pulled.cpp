// A USB adapter pulled while the program talks to the chip: a pseudo-terminal plays the adapter, and closing
// its master side hangs the slave up, so the port's next system call fails with EIO as on a vanished device.
#include "bus/device.h"
#include "serial/posix_serial_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(PortPulled, ReportedOnceThenTheProgramGoesOnWithoutThePort)
{
    for (const bool duringTrigger : {false, true}) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        serial::PortCatalog catalog({{1, QString::fromLocal8Bit(ptsname(master))}}, {});
        serial::PosixSerialPort port(catalog);
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
                EXPECT_EQ(e.kind(), serial::PortFailure::Io) << e.text().toStdString();
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
