#pragma once

#include "bus_trace.h"
#include "serial/serial_port.h"

#include <string>
#include <utility>
#include <vector>

// Sits between the program and a real port object (the simulated board) and notes every line request in
// RecordingPort's letters, so a test can decode what went over the bus while the board answers for real.
class TapPort : public serial::SerialPort {
public:
    explicit TapPort(serial::SerialPort& inner) : inner_(inner) {}

    std::string requests;
    long failAt = -1; // the line request with this index fails, as a pulled adapter would

    void open(int n) override { inner_.open(n); }
    void close() override { inner_.close(); }
    bool isOpen() const override { return inner_.isOpen(); }
    int portNumber() const override { return inner_.portNumber(); }
    void setLineSettings(qint32 rate) override { inner_.setLineSettings(rate); }
    QString lineSettings() const override { return inner_.lineSettings(); }
    void setTimeouts(const serial::Timeouts& t) override { inner_.setTimeouts(t); }
    void setRts(bool a) override
    {
        note(a ? 'R' : 'r');
        inner_.setRts(a);
    }
    void setDtr(bool a) override
    {
        note(a ? 'D' : 'd');
        inner_.setDtr(a);
    }
    bool dsr() override
    {
        note('S');
        return inner_.dsr();
    }
    void write(const QByteArray& bytes) override { inner_.write(bytes); }

    // (register, code) of every DAC write since the last clear(), in order.
    std::vector<std::pair<int, int>> dacWrites() const { return registerWrites(0b100); }
    std::vector<std::pair<int, int>> otpWrites() const { return registerWrites(0b010); }
    std::vector<int> dacCodes() const
    {
        std::vector<int> codes;
        for (const auto& w : dacWrites())
            codes.push_back(w.second);
        return codes;
    }
    void clear() { requests.clear(); }

private:
    void note(char c)
    {
        if (failAt >= 0 && static_cast<long>(requests.size()) >= failAt)
            throw serial::PortError(serial::PortFailure::Io, QStringLiteral("set line"),
                                    QStringLiteral("Input/output error"));
        requests.push_back(c);
    }

    std::vector<std::pair<int, int>> registerWrites(int command) const
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& frame : bustrace::decode(requests)) {
            const auto v = frame.values();
            if (v.size() == 4 && (v[0] & 1) == 0 && v[0] != 0 && (v[2] >> 5) == command)
                out.emplace_back(v[1], (v[2] & 3) << 8 | v[3]);
        }
        return out;
    }

    serial::SerialPort& inner_;
};
