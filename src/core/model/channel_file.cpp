// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/channel_file.h"

#include "files/names.h"
#include "files/regular_file.h"
#include "model/channel_model.h"
#include "model/numbers.h"

#include <QFile>

#include <cmath>
#include <optional>

namespace model {

namespace {

constexpr int kFields = 25;
// The largest code the chip's ten-bit registers hold.
constexpr double kFullScale = 1023;
// No number this program writes is longer; a longer field is garbage and reading stops there, so a huge
// or binary file costs no more than this per field.
constexpr int kMaxFieldLength = 64;
// A channel file is well under a kilobyte; past this much text without 25 fields it is not one, and a huge
// file of blanks must not keep the window waiting.
constexpr qint64 kMaxBytes = 64 * 1024;

// Reads the fields of a channel file one at a time, straight from the device, never more than it needs.
class FieldReader {
public:
    FieldReader(QFile& file, const QString& shownPath) : file_(file), path_(shownPath) {}

    int line() const { return line_; }

    // The next field's text (blanks before it skipped), or nullopt at the end of the file.
    std::optional<QByteArray> next()
    {
        QByteArray field;
        char c = 0;
        // Line ends between fields separate them, and empty lines between them are no fields.
        while (peek(c) && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            take();
            if (c == '\n' || (c == '\r' && !(peek(c) && c == '\n')))
                ++line_;
        }
        if (!peek(c))
            return std::nullopt;
        while (peek(c) && c != ',' && c != '\r' && c != '\n') {
            take();
            if (field.size() == kMaxFieldLength)
                throw tooLong();
            field.append(c);
        }
        if (peek(c) && c == ',')
            take();
        return field.trimmed();
    }

    ChannelFileError tooLong() const
    {
        return ChannelFileError(
            QStringLiteral("The channel file %1 has a field on line %2 that is too long to be "
                           "a number.")
                .arg(path_, QString::number(line_)));
    }

private:
    bool peek(char& c)
    {
        if (!havePeek_) {
            if (!file_.getChar(&peek_))
                return false;
            havePeek_ = true;
        }
        c = peek_;
        return true;
    }
    void take()
    {
        havePeek_ = false;
        if (++consumed_ > kMaxBytes)
            throw ChannelFileError(
                QStringLiteral("The channel file %1 is not a channel file: no 25 values in its "
                               "first %2 bytes.")
                    .arg(path_, QString::number(kMaxBytes)));
    }

    QFile& file_;
    QString path_;
    char peek_ = 0;
    bool havePeek_ = false;
    qint64 consumed_ = 0;
    int line_ = 1;
};

// The whole field must be one number: "12abc" in a file is more likely a damaged file than a number.
bool isWholeNumber(const QByteArray& field)
{
    int i = 0;
    const int n = field.size();
    if (i < n && (field[i] == '+' || field[i] == '-'))
        ++i;
    int digits = 0;
    while (i < n && field[i] >= '0' && field[i] <= '9')
        ++i, ++digits;
    if (i < n && field[i] == '.') {
        ++i;
        while (i < n && field[i] >= '0' && field[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (field[i] == 'e' || field[i] == 'E')) {
        ++i;
        if (i < n && (field[i] == '+' || field[i] == '-'))
            ++i;
        int exponentDigits = 0;
        while (i < n && field[i] >= '0' && field[i] <= '9')
            ++i, ++exponentDigits;
        if (exponentDigits == 0)
            return false;
    }
    return i == n;
}

double readField(FieldReader& reader, const QString& path, const QString& what)
{
    const auto field = reader.next();
    if (!field)
        throw ChannelFileError(QStringLiteral("The channel file %1 ends before its %2: a channel file holds "
                                              "25 values.")
                                   .arg(path, what));
    if (!isWholeNumber(*field))
        throw ChannelFileError(QStringLiteral("The channel file %1 has \"%2\" on line %3 where the %4 should "
                                              "be; that is not a number.")
                                   .arg(path, files::visible(QString::fromLatin1(field->left(24))),
                                        QString::number(reader.line()), what));
    const double value = leading_number(QString::fromLatin1(*field));
    if (!std::isfinite(value))
        throw ChannelFileError(
            QStringLiteral("The channel file %1 has a number on line %2 that is too large for "
                           "the %3.")
                .arg(path, QString::number(reader.line()), what));
    return value;
}

} // namespace

void save_channel_file(const QByteArray& path, const ChannelModel& model)
{
    // A file of made-up codes would later drive a working chip to them.
    const QString unknown = model.unknown_channels();
    if (!unknown.isEmpty())
        throw ChannelFileError(
            QStringLiteral("Nothing was saved to %1: no chip gave the codes of channels %2. "
                           "Read DAC once a chip answers, then save again.")
                .arg(files::shown(path), unknown));
    QByteArray text;
    text += number_text(model.vref_high_cur).toLatin1() + "\r\n";
    for (int n = 1; n <= kChannels; ++n)
        text += number_text(model.code[n]).toLatin1() + "\r\n";
    if (const auto failure = files::replaceContents(path, text))
        throw ChannelFileError(
            QStringLiteral("The channel file %1 could not be saved: %2.").arg(files::shown(path), *failure));
}

QStringList apply_channel_file(const QByteArray& rawPath, ChannelModel& model)
{
    const QString path = files::shown(rawPath);
    QString why;
    const std::unique_ptr<QFile> opened = files::openForReading(rawPath, why);
    if (!opened)
        throw ChannelFileError(QStringLiteral("The channel file %1 could not be opened: %2.").arg(path, why));
    QFile& file = *opened;
    FieldReader reader(file, path);

    model.vref_high_cur = readField(reader, path, QStringLiteral("reference voltage"));
    if (ChannelGrid* grid = model.grid())
        grid->setReferenceText(number_text(model.vref_high_cur));

    QList<int> aboveFullScale;
    for (int n = 1; n < kFields; ++n) {
        const QString what = QStringLiteral("code of channel %1").arg(n);
        const double code = readField(reader, path, what);
        if (code < 0 || code > 65535)
            throw ChannelFileError(
                QStringLiteral("The channel file %1 has the code %2 on line %3 for channel %4; "
                               "a code lies between 0 and 65535.")
                    .arg(path, number_text(code), QString::number(reader.line()), QString::number(n)));
        if (code > kFullScale)
            aboveFullScale << n;
        model.set_code(n, code);
        model.cur_chan = n;
        model.write_current_channel();
        model.refresh_channels();
    }
    // Stored files may hold such codes, and they keep loading; but a user must know what the chip got.
    QStringList warnings;
    if (!aboveFullScale.isEmpty()) {
        QStringList channels;
        for (int n : aboveFullScale)
            channels << QString::number(n);
        warnings << QStringLiteral("The channel file %1 holds codes above %2 for channel%3 %4: the chip "
                                   "takes %2 (full scale) for them.")
                        .arg(path, QString::number(kFullScale),
                             channels.size() > 1 ? QStringLiteral("s") : QString(),
                             channels.join(QStringLiteral(", ")));
    }
    std::optional<QByteArray> more;
    try {
        more = reader.next();
    } catch (const ChannelFileError&) {
        more = QByteArray("?");
    }
    if (more)
        warnings << QStringLiteral("The channel file %1 holds more than 25 values: only the first 25 were "
                                   "used. A decimal comma (2,5) splits a number in two and shifts every "
                                   "channel after it.")
                        .arg(path);
    file.close();
    model.refresh_channels();
    return warnings;
}

} // namespace model
