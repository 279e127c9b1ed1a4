// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace files {

// One entry of a folder: its name as the file system has it, and as it is shown.
struct Entry {
    QByteArray name;
    QString shown;
};

enum class EntryKind { Files, Folders };

// The regular files (or the folders) in a folder, links followed, hidden ones left out, sorted by shown name
// without regard to case, as QDir lists them. QDir leaves out every name that is not UTF-8 (Qt 6 cannot
// decode it back); here such names are listed, kept as raw bytes for opening. Empty when the folder cannot
// be read.
QList<Entry> listFolder(const QByteArray& folder, EntryKind kind);

// folder + "/" + name, without doubling a slash at the end of folder.
QByteArray joined(const QByteArray& folder, const QByteArray& name);

// The path made absolute (against the working folder) and clean: no ".", "..", doubled or trailing slash.
QByteArray absolutePath(const QByteArray& path);

// Whether the path is, or links to, a folder.
bool isFolder(const QByteArray& path);

} // namespace files
