// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace files {

// A name or path as the file system has it, for showing: UTF-8 decoded, every byte that is not part of
// UTF-8 as \xNN and control characters made visible. Qt would decode such bytes as U+FFFD, which can name
// no file; the program keeps the bytes and shows this.
QString shown(const QByteArray& raw);

// Control characters as \xNN (\uNNNN above 0x7F), so that text read from a file can go into a message: a
// NUL or a line break in a name or a field would otherwise cut or garble it.
QString visible(const QString& text);

// The command-line argument that Qt decoded to text, as the bytes given: Qt turns bytes that are not UTF-8
// into U+FFFD, and such a name opens no file. arguments is argv; an option's value may also stand as
// "--name=value". The encoded text when no argument decodes to it.
QByteArray rawArgument(const QString& text, const QList<QByteArray>& arguments);

} // namespace files
