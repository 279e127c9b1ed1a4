#include "model/numbers.h"

#include "support/qstring_printer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace model;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Numbers, LeadingNumberTakesTheLongestValidPrefix)
{
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"5.5V", 5.5},
        {"abc", 0},
        {"", 0},
        {".", 0},
        {"-", 0},
        {"+.", 0},
        {"1e", 1},
        {"1e+", 1},
        {"2E-x", 2},
        {".5", 0.5},
        {"5.", 5},
        {"  -2.5e+2x", -250},
        {"\t+3", 3},
        {"1.5E3V", 1500},
        {"2.5.3", 2.5},
        {"5,5", 5},
        {"1e-400", 0},
        {"nan", 0},
        {"inf", 0},
        {"-infinity", 0},
        {"0x1F", 0},
        {"007", 7},
        {"0.000123", 0.000123},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(leading_number(QString::fromLatin1(c.text)), c.value) << c.text;

    EXPECT_EQ(leading_number(QStringLiteral("1e400")), kInf);
    EXPECT_EQ(leading_number(QStringLiteral("-0.00001e99999999999999999999")), -kInf);
    EXPECT_EQ(leading_number(QStringLiteral("12345678901234567890e-400")), 0);
}

TEST(Numbers, NumberTextIsShortestWithoutExponentForOrdinaryValues)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {2.5, "2.5"},       {5, "5"},
        {0, "0"},           {-0.0, "0"},
        {4.096, "4.096"},   {12.345, "12.345"},
        {0.1 + 0.2, "0.3"}, {-2.5, "-2.5"},
        {9600, "9600"},     {123456789012345, "123456789012345"},
        {1e15, "1E+15"},    {1e20, "1E+20"},
        {1e-5, "1E-05"},    {0.0001, "0.0001"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(number_text(c.value), QString::fromLatin1(c.text)) << c.text;
    EXPECT_FALSE(number_text(kInf).isEmpty());
    EXPECT_FALSE(number_text(kNaN).isEmpty());
}

TEST(Numbers, DisplayFormats)
{
    const struct {
        double value;
        const char* text;
    } volts[] = {
        {9.765625, "9.765"}, {2.4975586, "2.497"}, {0.0009765625, "0"},    {1.25, "1.25"}, {2, "2"},
        {0.001, "0.001"},    {-0.0005, "-0.001"},  {5.498046875, "5.498"},
    };
    for (const auto& c : volts)
        EXPECT_EQ(volt_text(c.value), QString::fromLatin1(c.text)) << c.text;
    EXPECT_FALSE(volt_text(1e306).isEmpty());
    EXPECT_FALSE(volt_text(kNaN).isEmpty());

    const struct {
        double code;
        const char* text;
    } codes[] = {
        {0, "0"},   {512, "200"}, {1023, "3FF"}, {1024, "400"},      {65535, "FFFF"},    {2.5, "2"},
        {3.5, "4"}, {-5, "0"},    {kNaN, "0"},   {1e20, "FFFFFFFF"}, {kInf, "FFFFFFFF"},
    };
    for (const auto& c : codes)
        EXPECT_EQ(code_text(c.code), QString::fromLatin1(c.text)) << c.text;
}

TEST(Numbers, IntegerConversionRoundsHalfToEvenAndRejectsOverflow)
{
    EXPECT_EQ(to_int16(2.5), 2);
    EXPECT_EQ(to_int16(3.5), 4);
    EXPECT_EQ(to_int16(-2.5), -2);
    EXPECT_EQ(to_int16(2.51), 3);
    EXPECT_EQ(to_int16(32767.4), 32767);
    EXPECT_EQ(to_int16(-32768.5), -32768);
    EXPECT_EQ(to_int16(32767.5), std::nullopt);
    EXPECT_EQ(to_int16(70000), std::nullopt);
    EXPECT_EQ(to_int16(kNaN), std::nullopt);
    EXPECT_EQ(to_int16(-kInf), std::nullopt);

    EXPECT_EQ(to_int32(115200), 115200);
    EXPECT_EQ(to_int32(-2147483648.5), -2147483647 - 1);
    EXPECT_EQ(to_int32(2147483647.5), std::nullopt);
    EXPECT_EQ(to_int32(1e10), std::nullopt);
    EXPECT_EQ(to_int32(kInf), std::nullopt);
}

} // namespace
