// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/numbers.h"

#include <QRegularExpression>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace model {

namespace {

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Half to even without depending on the floating-point rounding mode.
double roundHalfEven(double v)
{
    const double lower = std::floor(v);
    const double diff = v - lower; // exact: lower and v share their high bits
    if (diff < 0.5)
        return lower;
    if (diff > 0.5)
        return lower + 1;
    return std::fmod(lower, 2) == 0 ? lower : lower + 1;
}

template <typename Int> std::optional<Int> roundToInt(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const double r = roundHalfEven(value);
    if (r < static_cast<double>(std::numeric_limits<Int>::min()) ||
        r > static_cast<double>(std::numeric_limits<Int>::max()))
        return std::nullopt;
    return static_cast<Int>(r);
}

} // namespace

double leading_number(const QString& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    const auto at = [&](qsizetype k) { return k < n ? text.at(k) : QChar(); };
    while (at(i) == QLatin1Char(' ') || at(i) == QLatin1Char('\t'))
        ++i;

    bool negative = false;
    if (at(i) == QLatin1Char('+') || at(i) == QLatin1Char('-')) {
        negative = at(i) == QLatin1Char('-');
        ++i;
    }

    // The number goes to from_chars as plain ASCII, so the reading never depends on the locale. Alongside,
    // the decimal exponent of the first significant digit tells an overflow from an underflow.
    std::string number;
    qsizetype mantissaDigits = 0;
    double integerDigits = 0;   // from the first significant one on
    double zerosAfterPoint = 0; // before the first significant digit, when the whole part has none
    bool significant = false;
    for (; isDigit(at(i)); ++i, ++mantissaDigits) {
        number.push_back(static_cast<char>(at(i).unicode()));
        significant = significant || at(i) != QLatin1Char('0');
        if (significant)
            ++integerDigits;
    }
    if (at(i) == QLatin1Char('.')) {
        number.push_back('.');
        for (++i; isDigit(at(i)); ++i, ++mantissaDigits) {
            number.push_back(static_cast<char>(at(i).unicode()));
            if (!significant && at(i) == QLatin1Char('0'))
                ++zerosAfterPoint;
            significant = significant || at(i) != QLatin1Char('0');
        }
    }
    if (mantissaDigits == 0)
        return 0;
    double magnitude = integerDigits > 0 ? integerDigits - 1 : -(zerosAfterPoint + 1);

    if (at(i) == QLatin1Char('e') || at(i) == QLatin1Char('E')) {
        qsizetype k = i + 1;
        const bool expNegative = at(k) == QLatin1Char('-');
        if (at(k) == QLatin1Char('+') || at(k) == QLatin1Char('-'))
            ++k;
        if (isDigit(at(k))) {
            number.push_back('e');
            if (expNegative)
                number.push_back('-');
            double expValue = 0;
            for (; isDigit(at(k)); ++k) {
                number.push_back(static_cast<char>(at(k).unicode()));
                expValue = expValue * 10 + (at(k).unicode() - '0');
            }
            magnitude += expNegative ? -expValue : expValue;
        }
    }

    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

QString number_text(double value)
{
    if (value == 0)
        return QStringLiteral("0"); // also for -0
    QString text = QString::number(value, 'g', 15);
    if (std::isfinite(value))
        text.replace(QLatin1Char('e'), QLatin1Char('E'));
    return text;
}

QString volt_text(double value)
{
    const double scaled = value * 1000;
    // Beyond the range where thousandths exist, truncation has nothing left to cut.
    return number_text(std::isfinite(scaled) ? std::floor(scaled) / 1000 : value);
}

int register_code(double code)
{
    if (!(code > 0))
        return 0;
    return code >= 1023 ? 1023 : static_cast<int>(std::floor(code));
}

QString code_text(double code)
{
    if (!(code > 0)) // also NaN
        return QStringLiteral("0");
    const double r = std::min(roundHalfEven(code), 4294967295.0);
    return QString::number(static_cast<quint32>(r), 16).toUpper();
}

std::optional<qint16> to_int16(double value)
{
    return roundToInt<qint16>(value);
}

std::optional<qint32> to_int32(double value)
{
    return roundToInt<qint32>(value);
}

std::optional<std::chrono::nanoseconds> parse_duration(const QString& text, std::chrono::nanoseconds longest)
{
    static const QRegularExpression form(
        QStringLiteral("^\\s*(\\d+(?:\\.\\d*)?|\\.\\d+)\\s*(ns|us|µs|ms|s)?\\s*$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const double value = match.captured(1).toDouble();
    const QString unit = match.captured(2);
    const double perUnit = unit.isEmpty() || unit == QLatin1String("s") ? 1e9
                           : unit == QLatin1String("ms")                ? 1e6
                           : unit == QLatin1String("ns")                ? 1
                                                                        : 1e3;
    const double ns = value * perUnit;
    if (!(ns >= 0) || ns > double(longest.count()))
        return std::nullopt;
    return std::chrono::nanoseconds(static_cast<qint64>(std::llround(ns)));
}

std::optional<std::chrono::nanoseconds> parse_latency(const QString& text)
{
    return parse_duration(text, std::chrono::seconds(1));
}

} // namespace model
