// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "files/names.h"

#include <QFile>

namespace files {

namespace {

bool continuation(uchar c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at p (at most `left` bytes), 0 when there is none: no
// overlong forms, no surrogates, nothing above U+10FFFF.
qsizetype sequenceLength(const uchar* p, qsizetype left)
{
    const uchar c = p[0];
    if (c < 0x80)
        return 1;
    qsizetype length = 0;
    uchar low = 0x80, high = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (qsizetype k = 2; k < length; ++k)
        if (!continuation(p[k]))
            return 0;
    return length;
}

} // namespace

QString shown(const QByteArray& raw)
{
    QString out;
    const auto* p = reinterpret_cast<const uchar*>(raw.constData());
    const qsizetype n = raw.size();
    qsizetype run = 0; // start of the well-formed bytes not yet decoded
    for (qsizetype i = 0; i < n;) {
        const qsizetype length = sequenceLength(p + i, n - i);
        if (length > 0) {
            i += length;
            continue;
        }
        out += visible(QString::fromUtf8(raw.constData() + run, i - run));
        out += QString::asprintf("\\x%02X", p[i]);
        run = ++i;
    }
    return out + visible(QString::fromUtf8(raw.constData() + run, n - run));
}

QString visible(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F)
            out += QString::asprintf("\\x%02X", unsigned(u));
        else if (u >= 0x80 && u <= 0x9F)
            out += QString::asprintf("\\u%04X", unsigned(u));
        else
            out += c;
    }
    return out;
}

QByteArray rawArgument(const QString& text, const QList<QByteArray>& arguments)
{
    for (const QByteArray& argument : arguments) {
        if (QString::fromLocal8Bit(argument) == text)
            return argument;
        const qsizetype equals = argument.indexOf('=');
        if (argument.startsWith("--") && equals > 0 &&
            QString::fromLocal8Bit(argument.mid(equals + 1)) == text)
            return argument.mid(equals + 1);
    }
    return QFile::encodeName(text);
}

} // namespace files
