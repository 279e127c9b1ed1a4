// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <stdexcept>

namespace serial {

// The kinds of failure a port reports. Opening must tell AlreadyOpen apart from the rest, and the port
// dialog wants to know when a device exists but the user lacks the rights to open it.
enum class PortFailure {
    AlreadyOpen,      // held by another process (UUCP lock, flock, EBUSY, or seen open in /proc)
    CannotUse,        // no such device, not a tty, vanished
    PermissionDenied, // exists, but the user may not open it
    Rejected,         // a setting the device refused (for example a bit rate)
    Io,               // a line request or a write failed on an open port
    Gone,             // the device vanished (a USB adapter pulled); the port is closed
    TimedOut,         // a write did not drain within its time-out
};

// One error type for every port failure: what was being done, and why it failed (the errno text on POSIX).
class PortError : public std::runtime_error {
public:
    PortError(PortFailure kind, const QString& operation, const QString& reason);

    PortFailure kind() const { return kind_; }
    const QString& operation() const { return operation_; }
    const QString& reason() const { return reason_; }
    // "operation: reason", for a message box.
    QString text() const;

private:
    PortFailure kind_;
    QString operation_;
    QString reason_;
};

// The operating system's time-out record, all in milliseconds. Only the write fields matter to us: the
// program never reads characters from the port.
struct Timeouts {
    quint32 readInterval = 0;
    quint32 readTotalMultiplier = 0;
    quint32 readTotalConstant = 0;
    quint32 writeTotalMultiplier = 0;
    quint32 writeTotalConstant = 0;
    bool operator==(const Timeouts&) const = default;
};

// The port object. One call of setRts/setDtr/dsr/dsrInto is one line request: implementations issue
// exactly one operation on the device per call (or, batching, one byte of a transfer), and never read the
// line state on their own. Every failure is thrown as
// PortError. While no port is open the three line requests do nothing and return at once (DSR reads as not
// asserted): the bus runs at start-up even when no port could be opened.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens port number n ("COM" + n). Raw 8-bit line without handshaking, with the current line settings.
    virtual void open(int portNumber) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual int portNumber() const = 0;
    // Whether port number n names a device, found without opening anything: opening a tty raises its
    // modem lines, which resets many boards on other ports.
    virtual bool exists(int portNumber) const = 0;

    // 8N1 at the given rate. Takes effect at once on an open port and at the next open otherwise. A rate
    // the device rejects throws Rejected and leaves the previous settings in force.
    virtual void setLineSettings(qint32 bitRate) = 0;
    // "9600,N,8,1"
    virtual QString lineSettings() const = 0;
    // Applies to the open port; does nothing while closed.
    virtual void setTimeouts(const Timeouts& timeouts) = 0;

    virtual void setRts(bool asserted) = 0;
    virtual void setDtr(bool asserted) = 0;
    virtual bool dsr() = 0;
    // A DSR read whose answer may come later: out holds it (true: DSR asserted) once flush() has returned.
    // A port that sends its requests in batches (FTDI synchronous bit-bang) resolves it from the pins
    // sampled with the request that follows; the others read at once. One line request, as dsr() is.
    // out must stay alive until the flush.
    virtual void dsrInto(bool& out) { out = dsr(); }
    // Sends every request still queued and resolves every pending dsrInto. The bus calls it at the end of
    // each transaction; nothing to do on a port whose requests act at once.
    virtual void flush() {}

    // Writes the block to the transmit line and returns once it has left the port (a trigger's time is taken
    // then); throws on a closed port and when the write times out.
    virtual void write(const QByteArray& bytes) = 0;
};

} // namespace serial
