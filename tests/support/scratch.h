// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Paths of the kinds the program must refuse, in a private scratch folder. Device nodes are made only as
// root, with mknod in that folder: never a node of the system's /dev.
namespace scratch {

enum class Kind { Fifo, Folder, Device };

inline bool root()
{
    return ::geteuid() == 0;
}

// Removed with everything in it, names that are not UTF-8 included (QTemporaryDir would leave those).
class Folder {
public:
    Folder()
    {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/krm59340-test-XXXXXX";
        path_ = ::mkdtemp(pattern.data()) ? pattern : QByteArray();
    }
    ~Folder() { std::filesystem::remove_all(path_.toStdString()); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const QByteArray& path() const { return path_; }
    QByteArray path(const QByteArray& name) const { return path_ + '/' + name; }

    // The device reads empty and swallows writes (the numbers of /dev/null).
    static bool make(const QByteArray& path, Kind kind)
    {
        if (kind == Kind::Fifo)
            return ::mkfifo(path.constData(), 0600) == 0;
        if (kind == Kind::Folder)
            return ::mkdir(path.constData(), 0700) == 0;
        return ::mknod(path.constData(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
    }
    static bool write(const QByteArray& path, const QByteArray& text)
    {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
        return ::close(fd) == 0 && written;
    }
    static QByteArray read(const QByteArray& path)
    {
        QByteArray text(1 << 16, '\0');
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        const ssize_t n = fd < 0 ? -1 : ::read(fd, text.data(), size_t(text.size()));
        ::close(fd);
        return n < 0 ? QByteArray("<unreadable>") : text.left(n);
    }
    // What must not change about a path: its type and device numbers, as lstat sees them.
    static std::pair<mode_t, dev_t> identity(const QByteArray& path)
    {
        struct stat st {};
        ::lstat(path.constData(), &st);
        return {st.st_mode & S_IFMT, st.st_rdev};
    }

private:
    QByteArray path_;
};

// Runs fn in a child process and hands back its text: for what must stay out of the test process (a
// private mount namespace, another user id).
inline QString inChild(const std::function<QString()>& fn)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return QStringLiteral("<no pipe>");
    if (::fork() == 0) {
        const QByteArray text = fn().toUtf8();
        ::_exit(::write(ends[1], text.constData(), size_t(text.size())) == text.size() ? 0 : 1);
    }
    ::close(ends[1]);
    QByteArray text;
    char buffer[512];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    ::close(ends[0]);
    ::wait(nullptr);
    return QString::fromUtf8(text);
}

// The file size limit as a full disk: a write beyond it comes up short (SIGXFSZ ignored).
class SizeLimit {
public:
    explicit SizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        const rlimit tiny{bytes, old_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~SizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old_); }

private:
    rlimit old_{};
};

// The other end of a FIFO, opened from a thread (O_WRONLY meets a reader, O_RDONLY a writer): a program
// that wrongly opens the FIFO gets past its open and meets an empty pipe instead of hanging the test.
class FifoPartner {
public:
    FifoPartner(QByteArray path, int flags)
        : path_(std::move(path)), other_(flags == O_WRONLY ? O_RDONLY : O_WRONLY), thread_([this, flags] {
              ::close(::open(path_.constData(), flags));
              done_ = true;
          })
    {
    }
    ~FifoPartner()
    {
        // Opening the other end without blocking lets the thread out of its open, once it is in there.
        while (!done_) {
            ::close(::open(path_.constData(), other_ | O_NONBLOCK));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_.join();
    }

private:
    QByteArray path_;
    int other_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace scratch
