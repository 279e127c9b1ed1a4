#include "bus/device.h"
#include "bus/i2c_master.h"
#include "support/bus_trace.h"
#include "support/recording_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>

namespace {

// Expected requests, one token per primitive as the line-request tables list them: S start, 0/1 bit sent,
// A acknowledge clock, i bit received, M master acknowledge, N not-acknowledge and stop, P stop.
std::string expand(const std::string& shape)
{
    std::string out;
    for (char token : shape) {
        switch (token) {
        case 'S':
            out += "rdRd";
            break;
        case '0':
            out += "DRdRDR";
            break;
        case '1':
            out += "DrdrDr";
            break;
        case 'A':
            out += "rDrdrD";
            break;
        case 'i':
            out += "rDrDrdS";
            break;
        case 'M':
            out += "rDRDRdRD";
            break;
        case 'N':
            out += "rDrdrDRdrd";
            break;
        case 'P':
            out += "RDRdrd";
            break;
        default:
            break; // spaces group the shape for reading
        }
    }
    return out;
}

// DSR answers for a read of the given bytes: asserted (SDA low) for each 0 bit.
void answer(RecordingPort& port, std::vector<int> bytes)
{
    auto bit = std::make_shared<int>(0);
    port.dsrAnswer = [bytes, bit] {
        const int k = (*bit)++;
        return ((bytes.at(k / 8) >> (7 - k % 8)) & 1) == 0;
    };
}

using Action = std::function<void(bus::I2cMaster&)>;
using Ending = bus::I2cMaster::Ending;

struct Transaction {
    const char* name;
    Action run;
    const char* shape;
    std::size_t count;
};

TEST(I2cMaster, TransactionsIssueTheListedRequestsAndLeaveTheBusIdle)
{
    const Transaction cases[] = {
        {"write pointer", [](auto& m) { m.i2cWritePointer("11101000", "00000010"); },
         "S 11101000 A 00000010 A P", 118},
        {"read word", [](auto& m) { m.i2cReadWord("11101001"); }, "S 11101001 A iiiiiiii M iiiiiiii N", 188},
        {"write word, delayed stop",
         [](auto& m) { m.i2cWriteWord("11101000", "00000010", "01000010", "10100101", Ending::DelayedStop); },
         "S 11101000 A 00000010 A 01000010 A 10100101 A P", 226},
        {"write word, pause then delayed stop",
         [](auto& m) {
             m.i2cWriteWord("11101000", "00000010", "10000010", "10100101", Ending::PauseThenDelayedStop);
         },
         "S 11101000 A 00000010 A 10000010 A 10100101 A P", 226},
        {"general call reset", [](auto& m) { bus::resetChip(m); }, "S 00000000 1 00000110 1 P", 118},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPort port;
        bus::I2cMaster master(port);
        c.run(master);
        EXPECT_EQ(port.requests, expand(c.shape));
        EXPECT_EQ(port.requests.size(), c.count);
        EXPECT_EQ(bustrace::violations(port.requests), "");
    }
}

TEST(I2cMaster, DelayedPrimitivesMakeTheSameRequestsAsTheirPlainTwins)
{
    const std::pair<Action, const char*> cases[] = {
        {[](auto& m) { m.i2cStartDelayed(); }, "S"},    {[](auto& m) { m.i2cSendBitDelayed(1); }, "1"},
        {[](auto& m) { m.i2cSendBitDelayed(0); }, "0"}, {[](auto& m) { m.i2cSendBitDelayed(2); }, "0"},
        {[](auto& m) { m.i2cStopDelayed(); }, "P"},
    };
    for (const auto& [run, shape] : cases) {
        RecordingPort port;
        bus::I2cMaster master(port);
        run(master);
        EXPECT_EQ(port.requests, expand(shape));
    }
}

TEST(I2cMaster, ByteTextsCountOnlyAnExactOneAndUseEightCharacters)
{
    const std::pair<QString, int> cases[] = {
        {"1110100", 0xE8},   // seven characters: the eighth bit is 0
        {"111010001", 0xE8}, // nine: the ninth is dropped
        {"1x1a1020", 0xA8},  // anything but '1' is 0
        {"", 0x00},          {"11111111", 0xFF},
    };
    for (const auto& [text, byte] : cases) {
        SCOPED_TRACE(text.toStdString());
        RecordingPort port;
        bus::I2cMaster master(port);
        master.i2cWritePointer(text, "1");
        const auto frames = bustrace::decode(port.requests);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].values(), (std::vector<int>{byte, 0x80}));
    }
}

TEST(I2cMaster, ReadValueIsTheWordDsrShowed)
{
    RecordingPort port;
    bus::I2cMaster master(port);
    master.i2cReadWord("11101001");
    EXPECT_EQ(master.readValue, 65535);

    port.dsrAnswer = [] { return true; };
    master.i2cReadWord("11101001");
    EXPECT_EQ(master.readValue, 0);

    // A second read overwrites every received bit and the value.
    answer(port, {0x01, 0x02});
    master.i2cReadWord("11101001");
    EXPECT_EQ(master.readValue, 258);
    const std::array<int, 17> expected{0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), master.rxBits.begin()));
}

TEST(I2cMaster, ShorterTransactionKeepsLaterTxBits)
{
    RecordingPort port;
    bus::I2cMaster master(port);
    master.i2cWriteWord("11101000", "00000010", "11111111", "11111111", Ending::DelayedStop);
    master.i2cWritePointer("11101000", "00000011");
    EXPECT_EQ(master.txBits[16], 1);
    EXPECT_EQ(std::count(master.txBits.begin() + 17, master.txBits.begin() + 33, 1), 16);
    EXPECT_EQ(bustrace::decode(port.requests).back().values(), (std::vector<int>{0xE8, 0x03}));
}

TEST(I2cMaster, FailingLineRequestEndsTheTransaction)
{
    const Action cases[] = {
        [](auto& m) { m.i2cWritePointer("11101000", "00000010"); },
        [](auto& m) { m.i2cReadWord("11101001"); },
        [](auto& m) { bus::writeDacRegister(m, "10100101", "00000010", "11101000", "00000010"); },
        [](auto& m) { bus::resetChip(m); },
    };
    for (const auto& run : cases) {
        RecordingPort port;
        bus::I2cMaster master(port);
        port.failAfter = 60;
        EXPECT_THROW(run(master), serial::PortError);
        EXPECT_EQ(port.requests.size(), 60u);
    }
}

struct DeviceCase {
    const char* name;
    Action run;
    std::vector<std::vector<int>> frames;
};

TEST(Device, FramesOnTheBus)
{
    const QString low = "10100101"; // code 0x2A5 into channel 3 (register 2)
    const QString high = "00000010";
    const QString reg2 = "00000010";
    const DeviceCase cases[] = {
        {"DAC write, A0 0",
         [&](auto& m) { bus::writeDacRegister(m, low, high, bus::writeAddress("0"), reg2); },
         {{0xE8, 0x02, 0x82, 0xA5}}},
        {"DAC write, A0 1",
         [&](auto& m) { bus::writeDacRegister(m, low, high, bus::writeAddress("1"), reg2); },
         {{0xEA, 0x02, 0x82, 0xA5}}},
        {"OTP program",
         [&](auto& m) { bus::programOtpRegister(m, low, high, bus::writeAddress("0"), reg2); },
         {{0xE8, 0x02, 0x42, 0xA5}}},
        {"DAC 1023",
         [&](auto& m) { bus::writeDacRegister(m, "11111111", "00000011", "11101000", reg2); },
         {{0xE8, 0x02, 0x83, 0xFF}}},
        {"OTP 1023",
         [&](auto& m) { bus::programOtpRegister(m, "11111111", "00000011", "11101000", reg2); },
         {{0xE8, 0x02, 0x43, 0xFF}}},
        {"DAC 0",
         [&](auto& m) { bus::writeDacRegister(m, "00000000", "00000000", "11101000", reg2); },
         {{0xE8, 0x02, 0x80, 0x00}}},
        {"OTP 0",
         [&](auto& m) { bus::programOtpRegister(m, "00000000", "00000000", "11101000", reg2); },
         {{0xE8, 0x02, 0x40, 0x00}}},
        {"short high text pads byte 3",
         [&](auto& m) { bus::writeDacRegister(m, low, "1", "11101000", reg2); },
         {{0xE8, 0x02, 0x90, 0xA5}}},
        {"channel 24 read",
         [](auto& m) { bus::readRegister(m, "1", "10111"); },
         {{0xEA, 0x17}, {0xEB, 0xFF, 0xFF}}},
        {"bank status read",
         [](auto& m) { bus::readBankStatusWord(m, "0"); },
         {{0xE8, 0x3F}, {0xE9, 0xFF, 0xFF}}},
        {"A0 '2' sends a 0 bit",
         [](auto& m) { bus::readRegister(m, "2", "00000"); },
         {{0xE8, 0x00}, {0xE9, 0xFF, 0xFF}}},
        {"two-character A0 pushes out the direction",
         [](auto& m) { bus::readRegister(m, "11", "00000"); },
         {{0xEB, 0x00}, {0xEB, 0xFF, 0xFF}}},
        {"general call", [](auto& m) { bus::resetChip(m); }, {{0x00, 0x06}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPort port;
        bus::I2cMaster master(port);
        c.run(master);
        std::vector<std::vector<int>> frames;
        for (const auto& frame : bustrace::decode(port.requests)) {
            EXPECT_TRUE(frame.stopped);
            frames.push_back(frame.values());
        }
        EXPECT_EQ(frames, c.frames);
    }
}

TEST(Device, ReadBackAcknowledgesTheHighByteOnlyAndKeepsTheRawWord)
{
    RecordingPort port;
    bus::I2cMaster master(port);
    answer(port, {0x82, 0xA5});
    EXPECT_EQ(bus::readRegister(master, "0", "00010"), 33445);

    const auto frames = bustrace::decode(port.requests);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(bustrace::violations(port.requests.substr(0, 118)), "");
    EXPECT_EQ(bustrace::violations(port.requests.substr(118)), "");
    const auto& read = frames[1].bytes;
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].dsrReads, 0);
    EXPECT_EQ(read[1].dsrReads, 8);
    EXPECT_TRUE(read[1].ackLow);
    EXPECT_EQ(read[2].dsrReads, 8);
    EXPECT_FALSE(read[2].ackLow);
}

} // namespace
