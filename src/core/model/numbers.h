// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <optional>

namespace model {

// The leading number of a text: after leading blanks, the longest prefix that reads as a decimal number
// with optional sign, fraction and exponent, "." as the only separator; the rest is ignored. No leading
// number gives 0. A number too large for a double gives +-infinity: callers that need a finite value check.
double leading_number(const QString& text);

// Shortest decimal text with up to 15 significant digits, "." as separator, no exponent for ordinary
// values (2.5, 5, 0, 4.096). Very large or small magnitudes use the form 1E+20 / 1E-05.
QString number_text(double value);

// A voltage as the boxes show it: truncated towards minus infinity to three decimals, then number_text.
QString volt_text(double value);

// A code as the boxes show it: upper-case hexadecimal without leading zeros (0, 3FF, 400, FFFF).
QString code_text(double code);
// What the chip's ten-bit register receives for a code: its whole part, 1023 (3FF) for anything larger, 0
// for anything not above 0.
int register_code(double code);

// A duration as a user types it: seconds ("0.5"), or a number and a unit: "500ms", "250us", "0.5 s",
// "2000ns". nullopt for anything else, a negative value, or more than longest.
std::optional<std::chrono::nanoseconds> parse_duration(const QString& text, std::chrono::nanoseconds longest);

// The time a line request takes: a duration of at most a second (a single read-back would then take hours:
// a typing error).
std::optional<std::chrono::nanoseconds> parse_latency(const QString& text);

// Rounded half to even; nullopt when the result does not fit (or the value is not finite).
std::optional<qint16> to_int16(double value);
std::optional<qint32> to_int32(double value);

} // namespace model
