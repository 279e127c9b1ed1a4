// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace model {

// An INI text edited in place: the lines the program writes change, every other line (comments, sections
// and keys of other programs, lines it cannot make sense of) stays as it was and where it was. QSettings
// rewrites the whole file from what it parsed, dropping comments, and gives up on a file with one bad line.
//
// Reading follows QSettings' INI format, so files it wrote read the same: %-escaped section and key names,
// quoted values, backslash escapes, ";" comments, an unquoted comma joining a list (read as one text,
// items joined by ", "), "@@" for a leading "@". Values are written so that QSettings reads them back
// unchanged. Unlike QSettings, a quote never runs past the end of its line, so one damaged line cannot
// swallow the rest of the file.
class IniFile {
public:
    explicit IniFile(const QByteArray& text = {});

    // The value of key in section (the last one, when a key is there twice), or nullopt.
    std::optional<QString> value(const QString& section, const QString& key) const;
    // Changes the key's line in place; a missing key goes after the last key of its section, a missing
    // section at the end, both in the file's own line ending.
    void setValue(const QString& section, const QString& key, const QString& value);

    QByteArray text() const;

private:
    struct Line {
        explicit Line(QByteArray text = {}, QByteArray end = {}, QString section = {}, bool header = false)
            : text(std::move(text)), end(std::move(end)), section(std::move(section)), header(header)
        {
        }
        QByteArray text; // without its end
        QByteArray end;  // "\n", "\r\n", "\r", or "" on a last line without one
        QString section; // the section the line is in; a header's own name
        bool header = false;
        // An entry's line has a key (keyed); a flag beside a plain QString rather than an optional, whose
        // moves GCC 12 takes for reads of uninitialised memory when it optimises.
        QString key;
        bool keyed = false;
        qsizetype valueStart = 0; // the value's bytes in text, comment excluded
        qsizetype valueEnd = 0;
    };
    static Line parse(QByteArray text, QByteArray end, const QString& section);
    qsizetype find(const QString& section, const QString& key) const;

    QList<Line> lines_;
    QByteArray newline_ = "\n";
};

} // namespace model
