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

// Expected requests, one token per primitive: S start, 0/1 bit sent, A acknowledge clock, a the probe's
// acknowledge clock with its one look at DSR, i bit received, M master acknowledge, N not-acknowledge and
// stop, P stop. Spaces only group the shape for reading.
std::string expand(const std::string& shape)
{
    static const std::map<char, std::string> parts = {
        {'S', "rdRd"},    {'0', "DRdRDR"},   {'1', "DrdrDr"},     {'A', "rDrdrD"}, {'a', "rDrdSrD"},
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

TEST(I2cMaster, TransactionsIssueTheListedRequestsAndMoveSdaOnlyWhileSclIsLow)
{
    const std::pair<Action, const char*> cases[] = {
        {[](auto& m) { m.i2cWritePointer("11101000", "00000010"); }, "S 11101000 A 00000010 A P"},
        {[](auto& m) { m.i2cReadWord("11101001"); }, "S 11101001 A iiiiiiii M iiiiiiii N"},
        {[](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101000", "00000010"); },
         "S 11101000 A 00000010 A 10000010 A 10100101 A P"},
        {[](auto& m) { bus::resetChip(m); }, "S 00000000 1 00000110 1 P"},
        {[](auto& m) { m.probe("11101000"); }, "S 11101000 a P"},
    };
    for (const auto& [run, shape] : cases)
        EXPECT_EQ(requestsOf(run), expand(shape)) << shape;
}

// Register writes as bytes on the bus, and how a byte text is read: only an exact '1' counts, and only its
// first eight characters, padded with 0.
TEST(Device, BytesOnTheBus)
{
    const QString low = "10100101", high = "00000010", reg2 = "00000010"; // code 0x2A5 into register 2
    const std::pair<Action, Frames> cases[] = {
        {[&](auto& m) { bus::writeDacRegister(m, low, high, bus::writeAddress("1"), reg2); },
         {{0xEA, 0x02, 0x82, 0xA5}}},
        {[&](auto& m) { bus::programOtpRegister(m, low, high, bus::writeAddress("0"), reg2); },
         {{0xE8, 0x02, 0x42, 0xA5}}},
        {[](auto& m) { m.i2cWritePointer("1110100", "111010001"); }, {{0xE8, 0xE8}}},
        {[](auto& m) { m.i2cWritePointer("1x1a1020", "1"); }, {{0xA8, 0x80}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(bustrace::decode(requestsOf(cases[i].first)), cases[i].second) << "case " << i;
}

} // namespace
