// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QString>

namespace files {

// A name or path as the file system has it, for showing: UTF-8 decoded, every byte that is not part of
// UTF-8 as \xNN and control characters made visible. Qt would decode such bytes as U+FFFD, which can name
// no file; the program keeps the bytes and shows this.
QString shown(const QByteArray& raw);

// Control characters as \xNN (\uNNNN above 0x7F), so that text read from a file can go into a message: a
// NUL or a line break in a name or a field would otherwise cut or garble it.
QString visible(const QString& text);

} // namespace files
