// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>

#include <optional>

namespace serial {

// A process that has a serial device: its id and its command name.
struct Holder {
    qint64 pid = 0;
    QString name; // "" when the process could not be asked
    // "minicom (process 1234)"
    QString text() const;
};

// The UUCP lock of a device, as minicom, picocom and cu take it: a file LCK..<device name> in the lock
// directory holding the owner's process id. Programs that lock this way take no flock, so this is how we
// learn of them; holding the same lock while the port is open tells them of us.
class UucpLock {
public:
    explicit UucpLock(QString lockDir = defaultDir());
    ~UucpLock();
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    static QString defaultDir();

    // Takes the lock of the device for this process. A lock left by a process that has ended is taken
    // over. Returns the live holder when another process has it; a lock directory we may not write to is
    // no reason to refuse the port, so that counts as taken.
    std::optional<Holder> acquire(const QString& devicePath);
    // Gives the lock back (only if it is still ours).
    void release();

private:
    QString lockDir_;
    QString held_; // the lock file we hold
};

// The live process other than this one whose UUCP lock the device has, read without taking the lock: how
// a list of ports tells which are busy without opening (or locking) any of them.
// The device a path names: a stable link (/dev/serial/by-id/...) followed to its end, the one other
// programs lock; any other path as it is.
QString deviceBehind(const QString& path);

std::optional<Holder> lockHolder(const QString& devicePath, const QString& lockDir = UucpLock::defaultDir());

// Another process of this user that has the device open, found through /proc/<pid>/fd; the processes of
// other users cannot be seen without root, and those are kept out by the exclusive open anyway.
std::optional<Holder> findOtherOpener(const QString& devicePath,
                                      const QString& procDir = QStringLiteral("/proc"));

} // namespace serial
