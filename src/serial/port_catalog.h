#pragma once

#include <QList>
#include <QMap>
#include <QString>

namespace serial {

// A serial device the system reports.
struct SerialDevice {
    QString path;        // "/dev/ttyUSB0"
    QString description; // what the user recognises the cable by, for example the adapter's product name
};

// Why a device could not be opened the last time it was tried, kept so the port dialog can explain it.
struct DeviceProblem {
    int port = 0; // COM number
    QString path;
    QString reason; // errno text
    QString group;  // the group that owns the device (for a permission problem), "" when unknown
};

// COMn -> device. An explicit mapping (settings section "Ports", key "COM<n>", value a device path) wins;
// without one, COM1..COM16 go in order to the serial devices the system reports: USB adapters first
// (ttyUSB*, ttyACM*), then ports with a real UART, each kind by number.
class PortCatalog {
public:
    PortCatalog(QMap<int, QString> explicitMap, QList<SerialDevice> systemDevices);

    // What /sys/class/tty reports on this machine. Nothing is opened to find out; the system console is
    // left out so the scan never toggles its modem lines.
    static QList<SerialDevice> scanSystem();

    // "" when COMn maps to nothing.
    QString devicePath(int port) const;
    QString description(int port) const;

    void notePermissionDenied(int port, const QString& path, const QString& reason);
    void clearProblem(int port);
    QList<DeviceProblem> permissionProblems() const;

private:
    QMap<int, QString> explicit_;
    QList<SerialDevice> system_;
    QMap<int, DeviceProblem> denied_;
};

} // namespace serial
