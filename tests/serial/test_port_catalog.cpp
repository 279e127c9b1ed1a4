#include "serial/port_catalog.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using serial::PortCatalog;
using serial::SerialDevice;

TEST(PortCatalog, ExplicitEntriesWinAndSystemDevicesFillTheRestByKindAndNumber)
{
    const QList<SerialDevice> system{{"/dev/ttyS1", "serial"},
                                     {"/dev/ttyACM0", "cdc_acm"},
                                     {"/dev/ttyUSB10", "FT232R"},
                                     {"/dev/ttyUSB2", "CP2102"},
                                     {"/dev/ttyS0", "serial"}};
    const PortCatalog catalog({{2, "/dev/pts/9"}, {5, "/dev/ttyUSB2"}}, system);
    const QStringList expected{"",           "/dev/ttyUSB10", "/dev/pts/9", "/dev/ttyACM0",
                               "/dev/ttyS0", "/dev/ttyUSB2",  "/dev/ttyS1", ""};
    for (int port = 0; port < expected.size(); ++port)
        EXPECT_EQ(catalog.devicePath(port), expected[port]) << "COM" << port;
    EXPECT_EQ(catalog.description(5), "CP2102");

    QList<SerialDevice> many;
    for (int i = 0; i < 20; ++i)
        many.append({QStringLiteral("/dev/ttyUSB%1").arg(i), {}});
    const PortCatalog full({}, many);
    EXPECT_EQ(full.devicePath(16), "/dev/ttyUSB15");
    EXPECT_EQ(full.devicePath(17), "");
}

// A miniature /sys: USB adapters with and without a product name, UARTs with and without hardware, consoles.
TEST(PortCatalog, SysfsScanKeepsRealPortsAndLeavesOutTheConsole)
{
    QTemporaryDir sys;
    const QString s = sys.path();
    const auto write = [](const QString& path, const QByteArray& text) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    };
    const auto makeLink = [](const QString& target, const QString& linkPath) {
        QDir().mkpath(target);
        QDir().mkpath(QFileInfo(linkPath).path());
        ASSERT_TRUE(QFile::link(target, linkPath)) << qPrintable(linkPath);
    };
    const QString usb = s + "/devices/pci0/usb1";
    write(usb + "/idVendor", "1d6b\n");
    write(usb + "/product", "xHCI Host Controller\n");
    write(usb + "/1-1/idVendor", "0403\n");
    write(usb + "/1-1/product", "FT232R USB UART\n");
    write(usb + "/1-1/manufacturer", "FTDI\n");
    makeLink(usb + "/1-1/1-1:1.0/ttyUSB0", s + "/class/tty/ttyUSB0/device");
    write(usb + "/1-2/idVendor", "2341\n");
    makeLink(s + "/drivers/cdc_acm", usb + "/1-2/1-2:1.0/driver");
    makeLink(usb + "/1-2/1-2:1.0", s + "/class/tty/ttyACM0/device");

    const QString pnp = s + "/devices/pnp0/00:00";
    makeLink(s + "/bus/pnp/drivers/serial", pnp + "/driver");
    makeLink(s + "/bus/serial-base/drivers/port", pnp + "/00:00:0/00:00:0.0/driver");
    for (const auto& [name, type, hasDriver] : {std::tuple{"ttyS0", "4", true},
                                                {"ttyS1", "4", true},
                                                {"ttyS2", "0", true},
                                                {"ttyS3", "4", false},
                                                {"ttyS4", "4", true}}) {
        write(s + "/class/tty/" + name + "/type", type);
        makeLink(hasDriver ? pnp + "/00:00:0/00:00:0.0" : s + "/devices/platform/" + name,
                 s + "/class/tty/" + name + "/device");
    }
    write(s + "/class/tty/ttyS4/console", "Y\n");
    write(s + "/class/tty/console/active", "tty0 ttyS0\n");
    QDir().mkpath(s + "/class/tty/tty1");

    QMap<QString, QString> found;
    for (const SerialDevice& device : PortCatalog::scanSysfs(s + "/class/tty"))
        found.insert(device.path, device.description);
    const QMap<QString, QString> expected{
        {"/dev/ttyUSB0", "FTDI FT232R USB UART"}, {"/dev/ttyACM0", "cdc_acm"}, {"/dev/ttyS1", "serial"}};
    EXPECT_EQ(found, expected);
}
