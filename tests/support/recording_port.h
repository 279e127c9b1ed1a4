// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "bus_trace.h"
#include "serial/serial_port.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

// A port that records every line request as one character: 'R'/'r' RTS asserted/de-asserted, 'D'/'d' DTR
// asserted/de-asserted, 'S' a DSR read. Given an inner port (the simulated board) it passes everything on, so
// the board answers for real; alone, DSR answers come from a function (default: never asserted). From the
// request with index failAfter on, every request fails as a pulled adapter would.
class RecordingPort : public serial::SerialPort {
public:
    explicit RecordingPort(serial::SerialPort* inner = nullptr) : inner_(inner) {}

    std::string requests;
    std::function<bool()> dsrAnswer = [] { return false; };
    long failAfter = -1;

    void open(int n) override { inner_ ? inner_->open(n) : void((open_ = true, number_ = n)); }
    void close() override { inner_ ? inner_->close() : void(open_ = false); }
    bool isOpen() const override { return inner_ ? inner_->isOpen() : open_; }
    int portNumber() const override { return inner_ ? inner_->portNumber() : number_; }
    bool exists(int n) const override { return inner_ ? inner_->exists(n) : n == number_; }
    void setLineSettings(qint32 rate) override
    {
        inner_ ? inner_->setLineSettings(rate) : void(rate_ = rate);
    }
    QString lineSettings() const override
    {
        return inner_ ? inner_->lineSettings() : QString::number(rate_) + QStringLiteral(",N,8,1");
    }
    void setTimeouts(const serial::Timeouts& t) override { inner_ ? inner_->setTimeouts(t) : void(); }
    void setRts(bool a) override { record(a ? 'R' : 'r'), inner_ ? inner_->setRts(a) : void(); }
    void setDtr(bool a) override { record(a ? 'D' : 'd'), inner_ ? inner_->setDtr(a) : void(); }
    bool dsr() override { return record('S'), inner_ ? inner_->dsr() : dsrAnswer(); }
    void write(const QByteArray& bytes) override { inner_ ? inner_->write(bytes) : void(); }

    // (register, code) of every DAC or OTP write since the last clear(), in order.
    std::vector<std::pair<int, int>> dacWrites() const { return registerWrites(0b100); }
    std::vector<std::pair<int, int>> otpWrites() const { return registerWrites(0b010); }
    void clear() { requests.clear(); }

private:
    void record(char c)
    {
        if (failAfter >= 0 && static_cast<long>(requests.size()) >= failAfter)
            throw serial::PortError(serial::PortFailure::Io, QStringLiteral("set line"),
                                    QStringLiteral("Input/output error"));
        requests.push_back(c);
    }
    std::vector<std::pair<int, int>> registerWrites(int command) const
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& v : bustrace::decode(requests))
            if (v.size() == 4 && (v[0] & 1) == 0 && v[0] != 0 && (v[2] >> 5) == command)
                out.emplace_back(v[1], (v[2] & 3) << 8 | v[3]);
        return out;
    }
    serial::SerialPort* inner_;
    bool open_ = true;
    int number_ = 1;
    qint32 rate_ = 9600;
};
