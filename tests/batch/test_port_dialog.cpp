#include "serial/port_catalog.h"
#include "serial/port_dialog.h"
#include "serial/serial_link.h"
#include "support/recording_port.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTemporaryFile>
#include <QTest>

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

using Opens = std::vector<std::pair<int, QString>>;

// Opens succeed only for the numbers present, each noted with the line settings it was made with.
class FakePort : public RecordingPort {
public:
    QSet<int> present;
    Opens opens;

    void open(int n) override
    {
        if (!present.contains(n))
            throw serial::PortError(serial::PortFailure::CannotUse, "open", "No such file or directory");
        RecordingPort::open(n);
        opens.emplace_back(n, lineSettings());
    }
};

class PortDialogTest : public ::testing::Test {
protected:
    // The start-up scan over the ports present, then the stored selection.
    serial::PortDialog& open(QSet<int> ports, qint16 portNumber, qint32 bitRate,
                             const serial::PortCatalog* catalog = nullptr)
    {
        port.present = std::move(ports);
        link.EnumerateComPorts();
        link.PortNumber = portNumber;
        link.BitRate = bitRate;
        port.opens.clear();
        dialog = std::make_unique<serial::PortDialog>(link, catalog, &parent);
        return *dialog;
    }

    FakePort port;
    serial::SerialLink link{port};
    QWidget parent;
    std::unique_ptr<serial::PortDialog> dialog;
};

TEST_F(PortDialogTest, OpeningPreselectsTheStoredPortAndRateAndReopensOncePerList)
{
    auto& d = open({1, 3}, 3, 9600);
    EXPECT_EQ(d.windowTitle(), "COM Port Setup");
    ASSERT_EQ(d.comboComPort()->count(), 2);
    EXPECT_EQ(d.comboComPort()->itemText(0), "COM1");
    EXPECT_EQ(d.comboComPort()->currentText(), "COM3");
    ASSERT_EQ(d.comboBitRate()->count(), 5);
    EXPECT_EQ(d.comboBitRate()->itemText(4), "38400");
    EXPECT_EQ(d.comboBitRate()->currentText(), "9600");
    EXPECT_EQ(d.statusLabel()->text(), "");
    EXPECT_EQ(port.opens, Opens({{3, "9600,N,8,1"}, {3, "9600,N,8,1"}}));
    // Without a catalog (simulation) only COM1 has a device to name.
    EXPECT_EQ(d.deviceLabel()->text(), "");

    d.show();
    d.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
    d.comboComPort()->setFocus();
    for (QWidget* next : {(QWidget*)d.cancelButton(), (QWidget*)d.okButton(), (QWidget*)d.comboBitRate(),
                          (QWidget*)d.comboComPort()}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
    for (QWidget* child : d.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(d.rect().contains(child->geometry())) << child->objectName().toStdString();

    // Rate 0 (nothing stored) becomes 9600; a rate not in the list is kept but not selected.
    EXPECT_EQ(open({1}, 1, 0).comboBitRate()->currentText(), "9600");
    EXPECT_EQ(dialog->deviceLabel()->text(), "Simulated board");
    EXPECT_EQ(open({1}, 1, 14400).comboBitRate()->currentIndex(), -1);
    EXPECT_EQ(link.BitRate, 14400);
    EXPECT_EQ(port.opens.size(), 1u);
}

TEST_F(PortDialogTest, AStoredPortNotFoundOrNotChosenIsExplainedAndNothingIsSelected)
{
    const struct {
        QSet<int> ports;
        qint16 number;
        QString status;
    } cases[] = {
        {{1, 3}, 2, "COM2 is unavailable. Please select a different port."},
        {{1, 3}, 0, "Please select a COM port."},
        {{}, 5, "COM5 is unavailable. Please select a different port."},
        {{}, 0, "Please select a COM port."},
    };
    for (const auto& c : cases) {
        auto& d = open(c.ports, c.number, 19200);
        EXPECT_EQ(d.comboComPort()->count(), c.ports.size());
        EXPECT_EQ(d.comboComPort()->currentIndex(), -1);
        EXPECT_EQ(d.statusLabel()->text(), c.status);
        EXPECT_EQ(d.comboBitRate()->currentText(), "19200");
        // The rate pick reopens only a port that is available; the others are given up silently.
        EXPECT_TRUE(port.opens.empty());
    }
}

TEST_F(PortDialogTest, PicksApplyAtOnceAndCancelKeepsThem)
{
    serial::PortCatalog catalog({{12, "/dev/ttyUSB0"}}, {{"/dev/ttyUSB0", "FT232R USB UART"}});
    auto& d = open({1, 3, 12}, 1, 9600, &catalog);
    d.show();
    port.opens.clear();

    QTest::keyClick(d.comboComPort(), Qt::Key_End);
    EXPECT_EQ(link.PortNumber, 12);
    EXPECT_TRUE(d.deviceLabel()->text().contains("/dev/ttyUSB0"));
    EXPECT_TRUE(d.deviceLabel()->text().contains("FT232R USB UART"));
    QTest::keyClick(d.comboBitRate(), Qt::Key_Down);
    EXPECT_EQ(link.BitRate, 19200);
    const Opens reopened{{12, "9600,N,8,1"}, {12, "19200,N,8,1"}};
    EXPECT_EQ(port.opens, reopened);

    QTest::mouseClick(d.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(link.PortNumber, 12);
    EXPECT_EQ(link.BitRate, 19200);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.opens, reopened);
}

TEST_F(PortDialogTest, ADeviceLeftOutForWantOfPermissionIsNamedWithTheWayToAccess)
{
    // The group is looked up from the device node; any file stands in for it.
    QTemporaryFile node;
    ASSERT_TRUE(node.open());
    serial::PortCatalog catalog({}, {});
    catalog.notePermissionDenied(4, node.fileName(), "Permission denied");

    const QString status = open({1}, 4, 9600, &catalog).statusLabel()->text();
    EXPECT_TRUE(status.startsWith("COM4 is unavailable. Please select a different port.\n"));
    EXPECT_TRUE(status.contains(node.fileName()));
    EXPECT_TRUE(status.contains(QString::fromLocal8Bit(::getgrgid(::getegid())->gr_name)));
    EXPECT_TRUE(status.contains("log out and in again"));
}

} // namespace
