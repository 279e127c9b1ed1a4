#include "model/channel_model.h"

#include "bus/device.h"
#include "sim/simulated_board.h"

#include "support/bus_trace.h"
#include "support/fake_grid.h"
#include "support/recording_port.h"

#include "support/qstring_printer.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

using namespace model;

namespace {

struct DacWrite {
    int channel;
    int code;
    bool operator==(const DacWrite&) const = default;
};

struct Rig {
    RecordingPort port;
    bus::I2cMaster i2c{port};
    ChannelModel model{i2c};
    FakeGrid grid{model};

    explicit Rig(double reference = 10)
    {
        model.vref_high_cur = reference;
        model.setGrid(&grid);
    }

    // Puts codes into the model and shows them, then forgets the traffic that took.
    void show(std::initializer_list<std::pair<int, double>> codes)
    {
        for (auto [channel, c] : codes)
            model.code[channel] = c;
        model.refresh_channels();
        port.requests.clear();
    }

    // Register writes seen on the wires, decoded from the line requests.
    std::vector<DacWrite> writes() const
    {
        std::vector<DacWrite> out;
        for (const auto& frame : bustrace::decode(port.requests)) {
            const auto b = frame.values();
            if (b.size() == 4 && (b[0] & 1) == 0 && b[2] >> 5 == 0b100)
                out.push_back({b[1] + 1, (b[2] & 3) << 8 | b[3]});
        }
        return out;
    }
};

TEST(ChannelModel, VoltToCodeClampsAndScalesBy1024)
{
    const struct {
        const char* text;
        double volt;
        double code;
    } cases[] = {
        {"1.25", 1.25, 512}, {"2.5", 2.5, 1024}, {"2.497", 2.497, 1023},    {"3", 2.5, 1024},
        {"-1", 0, 0},        {"abc", 0, 0},      {"2.4995V", 2.4995, 1024},
    };
    for (const auto& c : cases) {
        Rig rig(2.5);
        rig.grid.volts[4] = QString::fromLatin1(c.text);
        rig.model.cur_chan = 5;
        rig.model.volt_to_code();
        EXPECT_DOUBLE_EQ(rig.model.volt[5], c.volt) << c.text;
        EXPECT_EQ(rig.model.code[5], c.code) << c.text;
    }
}

TEST(ChannelModel, ReferenceWithoutRangeConvertsNothing)
{
    const struct {
        double reference;
        const char* shown1;
        const char* shown2;
    } cases[] = {
        {0, "0", "0"},
        {-2.5, "-1.709", "-2.5"},
        {std::numeric_limits<double>::infinity(), "0", "0"},
        {std::numeric_limits<double>::quiet_NaN(), "0", "0"},
    };
    for (const auto& c : cases) {
        Rig rig(c.reference);
        rig.model.code = {0, 700, 2000};
        rig.model.volt[1] = 3;
        rig.grid.volts[0] = QStringLiteral("1.25");
        rig.model.cur_chan = 1;
        rig.model.volt_to_code();
        EXPECT_EQ(rig.model.code[1], 700) << c.reference;
        EXPECT_EQ(rig.model.volt[1], 3) << c.reference;

        // The cascade of the refresh converts nothing either: the writes repeat the old codes.
        rig.model.refresh_channels();
        EXPECT_EQ(rig.grid.volts[0], QString::fromLatin1(c.shown1)) << c.reference;
        EXPECT_EQ(rig.grid.volts[1], QString::fromLatin1(c.shown2)) << c.reference;
        EXPECT_EQ(rig.writes().front(), (DacWrite{1, 700})) << c.reference;
        EXPECT_EQ(rig.model.code[2], 2000) << c.reference;
    }
}

TEST(ChannelModel, BitStrings)
{
    Rig rig;
    ChannelModel& m = rig.model;
    m.decmal_to_binary8(23);
    EXPECT_EQ(m.bits_result, QStringLiteral("00010111"));
    m.decmal_to_binary8(255);
    EXPECT_EQ(m.bits_result, QStringLiteral("11111111"));
    m.decmal_to_binary5(23);
    EXPECT_EQ(m.bits_result, QStringLiteral("10111"));
    EXPECT_THROW(m.decmal_to_binary8(256), FatalError);

    const struct {
        double code;
        const char* high;
        const char* low;
    } cases[] = {
        {677, "00000010", "10100101"},
        {0, "00000000", "00000000"},
        {1023, "00000011", "11111111"},
        {1024, "00000011", "11111111"},
        {65535, "00000011", "11111111"},
        {-3, "00000000", "00000000"},
        {std::numeric_limits<double>::quiet_NaN(), "00000000", "00000000"},
    };
    for (const auto& c : cases) {
        m.code_to_binary10(c.code);
        EXPECT_EQ(m.bits_high, QString::fromLatin1(c.high)) << c.code;
        EXPECT_EQ(m.bits_low, QString::fromLatin1(c.low)) << c.code;
    }
}

TEST(ChannelModel, RefreshShowsCodesAndStoresTheReferenceInTheA0Bank)
{
    Rig rig(2.5);
    rig.model.vref_high = {1, 2};
    rig.model.a0_state = QStringLiteral("1");
    rig.show({{1, 512}, {2, 1024}, {3, 1023}, {4, 65535}});
    EXPECT_EQ(rig.grid.volts[0], QStringLiteral("1.25"));
    EXPECT_EQ(rig.grid.codes[0], QStringLiteral("200"));
    EXPECT_EQ(rig.grid.volts[1], QStringLiteral("2.5"));
    EXPECT_EQ(rig.grid.codes[1], QStringLiteral("400"));
    EXPECT_EQ(rig.grid.volts[2], QStringLiteral("2.497"));
    EXPECT_EQ(rig.grid.codes[2], QStringLiteral("3FF"));
    EXPECT_EQ(rig.grid.volts[3], QStringLiteral("2.5"));
    EXPECT_EQ(rig.grid.codes[3], QStringLiteral("FFFF"));
    EXPECT_EQ(rig.model.vref_high[0], 1);
    EXPECT_EQ(rig.model.vref_high[1], 2.5);

    // Any A0 text other than "0" selects bank 1.
    rig.model.a0_state = QStringLiteral("2");
    rig.model.vref_high_cur = 4;
    rig.model.refresh_channels();
    EXPECT_EQ(rig.model.vref_high[0], 1);
    EXPECT_EQ(rig.model.vref_high[1], 4);
    EXPECT_EQ(rig.grid.panelRefreshes, 0);
    rig.model.panel_open = 1;
    rig.model.refresh_channels();
    EXPECT_EQ(rig.grid.panelRefreshes, 1);
}

TEST(ChannelModel, RefreshCascadeWritesOnlyChangedRowsAndMovesCurChan)
{
    Rig rig(10);
    rig.show({{3, 100}, {7, 200}, {20, 300}});
    rig.model.cur_chan = 1;
    rig.model.refresh_channels();
    EXPECT_TRUE(rig.writes().empty());
    EXPECT_EQ(rig.model.cur_chan, 1);

    rig.model.code[3] = 101;
    rig.model.code[7] = 650;
    rig.model.refresh_channels();
    EXPECT_EQ(rig.writes(), (std::vector<DacWrite>{{3, 101}, {7, 650}}));
    EXPECT_EQ(rig.model.cur_chan, 7);
}

TEST(ChannelModel, RefreshReconvertsTheShownTextBelow2V)
{
    // With 1 V half a step is below the 1 mV the box shows: code 1 shows as 0 and becomes 0.
    Rig rig(1);
    rig.grid.volts[0] = QStringLiteral("0.5");
    rig.model.code[1] = 1;
    rig.model.refresh_channels();
    EXPECT_EQ(rig.grid.volts[0], QStringLiteral("0"));
    EXPECT_EQ(rig.model.code[1], 0);
    EXPECT_EQ(rig.writes().front(), (DacWrite{1, 0}));
    EXPECT_EQ(rig.grid.codes[0], QStringLiteral("1")); // the code box was written before the cascade
}

TEST(ChannelModel, StepCurrentCode)
{
    const struct {
        const char* name;
        double reference;
        double code;
        int delta;
        const char* volt;
        const char* codeBox;
        std::vector<DacWrite> writes;
    } cases[] = {
        {"up from 1000", 10, 1000, +1, "9.775", "3E9", {{5, 1001}}},
        {"down at 0", 10, 0, -1, "0", "0", {}},
        {"up at 1023", 10, 1023, +1, "9.99", "3FF", {}},
        {"up from a dead bus", 10, 65535, +1, "9.99", "3FF", {{5, 1023}}},
        // The shown text is re-converted and clamped: the code box shows what the code became.
        {"down from a dead bus", 10, 65535, -1, "639.98", "400", {{5, 1023}}},
        {"up below one step of text", 1, 0, +1, "0", "1", {}},
    };
    for (const auto& c : cases) {
        Rig rig(c.reference);
        rig.show({{5, c.code}});
        rig.model.code[5] = c.code; // as a read-back leaves it, before the cascade re-converts the text
        rig.model.cur_chan = 5;
        rig.model.step_current_code(c.delta);
        EXPECT_EQ(rig.grid.volts[4], QString::fromLatin1(c.volt)) << c.name;
        EXPECT_EQ(rig.grid.codes[4], QString::fromLatin1(c.codeBox)) << c.name;
        EXPECT_EQ(rig.writes(), c.writes) << c.name;
    }

    // 1 V: the second step reaches 0.001, which converts back to code 1.
    Rig rig(1);
    rig.show({});
    rig.model.cur_chan = 1;
    rig.model.step_current_code(+1);
    rig.model.step_current_code(+1);
    EXPECT_EQ(rig.grid.volts[0], QStringLiteral("0.001"));
    EXPECT_EQ(rig.grid.codes[0], QStringLiteral("1"));
    EXPECT_EQ(rig.writes(), (std::vector<DacWrite>{{1, 1}}));
}

TEST(ChannelModel, ReadAllChannelsFromADeadBus)
{
    Rig measure;
    measure.model.write_current_channel();
    const auto perWrite = measure.port.requests.size();

    Rig rig(2.5);
    rig.model.a0_state = QStringLiteral("1");
    rig.model.readAllChannels();
    EXPECT_EQ(rig.grid.maxBank, QStringLiteral("65535"));
    // Every word read 65535 and shows as the reference; the text changed, so each row was converted back
    // (1024) and written once (as 1023). The code box keeps the word read.
    for (int n = 1; n <= 24; ++n) {
        EXPECT_EQ(rig.grid.volts[n - 1], QStringLiteral("2.5")) << n;
        EXPECT_EQ(rig.grid.codes[n - 1], QStringLiteral("FFFF")) << n;
        EXPECT_EQ(rig.model.code[n], 1024) << n;
    }
    // 25 pointer writes and word reads (7,650 line requests), then the 24 writes of the cascade.
    EXPECT_EQ(rig.port.requests.size(), 7650 + 24 * perWrite);
    EXPECT_EQ(rig.writes().size(), 24u);
    EXPECT_EQ(rig.model.cur_chan, 24);
}

TEST(ChannelModel, RoundTripWithTheBoard)
{
    sim::SimulatedBoard board;
    board.open(1);
    bus::I2cMaster i2c(board);
    ChannelModel model(i2c);
    FakeGrid grid(model);
    model.setGrid(&grid);
    model.a0_state = QStringLiteral("1");
    sim::SimulatedChip& chip = *board.chip(0x75);
    for (int reg = 0; reg < 24; ++reg)
        chip.setDacRegister(reg, static_cast<quint16>(reg * 40 + 3));

    model.readAllChannels();
    for (int n = 1; n <= 24; ++n)
        EXPECT_EQ(model.code[n], (n - 1) * 40 + 3) << n; // 10 V: the cascade converts back to the same code
    EXPECT_EQ(grid.codes[23], QStringLiteral("39B"));
    EXPECT_EQ(grid.maxBank, QStringLiteral("0"));

    grid.type(18, QStringLiteral("5")); // row "c1"
    EXPECT_EQ(chip.dacRegister(18), 512);
    EXPECT_EQ(board.chip(0x74)->dacRegister(18), 0);

    model.write_all_channels_otp();
    bus::resetChip(i2c);
    model.readBankStatus();
    EXPECT_EQ(grid.maxBank, QStringLiteral("1"));
    EXPECT_EQ(chip.otpCode(0, 18), 512);
    EXPECT_EQ(chip.otpCode(0, 23), 23 * 40 + 3);
}

TEST(ChannelModel, WorksWithoutAGrid)
{
    Rig rig;
    rig.model.setGrid(nullptr);
    rig.model.code[2] = 300;
    rig.model.cur_chan = 2;
    rig.model.volt_to_code();
    rig.model.step_current_code(+1);
    rig.model.readBankStatus();
    rig.model.refresh_channels();
    EXPECT_EQ(rig.model.code[2], 301);
    EXPECT_DOUBLE_EQ(rig.model.volt[2], 301 * 10.0 / 1024);
}

} // namespace
