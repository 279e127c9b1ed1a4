#include "serial/tracing_port.h"
#include "support/recording_port.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

namespace {

// Reads the dump as a viewer would: declarations up to $enddefinitions, then rising times and value changes
// of declared 1-bit wires. Returns (scl, sda) after each time step from #1 on.
std::vector<std::pair<int, int>> parseVcd(const QByteArray& text)
{
    std::map<QByteArray, QByteArray> ids; // wire name -> identifier
    std::map<QByteArray, int> level;      // identifier -> value
    std::vector<std::pair<int, int>> steps;
    long lastTime = -1;
    bool definitions = true;
    const auto endStep = [&] {
        if (lastTime > 0)
            steps.emplace_back(level[ids["scl"]], level[ids["sda"]]);
    };
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        const QList<QByteArray> words = line.split(' ');
        if (line.isEmpty() || line == "$dumpvars" || line == "$end")
            continue;
        if (definitions) {
            EXPECT_TRUE(line.startsWith('$') && words.back() == "$end") << line.constData();
            if (words[0] == "$var" && words.size() == 6 && words[1] == "wire" && words[2] == "1")
                ids[words[4]] = words[3];
            definitions = words[0] != "$enddefinitions";
        } else if (line.startsWith('#')) {
            bool ok = false;
            const long time = line.mid(1).toLong(&ok);
            EXPECT_TRUE(ok && time > lastTime) << line.constData();
            endStep();
            lastTime = time;
        } else {
            const QByteArray id = line.mid(1);
            EXPECT_TRUE((line[0] == '0' || line[0] == '1') && (id == ids["scl"] || id == ids["sda"]))
                << line.constData();
            level[id] = line[0] - '0';
        }
    }
    EXPECT_FALSE(ids["scl"].isEmpty() || ids["sda"].isEmpty()) << "wires scl and sda declared";
    endStep();
    return steps;
}

} // namespace

// The lines are active-low on the bus: asserting DTR pulls SCL low, and a DSR read shows the level read.
TEST(TracingPort, EveryLineRequestIsOneStepOfBusLevels)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("bus.vcd");
    RecordingPort inner;
    int reads = 0;
    inner.dsrAnswer = [&] { return ++reads == 1; };
    {
        serial::TracingPort port(inner, path);
        port.setDtr(true);
        port.setRts(false);
        EXPECT_TRUE(port.dsr());
        port.setDtr(false);
        EXPECT_FALSE(port.dsr());
        port.setRts(true);
        port.setRts(true);
    }
    EXPECT_EQ(inner.requests, "DrSdSRR");

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.startsWith("$timescale 1us $end"));
    const std::vector<std::pair<int, int>> expected{{0, 1}, {0, 1}, {0, 0}, {1, 1}, {1, 1}, {1, 0}, {1, 0}};
    EXPECT_EQ(parseVcd(text), expected);
}
