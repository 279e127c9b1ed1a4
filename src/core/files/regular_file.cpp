// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "files/regular_file.h"

#include "files/names.h"

#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

namespace {

// As many links as the kernel follows before it says ELOOP.
constexpr int kMaxLinks = 40;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("something else");
}

QString refusal(mode_t mode, bool throughLink)
{
    return throughLink ? QStringLiteral("it is a link to %1, not to a regular file").arg(kindOf(mode))
                       : QStringLiteral("it is %1, not a regular file").arg(kindOf(mode));
}

// Why the path is no regular file, or nullopt when it is one or there is nothing there (opening then tells
// what is wrong, if anything).
std::optional<QString> notRegular(const QByteArray& path)
{
    struct stat target {};
    if (::stat(path.constData(), &target) != 0 || S_ISREG(target.st_mode))
        return std::nullopt;
    struct stat entry {};
    const bool link = ::lstat(path.constData(), &entry) == 0 && S_ISLNK(entry.st_mode);
    return refusal(target.st_mode, link);
}

std::unique_ptr<QFile> openRegular(const QByteArray& path, int flags, QIODevice::OpenMode mode, QString& why)
{
    if (const auto refused = notRegular(path)) {
        why = *refused;
        return {};
    }
    // Non-blocking and checked again once open: the path may have become a FIFO in between.
    const int fd = ::open(path.constData(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = errorText(errno);
        return {};
    }
    struct stat opened {};
    const bool known = ::fstat(fd, &opened) == 0;
    if (!known || !S_ISREG(opened.st_mode)) {
        why = known ? refusal(opened.st_mode, false) : errorText(errno);
        ::close(fd);
        return {};
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    auto file = std::make_unique<QFile>();
    file->open(fd, mode, QFileDevice::AutoCloseHandle);
    return file;
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

std::optional<QByteArray> linkTarget(const QByteArray& link)
{
    QByteArray target(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlink(link.constData(), target.data(), target.size());
        if (n < 0)
            return std::nullopt;
        if (n < target.size()) {
            target.truncate(n);
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// Temporaries are named <target>.tmp<writer's pid>.<random>, so that one left by a killed writer can be
// told from one being written.
QByteArray temporaryPrefix(const QByteArray& target)
{
    return target + ".tmp";
}

// Long past any write: a temporary this old is left over even when its pid has been given to another
// process since.
constexpr qint64 kStaleSeconds = 3600;

// A new file beside the target, made with O_EXCL so that nothing else is opened, and with mode 0666 so that
// the umask decides its permissions as it would for the file itself.
int createTemporary(const QByteArray& target, QByteArray& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temporaryPrefix(target) + QByteArray::number(::getpid()) + '.' +
               QByteArray::number(QRandomGenerator::global()->generate(), 36);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

std::optional<QString> writeAll(int fd, const QByteArray& data)
{
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errorText(errno);
        done += n;
    }
    return std::nullopt;
}

void removeStaleTemporaries(const QByteArray& path)
{
    const QByteArray folder = folderOf(path);
    const QByteArray prefix = temporaryPrefix(path.mid(path.lastIndexOf('/') + 1));
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(prefix))
            continue;
        const QList<QByteArray> parts = name.mid(prefix.size()).split('.');
        bool numbered = false;
        const pid_t writer = parts.size() == 2 ? pid_t(parts.at(0).toInt(&numbered)) : 0;
        if (!numbered || writer <= 0)
            continue; // not a name this program makes
        const QByteArray full = folder + '/' + name;
        struct stat file {};
        if (::lstat(full.constData(), &file) != 0 || !S_ISREG(file.st_mode))
            continue;
        const bool writerGone = ::kill(writer, 0) != 0 && errno == ESRCH;
        if (writerGone || now - file.st_mtime > kStaleSeconds)
            ::unlink(full.constData());
    }
    ::closedir(dir);
}

std::unique_ptr<QFile> openForReading(const QByteArray& path, QString& why)
{
    return openRegular(path, O_RDONLY, QIODevice::ReadOnly, why);
}

std::unique_ptr<QFile> openForWriting(const QByteArray& path, QString& why)
{
    return openRegular(path, O_WRONLY | O_CREAT | O_TRUNC, QIODevice::WriteOnly, why);
}

std::optional<QString> replaceContents(const QByteArray& path, const QByteArray& contents)
{
    QByteArray target = path;
    std::optional<mode_t> keptMode;
    for (int hops = 0;; ++hops) {
        struct stat entry {};
        if (::lstat(target.constData(), &entry) != 0) {
            if (errno == ENOENT)
                break;
            return errorText(errno);
        }
        if (S_ISREG(entry.st_mode)) {
            keptMode = entry.st_mode & 07777;
            break;
        }
        if (!S_ISLNK(entry.st_mode))
            return refusal(entry.st_mode, hops > 0);
        const auto next = linkTarget(target);
        if (!next || hops == kMaxLinks)
            return errorText(next ? ELOOP : errno);
        target = next->startsWith('/') ? *next : folderOf(target) + '/' + *next;
    }

    QByteArray temporary;
    const int fd = createTemporary(target, temporary);
    if (fd < 0) {
        const int error = errno;
        const QString folder = shown(folderOf(target));
        if (error == EACCES || error == EPERM || error == EROFS)
            return QStringLiteral("its folder %1 is read-only (%2)").arg(folder, errorText(error));
        if (error == ENOENT || error == ENOTDIR)
            return QStringLiteral("its folder %1 does not exist").arg(folder);
        return errorText(error);
    }
    std::optional<QString> failure = writeAll(fd, contents);
    if (!failure && ::fdatasync(fd) != 0)
        failure = errorText(errno);
    if (!failure && keptMode && ::fchmod(fd, *keptMode) != 0)
        failure = errorText(errno);
    if (::close(fd) != 0 && !failure)
        failure = errorText(errno);
    if (!failure && ::rename(temporary.constData(), target.constData()) != 0)
        failure = errorText(errno);
    if (failure)
        ::unlink(temporary.constData());
    return failure;
}

} // namespace files
