// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "bus/device.h"
#include "bus/i2c_master.h"
#include "support/bus_trace.h"
#include "support/recording_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

using Action = std::function<void(bus::I2cMaster&)>;
using Frames = std::vector<std::vector<int>>;

// Expected requests, one token per primitive: S start, 0/1 bit sent, A acknowledge clock, i bit received,
// M master acknowledge, N not-acknowledge and stop, P stop. Spaces only group the shape for reading.
std::string expand(const std::string& shape)
{
    static const std::map<char, std::string> parts = {
        {'S', "rdRd"},    {'0', "DRdRDR"},   {'1', "DrdrDr"},     {'A', "rDrdrD"},
        {'i', "rDrDrdS"}, {'M', "rDRDRdRD"}, {'N', "rDrdrDRdrd"}, {'P', "RDRdrd"}};
    std::string out;
    for (char token : shape)
        out += token == ' ' ? std::string() : parts.at(token);
    return out;
}

std::string requestsOf(const Action& run)
{
    RecordingPort port;
    bus::I2cMaster master(port);
    run(master);
    return port.requests;
}

Frames framesOf(const Action& run)
{
    return bustrace::decode(requestsOf(run));
}

TEST(I2cMaster, TransactionsIssueTheListedRequestsAndMoveSdaOnlyWhileSclIsLow)
{
    const struct {
        Action run;
        const char* shape;
    } cases[] = {
        {[](auto& m) { m.i2cWritePointer("11101000", "00000010"); }, "S 11101000 A 00000010 A P"},
        {[](auto& m) { m.i2cReadWord("11101001"); }, "S 11101001 A iiiiiiii M iiiiiiii N"},
        {[](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101000", "00000010"); },
         "S 11101000 A 00000010 A 10000010 A 10100101 A P"},
        {[](auto& m) { bus::resetChip(m); }, "S 00000000 1 00000110 1 P"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(requestsOf(c.run), expand(c.shape)) << c.shape;
}

TEST(I2cMaster, ByteTextsCountOnlyAnExactOneAndUseEightCharacters)
{
    const std::pair<QString, int> cases[] = {{"1110100", 0xE8}, {"111010001", 0xE8}, {"1x1a1020", 0xA8}};
    for (const auto& [text, byte] : cases)
        EXPECT_EQ(framesOf([&](auto& m) { m.i2cWritePointer(text, "1"); }), (Frames{{byte, 0x80}}))
            << text.toStdString();
}

TEST(I2cMaster, ReadValueIsTheWordDsrShowedAndAFailingRequestPropagates)
{
    RecordingPort port;
    bus::I2cMaster master(port);
    for (int word : {65535, 0, 258}) {
        // DSR asserted means SDA low: a 0 bit. 65535 never asserts it, 0 always does.
        port.dsrAnswer = [word, k = 0]() mutable { return k < 16 && ((word >> (15 - k++)) & 1) == 0; };
        master.i2cReadWord("11101001");
        EXPECT_EQ(master.readValue, word);
    }
    for (const Action& run :
         {Action([](auto& m) { m.i2cReadWord("11101001"); }), Action([](auto& m) { bus::resetChip(m); })}) {
        RecordingPort failing;
        failing.failAfter = 60;
        bus::I2cMaster m(failing);
        EXPECT_THROW(run(m), serial::PortError);
        EXPECT_EQ(failing.requests.size(), 60u);
    }
}

TEST(Device, BytesOnTheBus)
{
    const QString low = "10100101"; // code 0x2A5 into channel 3 (register 2)
    const QString high = "00000010";
    const QString reg2 = "00000010";
    const std::pair<Action, Frames> cases[] = {
        {[&](auto& m) { bus::writeDacRegister(m, low, high, bus::writeAddress("0"), reg2); },
         {{0xE8, 0x02, 0x82, 0xA5}}},
        {[&](auto& m) { bus::writeDacRegister(m, low, high, bus::writeAddress("1"), reg2); },
         {{0xEA, 0x02, 0x82, 0xA5}}},
        {[&](auto& m) { bus::programOtpRegister(m, low, high, bus::writeAddress("0"), reg2); },
         {{0xE8, 0x02, 0x42, 0xA5}}},
        {[&](auto& m) { bus::writeDacRegister(m, "11111111", "00000011", "11101000", reg2); },
         {{0xE8, 0x02, 0x83, 0xFF}}},
        {[&](auto& m) { bus::writeDacRegister(m, "00000000", "00000000", "11101000", reg2); },
         {{0xE8, 0x02, 0x80, 0x00}}},
        {[](auto& m) { bus::readRegister(m, "0", "00010"); }, {{0xE8, 0x02}, {0xE9, 0xFF, 0xFF}}},
        {[](auto& m) { bus::readRegister(m, "1", "10111"); }, {{0xEA, 0x17}, {0xEB, 0xFF, 0xFF}}},
        {[](auto& m) { bus::readBankStatusWord(m, "0"); }, {{0xE8, 0x3F}, {0xE9, 0xFF, 0xFF}}},
        {[](auto& m) { bus::resetChip(m); }, {{0x00, 0x06}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(framesOf(cases[i].first), cases[i].second) << "case " << i;
}

} // namespace
