#pragma once

#include "serial/serial_port.h"

#include <functional>
#include <string>
#include <vector>

// A port that records every line request as one character: 'R'/'r' RTS asserted/de-asserted, 'D'/'d' DTR
// asserted/de-asserted, 'S' a DSR read. DSR answers come from a function (default: never asserted); a request
// can be made to fail after a given count, to check how failures travel.
class RecordingPort : public serial::SerialPort {
public:
    std::string requests;
    QByteArray written;
    std::function<bool()> dsrAnswer = [] { return false; };
    long failAfter = -1; // the request with this index (0-based) throws

    void open(int n) override { open_ = true, number_ = n; }
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    int portNumber() const override { return number_; }
    void setLineSettings(qint32 rate) override { rate_ = rate; }
    QString lineSettings() const override { return QString::number(rate_) + QStringLiteral(",N,8,1"); }
    void setTimeouts(const serial::Timeouts&) override {}
    void setRts(bool a) override { record(a ? 'R' : 'r'); }
    void setDtr(bool a) override { record(a ? 'D' : 'd'); }
    bool dsr() override
    {
        record('S');
        return dsrAnswer();
    }
    void write(const QByteArray& bytes) override { written += bytes; }

private:
    void record(char c)
    {
        if (failAfter >= 0 && static_cast<long>(requests.size()) == failAfter)
            throw serial::PortError(serial::PortFailure::Io, QStringLiteral("set line"),
                                    QStringLiteral("Input/output error"));
        requests.push_back(c);
    }
    bool open_ = true;
    int number_ = 1;
    qint32 rate_ = 9600;
};
