// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/port_holders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {

QString deviceBehind(const QString& path)
{
    // Only a link needs following: resolving a device node's own path gains nothing, and the emulation the
    // tests run under (umockdev 0.17) overruns its buffer when it resolves one.
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString real = info.canonicalFilePath();
    return real.isEmpty() ? path : real;
}

namespace {

QString commandName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

bool alive(qint64 pid)
{
    // EPERM: the process exists but belongs to someone else.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QString lockFileOf(const QString& lockDir, const QString& devicePath)
{
    return QDir(lockDir).filePath(QStringLiteral("LCK..") + QFileInfo(deviceBehind(devicePath)).fileName());
}

// The owner's id as the HDB lock format writes it (ten digits and a newline); older programs wrote it as a
// binary int, which is what four bytes without a digit mean.
qint64 lockOwner(const QString& lockFile)
{
    QFile file(lockFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.read(64);
    bool ok = false;
    const qint64 pid = text.trimmed().toLongLong(&ok);
    if (ok)
        return pid;
    if (text.size() == int(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, text.constData(), sizeof binary);
        return binary;
    }
    return 0;
}

} // namespace

QString Holder::text() const
{
    const QString who = name.isEmpty() ? QStringLiteral("another program") : name;
    return QStringLiteral("%1 (process %2)").arg(who).arg(pid);
}

UucpLock::UucpLock(QString lockDir) : lockDir_(std::move(lockDir)) {}

UucpLock::~UucpLock()
{
    release();
}

QString UucpLock::defaultDir()
{
    return QStringLiteral("/run/lock");
}

std::optional<Holder> UucpLock::acquire(const QString& devicePath)
{
    release();
    const QString lockFile = lockFileOf(lockDir_, devicePath);
    const qint64 self = ::getpid();
    char content[16];
    std::snprintf(content, sizeof content, "%10lld\n", static_cast<long long>(self));

    // Written under a name of our own and linked into place, so nobody ever reads a half-written lock.
    const QByteArray temp = QFile::encodeName(QDir(lockDir_).filePath(QStringLiteral("LTMP.%1").arg(self)));
    const QByteArray target = QFile::encodeName(lockFile);
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return std::nullopt; // no right to lock here: nobody who locks here can see us either
    const bool written = ::write(fd, content, 11) == 11;
    ::close(fd);
    std::optional<Holder> holder;
    for (int attempt = 0; written && attempt < 2; ++attempt) {
        if (::link(temp.constData(), target.constData()) == 0) {
            held_ = lockFile;
            holder.reset();
            break;
        }
        if (errno != EEXIST)
            break;
        const qint64 owner = lockOwner(lockFile);
        if (owner == self)
            break; // another port object of this process has it; the exclusive open decides between them
        if (alive(owner)) {
            holder = Holder{owner, commandName(owner)};
            break;
        }
        // Left behind by a process that has ended: it is ours to take.
        ::unlink(target.constData());
    }
    ::unlink(temp.constData());
    return holder;
}

void UucpLock::release()
{
    if (held_.isEmpty())
        return;
    if (lockOwner(held_) == ::getpid())
        ::unlink(QFile::encodeName(held_).constData());
    held_.clear();
}

std::optional<Holder> lockHolder(const QString& devicePath, const QString& lockDir)
{
    const qint64 owner = lockOwner(lockFileOf(lockDir, devicePath));
    if (owner == ::getpid() || !alive(owner))
        return std::nullopt;
    return Holder{owner, commandName(owner)};
}

std::optional<Holder> findOtherOpener(const QString& devicePath, const QString& procDir)
{
    struct stat device {};
    if (::stat(QFile::encodeName(devicePath).constData(), &device) != 0)
        return std::nullopt;
    const qint64 self = ::getpid();
    const QDir proc(procDir);
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        const QDir fds(proc.filePath(entry + QStringLiteral("/fd")));
        for (const QString& fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
            // stat follows the descriptor's link to the open file itself, whatever name it was opened by.
            struct stat opened {};
            if (::stat(QFile::encodeName(fds.filePath(fd)).constData(), &opened) == 0 &&
                S_ISCHR(opened.st_mode) && opened.st_rdev == device.st_rdev)
                return Holder{pid, commandName(pid)};
        }
    }
    return std::nullopt;
}

} // namespace serial
