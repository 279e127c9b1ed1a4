// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
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

// Paths of the kinds the program must refuse, made in a private scratch folder. Device nodes are made only
// as root, with mknod in that folder: never a node of the system's /dev.
namespace scratch {

inline bool root()
{
    return ::geteuid() == 0;
}

enum class Kind { Fifo, Folder, Device };

// A private folder, removed with everything in it at the end, names that are not UTF-8 included (QDir skips
// those, so QTemporaryDir would leave them behind).
class Folder {
public:
    Folder()
    {
        QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/krm59340-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path_.toStdString()), ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const QByteArray& path() const { return path_; }
    QByteArray path(const QByteArray& name) const { return path_ + '/' + name; }
    QString shown(const QByteArray& name) const { return QFile::decodeName(path(name)); }

    // A node of the kind at path; the device reads empty and swallows writes (the numbers of /dev/null).
    static bool make(const QByteArray& path, Kind kind)
    {
        switch (kind) {
        case Kind::Fifo:
            return ::mkfifo(path.constData(), 0600) == 0;
        case Kind::Folder:
            return ::mkdir(path.constData(), 0700) == 0;
        case Kind::Device:
            return ::mknod(path.constData(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
        }
        return false;
    }
    static bool write(const QByteArray& path, const QByteArray& text)
    {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
        return ::close(fd) == 0 && written;
    }
    static QByteArray read(const QByteArray& path)
    {
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return "<unreadable>";
        QByteArray text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, n);
        ::close(fd);
        return text;
    }
    // The file type bits and device numbers, as lstat sees them: what must not change.
    static std::pair<mode_t, dev_t> identity(const QByteArray& path)
    {
        struct stat st {};
        return ::lstat(path.constData(), &st) == 0 ? std::pair(st.st_mode & S_IFMT, st.st_rdev)
                                                   : std::pair(mode_t(0), dev_t(0));
    }

private:
    QByteArray path_;
};

// Runs fn in a child process and hands back the text it returns: for what must stay out of the test
// process (a private mount namespace, another user id).
inline QString inChild(const std::function<QString()>& fn)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return QStringLiteral("<no pipe>");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        const QByteArray text = fn().toUtf8();
        [[maybe_unused]] const ssize_t n = ::write(pipeEnds[1], text.constData(), size_t(text.size()));
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    QByteArray text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return QString::fromUtf8(text);
}

// The file size limit as a full disk: writes beyond `bytes` come up short (SIGXFSZ ignored).
class SizeLimit {
public:
    explicit SizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit tiny = old_;
        tiny.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~SizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old_); }
    SizeLimit(const SizeLimit&) = delete;
    SizeLimit& operator=(const SizeLimit&) = delete;

private:
    rlimit old_{};
};

// The other end of a FIFO, opened from a thread: a program that wrongly opens the FIFO gets past its open
// (and meets an empty pipe) instead of hanging the test. The thread is let go when the test ends.
class FifoPartner {
public:
    // openFlags: O_WRONLY to meet a reader, O_RDONLY to meet a writer.
    FifoPartner(QByteArray path, int openFlags) : path_(std::move(path)), flags_(openFlags)
    {
        thread_ = std::thread([this] {
            const int fd = ::open(path_.constData(), flags_);
            if (fd >= 0)
                ::close(fd);
            done_ = true;
        });
    }
    ~FifoPartner()
    {
        // Opening the other end without blocking wakes the thread once it waits in its open.
        const int other = flags_ == O_WRONLY ? O_RDONLY : O_WRONLY;
        while (!done_) {
            const int fd = ::open(path_.constData(), other | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_.join();
    }
    FifoPartner(const FifoPartner&) = delete;
    FifoPartner& operator=(const FifoPartner&) = delete;

private:
    QByteArray path_;
    int flags_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace scratch
