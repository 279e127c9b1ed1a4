#pragma once

#include <string>
#include <vector>

// Reads a RecordingPort's request string back as bus traffic, from the master's side only: SDA is what RTS
// drives (released = 1), sampled on SCL rising edges, nine bits a byte with the acknowledge slot last.
namespace bustrace {

struct Byte {
    int value = 0;
    bool ackLow = false; // SDA low in the acknowledge slot (the master acknowledged)
    int dsrReads = 0;    // DSR reads during the byte: 8 for a byte the master received
};

struct Frame {
    std::vector<Byte> bytes;
    bool stopped = false;

    std::vector<int> values() const
    {
        std::vector<int> out;
        for (const Byte& b : bytes)
            out.push_back(b.value);
        return out;
    }
};

// Splits the traffic at START and STOP conditions.
inline std::vector<Frame> decode(const std::string& requests)
{
    std::vector<Frame> frames;
    bool sda = true;
    bool scl = true;
    int bits = 0;
    Byte current;
    for (char c : requests) {
        if (c == 'R' || c == 'r') {
            const bool level = c == 'r';
            if (scl && level != sda) {
                if (!level) {
                    frames.emplace_back();
                    bits = 0;
                    current = Byte{};
                } else if (!frames.empty()) {
                    frames.back().stopped = true;
                }
            }
            sda = level;
        } else if (c == 'D' || c == 'd') {
            const bool level = c == 'd';
            if (!scl && level && !frames.empty() && !frames.back().stopped) {
                if (++bits <= 8) {
                    current.value = current.value << 1 | (sda ? 1 : 0);
                } else {
                    current.ackLow = !sda;
                    frames.back().bytes.push_back(current);
                    current = Byte{};
                    bits = 0;
                }
            }
            scl = level;
        } else if (c == 'S') {
            ++current.dsrReads;
        }
    }
    return frames;
}

// Empty when the requests form one clean transaction from an idle bus: SDA moves while SCL is high only for
// the START (before SCL first moves) and the final STOP, and both lines end released.
inline std::string violations(const std::string& requests)
{
    bool sda = true;
    bool scl = true;
    bool sclMoved = false;
    int starts = 0;
    int stops = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const char c = requests[i];
        const bool release = c == 'r' || c == 'd';
        if (c == 'R' || c == 'r') {
            if (release != sda) {
                if (stops > 0)
                    return "SDA moved after STOP at request " + std::to_string(i);
                if (scl && !release && (sclMoved || starts > 0))
                    return "SDA fell while SCL high at request " + std::to_string(i);
                starts += scl && !release;
                stops += scl && release;
            }
            sda = release;
        } else if (c == 'D' || c == 'd') {
            if (release != scl) {
                if (stops > 0)
                    return "SCL moved after STOP at request " + std::to_string(i);
                sclMoved = true;
            }
            scl = release;
        }
    }
    if (starts != 1 || stops != 1)
        return "expected one START and one STOP, got " + std::to_string(starts) + " and " +
               std::to_string(stops);
    if (!sda || !scl)
        return "lines not released at the end";
    return {};
}

} // namespace bustrace
