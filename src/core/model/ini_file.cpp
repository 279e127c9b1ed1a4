// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/ini_file.h"

#include <QStringDecoder>
#include <QStringList>

#include <cstring>
#include <string>

namespace model {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A section or key name as QSettings writes it: "\" for "/", %XX for a Latin-1 character, %UXXXX for any
// other; every other byte stands for itself as Latin-1.
QString unescapedName(const QByteArray& name)
{
    QString out;
    for (qsizetype i = 0; i < name.size();) {
        const char c = name.at(i);
        if (c == '\\') {
            out += QLatin1Char('/');
            ++i;
            continue;
        }
        const bool wide = c == '%' && name.mid(i + 1, 1) == "U";
        const qsizetype digits = wide ? 4 : 2;
        const qsizetype first = i + (wide ? 2 : 1);
        bool ok = c == '%' && first + digits <= name.size();
        const uint code = ok ? name.mid(first, digits).toUInt(&ok, 16) : 0;
        if (!ok) {
            out += QLatin1Char(c);
            ++i;
            continue;
        }
        out += QChar(char16_t(code));
        i = first + digits;
    }
    return out;
}

QByteArray escapedName(const QString& name)
{
    QByteArray out;
    for (const QChar ch : name) {
        const char16_t c = ch.unicode();
        if (c == '/')
            out += '\\';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-' || c == '.')
            out += char(c);
        else if (c <= 0xFF)
            out += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        else
            out += "%U" + QByteArray::number(c, 16).toUpper().rightJustified(4, '0');
    }
    return out;
}

QString sectionName(const QByteArray& name)
{
    if (name.compare("general", Qt::CaseInsensitive) == 0)
        return {};
    if (name.compare("%general", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(name.mid(1));
    return unescapedName(name);
}

// One stored value as QSettings reads it: "@@" stands for "@", "@Invalid()" for nothing.
QString storedText(const QString& item)
{
    if (item == QLatin1String("@Invalid()"))
        return {};
    return item.startsWith(QLatin1String("@@")) ? item.mid(1) : item;
}

// The value bytes as QSettings' INI reader takes them: blanks around unquoted text dropped, quotes group,
// backslash escapes as in C, an unquoted comma separates list items.
QString unescapedValue(const QByteArray& bytes)
{
    QStringList items;
    QString current;
    qsizetype keep = 0; // trailing blanks before this length came from escapes or quotes: they stay
    bool inQuotes = false, quoted = false, list = false;
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < n && isBlank(bytes.at(i)))
            ++i;
        keep = current.size();
    };
    const auto chop = [&] {
        if (quoted)
            return;
        qsizetype end = current.size();
        while (end > keep && (current.at(end - 1) == u' ' || current.at(end - 1) == u'\t'))
            --end;
        current.truncate(end);
    };
    skipBlanks();
    while (i < n) {
        const char c = bytes.at(i);
        if (c == '\\') {
            if (++i >= n)
                break;
            const char e = bytes.at(i++);
            static const char plain[] = "abfnrtv\"?'\\";
            static const char meant[] = "\a\b\f\n\r\t\v\"?'\\";
            if (const char* p = std::strchr(plain, e); p && e != '\0') {
                current += QLatin1Char(meant[p - plain]);
            } else if (e == 'x' || (e >= '0' && e <= '7')) {
                const int base = e == 'x' ? 16 : 8;
                uint code = e == 'x' ? 0 : uint(e - '0');
                qsizetype digits = e == 'x' ? 0 : 1;
                for (; i < n && hexValue(bytes.at(i)) >= 0 && hexValue(bytes.at(i)) < base; ++i, ++digits)
                    code = code * base + uint(hexValue(bytes.at(i)));
                if (digits > 0)
                    current += QChar(char16_t(code));
            } // any other escaped character is dropped, as QSettings does
            keep = current.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && !inQuotes) {
            chop();
            items.append(current);
            current.clear();
            quoted = false;
            list = true;
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < n && bytes.at(j) != '\\' && bytes.at(j) != '"' && bytes.at(j) != ',')
                ++j;
            // A byte order mark inside a value is a character like any other, not one to drop.
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
            current += utf8(QByteArrayView(bytes.constData() + i, j - i));
            i = j;
        }
    }
    chop();
    if (!list)
        return storedText(current);
    items.append(current);
    for (QString& item : items)
        item = storedText(item);
    return items.join(QLatin1String(", "));
}

bool isHexDigit(char16_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A text as QSettings writes it, so that it reads it back the same.
QByteArray escapedValue(const QString& value)
{
    const QString text = value.startsWith(u'@') ? u'@' + value : value;
    QByteArray out;
    bool needsQuotes = false, escapeNextIfDigit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        if (escapeNextIfDigit && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        static const char16_t meant[] = u"\a\b\f\n\r\t\v\"\\";
        static const char plain[] = "abfnrtv\"\\";
        if (c == 0) {
            out += "\\0";
            escapeNextIfDigit = true;
        } else if (const char16_t* p = std::char_traits<char16_t>::find(meant, 9, c)) {
            out += '\\';
            out += plain[p - meant];
        } else if (c <= 0x1F) {
            out += "\\x" + QByteArray::number(c, 16);
            escapeNextIfDigit = true;
        } else {
            qsizetype j = i + 1;
            while (j < text.size() && text.at(j).unicode() > 0x1F && text.at(j) != u'"' &&
                   text.at(j) != u'\\')
                ++j;
            const QString run = text.mid(i, j - i);
            needsQuotes = needsQuotes || run.contains(u';') || run.contains(u',') || run.contains(u'=');
            out += run.toUtf8();
            i = j - 1;
        }
    }
    if (needsQuotes || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
}

} // namespace

IniFile::IniFile(const QByteArray& text)
{
    QString section;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype stop = start;
        while (stop < text.size() && text.at(stop) != '\n' && text.at(stop) != '\r')
            ++stop;
        qsizetype next = stop;
        if (next < text.size())
            next += text.mid(stop, 2) == "\r\n" ? 2 : 1;
        Line line = parse(text.mid(start, stop - start), text.mid(stop, next - stop), section);
        if (line.header)
            section = line.section;
        if (lines_.isEmpty() && !line.end.isEmpty())
            newline_ = line.end;
        lines_.append(line);
        start = next;
    }
}

IniFile::Line IniFile::parse(QByteArray text, QByteArray end, const QString& section)
{
    Line line(std::move(text), std::move(end), section);
    const QByteArray& t = line.text;
    qsizetype i = t.startsWith("\xEF\xBB\xBF") ? 3 : 0; // a byte order mark QSettings skips
    while (i < t.size() && isBlank(t.at(i)))
        ++i;
    if (i == t.size() || t.at(i) == ';' || t.at(i) == '#')
        return line;
    if (t.at(i) == '[') {
        // An unclosed bracket still names the section, as in QSettings: the lines below keep their home.
        const qsizetype close = t.indexOf(']', i);
        line.header = true;
        line.section = sectionName(t.mid(i + 1, (close < 0 ? t.size() : close) - i - 1).trimmed());
        return line;
    }
    qsizetype equals = -1, stop = t.size();
    bool inQuotes = false;
    for (qsizetype j = i; j < t.size(); ++j) {
        const char c = t.at(j);
        if (c == '\\')
            ++j;
        else if (c == '"')
            inQuotes = !inQuotes;
        else if (c == '=' && !inQuotes && equals < 0)
            equals = j;
        else if (c == ';' && !inQuotes) {
            stop = j;
            break;
        }
    }
    if (equals < 0)
        return line; // not a key: kept as it is, read as nothing
    qsizetype keyEnd = equals;
    while (keyEnd > i && isBlank(t.at(keyEnd - 1)))
        --keyEnd;
    line.key = unescapedName(t.mid(i, keyEnd - i));
    line.keyed = true;
    line.valueStart = equals + 1;
    line.valueEnd = stop;
    return line;
}

qsizetype IniFile::find(const QString& section, const QString& key) const
{
    for (qsizetype i = lines_.size() - 1; i >= 0; --i) {
        if (lines_.at(i).keyed && lines_.at(i).key == key && lines_.at(i).section == section)
            return i;
    }
    return -1;
}

std::optional<QString> IniFile::value(const QString& section, const QString& key) const
{
    const qsizetype i = find(section, key);
    if (i < 0)
        return std::nullopt;
    const Line& line = lines_.at(i);
    return unescapedValue(line.text.mid(line.valueStart, line.valueEnd - line.valueStart));
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value)
{
    const QByteArray escaped = escapedValue(value);
    if (const qsizetype i = find(section, key); i >= 0) {
        // The blanks around the old value stay, and so does a comment after it.
        Line& line = lines_[i];
        qsizetype from = line.valueStart, to = line.valueEnd;
        while (from < to && isBlank(line.text.at(from)))
            ++from;
        while (to > from && isBlank(line.text.at(to - 1)))
            --to;
        line.text.replace(from, to - from, escaped);
        line.valueEnd = from + escaped.size() + (line.valueEnd - to);
        return;
    }
    Line added;
    added.section = section;
    added.key = key;
    added.keyed = true;
    added.text = escapedName(key) + '=';
    added.valueStart = added.text.size();
    added.text += escaped;
    added.valueEnd = added.text.size();
    added.end = newline_;

    qsizetype header = -1, after = -1; // the last header of the section, and the line to insert after
    for (qsizetype i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_.at(i);
        if (line.header)
            header = line.section == section ? i : header;
        if (line.section == section && (i == header || line.keyed))
            after = i;
    }
    if (header < 0 || after < header)
        after = header;
    if (after < 0) {
        if (!lines_.isEmpty() && lines_.last().end.isEmpty())
            lines_.last().end = newline_;
        if (!lines_.isEmpty() && !lines_.last().text.trimmed().isEmpty())
            lines_.append(Line({}, newline_, lines_.last().section));
        lines_.append(Line('[' + escapedName(section) + ']', newline_, section, true));
        lines_.append(added);
        return;
    }
    if (lines_[after].end.isEmpty())
        lines_[after].end = newline_;
    lines_.insert(after + 1, added);
}

QByteArray IniFile::text() const
{
    QByteArray out;
    for (const Line& line : lines_)
        out += line.text + line.end;
    return out;
}

} // namespace model
