// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <optional>

namespace files {

// The program's files (channel files, the settings, the bus trace) are regular files. A path that is or
// leads to a FIFO would block the window on open or read, a device must never be opened by mistake, let
// alone replaced by a plain file: such paths are refused before anything opens them. Paths are raw bytes.
// Every failure comes back as the reason, in words (the errno text where there is one).

// Opens a regular file for reading. Returns null and sets why when it cannot.
std::unique_ptr<QFile> openForReading(const QByteArray& path, QString& why);

// Creates or truncates a regular file for writing. Returns null and sets why when it cannot.
std::unique_ptr<QFile> openForWriting(const QByteArray& path, QString& why);

// Writes all of data to the descriptor; returns the reason when the system took less (a full disk).
std::optional<QString> writeAll(int fd, const QByteArray& data);

// Puts a file with these contents in place of the file at path in one step: a failure at any point leaves
// the old file as it was. A link is written through (the file it leads to is replaced and the link stays).
// The file keeps its permissions; a new one gets those the umask allows.
std::optional<QString> replaceContents(const QByteArray& path, const QByteArray& contents);

// Removes the temporaries replaceContents left beside path when it was killed in the middle of a write:
// those whose writer is gone, or that are older than any write takes. Nothing but its own names is touched.
void removeStaleTemporaries(const QByteArray& path);

} // namespace files
