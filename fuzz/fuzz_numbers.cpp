// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The typed-number helpers on arbitrary text, and the display helpers on what they read.
#include "fuzz_support.h"

#include "model/numbers.h"

#include <cmath>
#include <cstring>

namespace {

// "-1.23456789012345E-308" is the longest a 15-digit double can be written.
constexpr qsizetype kMaxNumberText = 22;

bool isUpperHex(const QString& text)
{
    for (QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')))
            return false;
    return !text.isEmpty();
}

void checkValue(double value)
{
    const QString number = model::number_text(value);
    const QString volts = model::volt_text(value);
    FUZZ_CHECK(!number.isEmpty() && number.size() <= kMaxNumberText);
    FUZZ_CHECK(!volts.isEmpty() && volts.size() <= kMaxNumberText);
    FUZZ_CHECK(!number.contains(u'e') && !number.contains(u','));

    if (std::isfinite(value)) {
        // What the boxes show reads back as the value to 15 significant digits.
        const double back = model::leading_number(number);
        // Only the very top of the range rounds past the largest double when shown with 15 digits.
        FUZZ_CHECK(std::isfinite(back) || std::fabs(value) > 1.79769313486231e308);
        FUZZ_CHECK(!std::isfinite(back) || std::fabs(back - value) <= std::fabs(value) * 1e-14 ||
                   (back == 0 && std::fabs(value) < 1e-300));
        // Truncation never raises a voltage by more than the last printed digit.
        const double shown = model::leading_number(volts);
        FUZZ_CHECK(shown <= value + std::fabs(value) * 1e-14 + 1e-300);
    }

    const QString code = model::code_text(value);
    FUZZ_CHECK(isUpperHex(code) && code.size() <= 8);
    FUZZ_CHECK(code == u"0" || code.front() != u'0');

    if (const auto i16 = model::to_int16(value))
        FUZZ_CHECK(std::fabs(double(*i16) - value) <= 0.5);
    else
        FUZZ_CHECK(!std::isfinite(value) || std::fabs(value) >= 32767.5);
    if (const auto i32 = model::to_int32(value))
        FUZZ_CHECK(std::fabs(double(*i32) - value) <= 0.5);
    else
        FUZZ_CHECK(!std::isfinite(value) || std::fabs(value) >= 2147483647.5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& text : {QString::fromUtf8(bytes), QString::fromLatin1(bytes)}) {
        const double value = model::leading_number(text);
        FUZZ_CHECK(!std::isnan(value));
        checkValue(value);
        // Text after the number is ignored.
        FUZZ_CHECK(model::leading_number(model::number_text(value) + QStringLiteral("x") + text) ==
                       model::leading_number(model::number_text(value)) ||
                   !std::isfinite(value));
    }
    // Any bit pattern, NaN and denormals included, is something a computation can produce.
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, data, sizeof raw);
        checkValue(raw);
    }
    return 0;
}
