// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/posix_serial_port.h"

#include "serial/custom_rate.h"

#include <QDeadlineTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serial {

namespace {

// The termios constant for a rate, or 0 for a rate that must go through the arbitrary-rate interface.
speed_t speedOrReject(qint32 bitRate)
{
    static constexpr struct {
        qint32 rate;
        speed_t speed;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : table) {
        if (entry.rate == bitRate)
            return entry.speed;
    }
    if (bitRate > 0 && bitRate <= 4000000)
        return 0;
    throw PortError(PortFailure::Rejected, QStringLiteral("set line settings"),
                    QStringLiteral("bit rate %1 not supported").arg(bitRate));
}

QString errorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool deviceGone(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

Timeouts defaultTimeouts()
{
    Timeouts timeouts;
    timeouts.writeTotalConstant = 1000;
    return timeouts;
}

} // namespace

PosixSerialPort::PosixSerialPort(PortCatalog& catalog, const QString& lockDir)
    : catalog_(catalog), lock_(lockDir), timeouts_(defaultTimeouts())
{
}

PosixSerialPort::~PosixSerialPort()
{
    close();
}

void PosixSerialPort::open(int portNumber)
{
    close();
    portNumber_ = portNumber;
    const QString operation = QStringLiteral("open COM%1").arg(portNumber);
    const QString path = catalog_.devicePath(portNumber);
    if (path.isEmpty())
        throw PortError(PortFailure::CannotUse, operation, QStringLiteral("no device for this port"));
    // Opening the console would raise the terminal's modem lines, and the bus traffic would reach it.
    if (const QString console = PortCatalog::consoleName(path, catalog_.sysRoot()); !console.isEmpty())
        throw PortError(
            PortFailure::CannotUse, operation,
            QStringLiteral("%1 is the system console (%2), never a bench port").arg(path, console));
    const auto heldBy = [&](const Holder& holder) {
        lock_.release();
        return PortError(PortFailure::AlreadyOpen, operation, QStringLiteral("in use by ") + holder.text());
    };
    // minicom, picocom and cu announce themselves only through the lock file, and a program that takes no
    // lock at all only through /proc: both before we touch the device, since opening it raises its lines.
    if (const auto holder = lock_.acquire(path))
        throw heldBy(*holder);
    if (const auto holder = findOtherOpener(path))
        throw heldBy(*holder);

    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        lock_.release();
        if (err == EBUSY)
            throw PortError(PortFailure::AlreadyOpen, operation,
                            QStringLiteral("in use by another program: ") + errorText(err));
        if (err == EACCES || err == EPERM) {
            catalog_.notePermissionDenied(portNumber, path, errorText(err));
            throw PortError(PortFailure::PermissionDenied, operation, errorText(err));
        }
        throw PortError(PortFailure::CannotUse, operation, path + QStringLiteral(": ") + errorText(err));
    }
    catalog_.clearProblem(portNumber);

    auto fail = [&](PortFailure kind, const QString& reason) {
        ::close(fd);
        lock_.release();
        throw PortError(kind, operation, reason);
    };
    if (!::isatty(fd))
        fail(PortFailure::CannotUse, path + QStringLiteral(": not a terminal"));
    // The lock keeps out programs that honour it even when they run as root, which TIOCEXCL does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK)
            fail(PortFailure::AlreadyOpen, QStringLiteral("in use by another program: ") + errorText(err));
        fail(PortFailure::CannotUse, errorText(err));
    }
    if (::ioctl(fd, TIOCEXCL) != 0)
        fail(PortFailure::CannotUse, errorText(errno));

    fd_ = fd;
    // Linux raises both modem lines on open, which pulls SCL and SDA low together. Releasing SCL first and
    // SDA after it leaves the bus idle through a clean STOP, which ends whatever a chip made of the open.
    // A device without modem lines refuses this, and the line check will say so.
    const int clock = TIOCM_DTR;
    const int data = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &clock);
    ::ioctl(fd, TIOCMBIC, &data);
    try {
        applyLineSettings(bitRate_);
    } catch (const PortError& e) {
        // A rate the device refuses leaves the one in force before: open at that one rather than not at all.
        try {
            if (bitRate_ == appliedRate_)
                throw;
            applyLineSettings(appliedRate_);
            bitRate_ = appliedRate_;
        } catch (const PortError&) {
            close();
            throw PortError(PortFailure::CannotUse, operation, e.reason());
        }
    }
    appliedRate_ = bitRate_;
    timeouts_ = defaultTimeouts();
}

void PosixSerialPort::close()
{
    if (fd_ < 0)
        return;
    // A pty's tty outlives our descriptor, and a stale exclusive flag would lock everyone but root out of it.
    // Its failure does not matter: the device may already be gone.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    lock_.release();
}

void PosixSerialPort::setLineSettings(qint32 bitRate)
{
    speedOrReject(bitRate);
    if (isOpen()) {
        applyLineSettings(bitRate);
        appliedRate_ = bitRate;
    }
    bitRate_ = bitRate;
}

QString PosixSerialPort::lineSettings() const
{
    return QString::number(bitRate_) + QStringLiteral(",N,8,1");
}

void PosixSerialPort::applyLineSettings(qint32 bitRate)
{
    const QString operation = QStringLiteral("set line settings");
    const speed_t speed = speedOrReject(bitRate);

    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0)
        throw PortError(PortFailure::Rejected, operation, errorText(errno));
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t base = speed != 0 ? speed : B38400;
    if (::cfsetispeed(&tio, base) != 0 || ::cfsetospeed(&tio, base) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &tio) != 0)
        throw PortError(PortFailure::Rejected, operation, errorText(errno));
    if (speed == 0 && !setCustomRate(fd_, bitRate)) {
        const int err = errno;
        // The base rate is already in force: put the previous settings back before saying no.
        if (bitRate != appliedRate_)
            applyLineSettings(appliedRate_);
        throw PortError(PortFailure::Rejected, operation, errorText(err));
    }
}

void PosixSerialPort::setTimeouts(const Timeouts& timeouts)
{
    if (isOpen())
        timeouts_ = timeouts;
}

void PosixSerialPort::setRts(bool asserted)
{
    if (!isOpen())
        return;
    const int bits = TIOCM_RTS;
    if (::ioctl(fd_, asserted ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        lineFailed(QStringLiteral("set RTS"), errno);
}

void PosixSerialPort::setDtr(bool asserted)
{
    if (!isOpen())
        return;
    const int bits = TIOCM_DTR;
    if (::ioctl(fd_, asserted ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        lineFailed(QStringLiteral("set DTR"), errno);
}

bool PosixSerialPort::dsr()
{
    if (!isOpen())
        return false;
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0)
        lineFailed(QStringLiteral("read DSR"), errno);
    return (bits & TIOCM_DSR) != 0;
}

void PosixSerialPort::write(const QByteArray& bytes)
{
    const QString operation = QStringLiteral("write");
    if (!isOpen())
        throw PortError(PortFailure::CannotUse, operation, QStringLiteral("port is not open"));

    const qint64 allowedMs =
        qint64(bytes.size()) * timeouts_.writeTotalMultiplier + timeouts_.writeTotalConstant;
    const QDeadlineTimer deadline(allowedMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            lineFailed(operation, errno);
        if (deadline.hasExpired())
            throw PortError(PortFailure::TimedOut, operation,
                            QStringLiteral("%1 of %2 bytes sent within %3 ms")
                                .arg(done)
                                .arg(bytes.size())
                                .arg(allowedMs));
        pollfd waitFor{fd_, POLLOUT, 0};
        if (::poll(&waitFor, 1, int(std::min<qint64>(deadline.remainingTime(), INT_MAX))) < 0 &&
            errno != EINTR)
            lineFailed(operation, errno);
    }
    // write() returns once the bytes are queued in the driver; the block has left when the queue is empty.
    while (::tcdrain(fd_) != 0)
        if (errno != EINTR)
            lineFailed(QStringLiteral("drain"), errno);
}

void PosixSerialPort::lineFailed(const QString& operation, int err)
{
    if (!deviceGone(err))
        throw PortError(PortFailure::Io, operation, errorText(err));
    close();
    throw PortError(PortFailure::Gone, operation, errorText(err));
}

} // namespace serial
