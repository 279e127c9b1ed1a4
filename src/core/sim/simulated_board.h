// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "serial/serial_port.h"

#include <QByteArray>

#include <array>
#include <chrono>
#include <memory>
#include <vector>

namespace sim {

// One chip on the simulated bus: an I2C slave that sees only the bus levels. It samples on SCL rising edges
// and changes its own SDA drive only on falling edges, so a master that keeps to the protocol reads it back
// like the real part. Writes: pointer byte, then a word whose bits 15..13 are the command (100 sets the DAC
// register, 010 burns it into OTP). Reads return the word at the pointer. General call 0x00, 0x06 resets.
class SimulatedChip {
public:
    static constexpr int kBanks = 8;
    static constexpr int kRegisters = 24;
    static constexpr int kBankStatusRegister = 63;

    explicit SimulatedChip(int address7);

    int address() const { return address_; }
    // Registers 0..23 hold 10-bit codes; register 63 is the bank status.
    quint16 dacRegister(int reg) const { return dac_.at(reg); }
    void setDacRegister(int reg, quint16 code) { dac_.at(reg) = code & 0x3FF; }
    int bankStatus() const { return banksUsed_; }
    int resets() const { return resets_; }

    // What the chip keeps while the board stays powered, bus state aside: a test fixture carries it from one
    // process to the next, as one board serves a sequence of program runs.
    struct Memory {
        std::array<quint16, kRegisters> dac{};
        std::array<std::array<quint16, kRegisters>, kBanks> otp{};
        int banksUsed = 0;
        bool bankOpen = false;
        int resets = 0;
    };
    Memory memory() const { return {dac_, otp_, banksUsed_, bankOpen_, resets_}; }
    void setMemory(const Memory& memory);

    // Wire level: called on every change of the bus levels (true = high).
    void onBus(bool scl, bool sda);
    // True while the chip pulls SDA low.
    bool pullsSda() const { return pullSda_; }
    // Puts the chip in the middle of sending the word 0: it holds SDA low until enough clock pulses have
    // shifted the rest of the byte out, as a chip does whose master stopped clocking mid-read.
    void strandMidRead();
    // A fault: the nth DAC write from now is acknowledged but lost, as a write that did not take (0: none).
    void loseDacWrite(int nth) { loseDacWrite_ = nth; }

private:
    enum class State { Idle, Address, AckAddress, Receive, AckReceive, Transmit, MasterAck };

    void sclRise(bool sda);
    void sclFall();
    void addressByte(quint8 byte);
    void dataByte(quint8 byte);
    void driveBit();
    void burn(int reg, quint16 code);
    quint16 readWord() const;
    void generalCallReset();

    int address_;
    std::array<quint16, kRegisters> dac_{};
    std::array<std::array<quint16, kRegisters>, kBanks> otp_{};
    int banksUsed_ = 0;
    bool bankOpen_ = false;
    int resets_ = 0;

    bool scl_ = true;
    bool sda_ = true;
    bool pullSda_ = false;
    State state_ = State::Idle;
    int bitCount_ = 0;
    quint8 shift_ = 0;
    bool generalCall_ = false;
    bool reading_ = false;
    int dataBytes_ = 0;
    int pointer_ = 0;
    quint8 wordHigh_ = 0;
    quint16 outWord_ = 0;
    int outByte_ = 0;
    bool masterAcked_ = false;
    int loseDacWrite_ = 0;
};

// The demo board and the bus layer's test double, behind the same port interface as real hardware. It is
// port COM1 and nothing else. RTS asserted pulls SDA low, DTR asserted pulls SCL low; DSR shows SDA
// (asserted = low), the AND of the program's drive and every chip's.
class SimulatedBoard : public serial::SerialPort {
public:
    enum class Chips { None, A0Low, A0High, Both };

    // Wiring faults and an adapter that can be pulled, for trying the program's checks without hardware.
    struct Faults {
        bool dsrDead = false;  // the read-back wire is broken: DSR is never asserted
        bool dsrStuck = false; // DSR is always asserted
        // The adapter is pulled once this many line requests have been served (-1: never): every later
        // request fails and the port closes, as a vanished USB device does.
        long goneAfter = -1;
        bool dsrOnScl = false;     // the read-back wire goes to SCL: DSR is asserted while DTR is
        bool noModemLines = false; // the port refuses every modem-line request, as a plain pty does
    };

    explicit SimulatedBoard(Chips chips = Chips::Both);

    void open(int portNumber) override;
    void close() override;
    bool isOpen() const override { return open_; }
    int portNumber() const override { return portNumber_; }
    // The board is COM1 and nothing else.
    bool exists(int portNumber) const override { return portNumber == 1; }
    void setLineSettings(qint32 bitRate) override;
    QString lineSettings() const override;
    // The simulated transmit line never stalls: there is nothing to time out.
    void setTimeouts(const serial::Timeouts&) override {}
    void setRts(bool asserted) override;
    void setDtr(bool asserted) override;
    bool dsr() override;
    void write(const QByteArray& bytes) override;

    void setFaults(const Faults& faults) { faults_ = faults; }
    // Every line request takes this long, as a round trip to a USB adapter does (about 1 ms).
    void setLineLatency(std::chrono::nanoseconds latency) { latency_ = latency; }
    // Leaves the chip at the address holding SDA low in the middle of a read (see SimulatedChip).
    void strandChipMidRead(int address7);
    // The level of SDA on the wires (true = high): what a logic analyser would see, faults of the
    // read-back wire aside.
    bool sdaWire() const { return sda_; }

    // The chip at 0x74 (A0 = 0) or 0x75 (A0 = 1); nullptr when the board carries none.
    SimulatedChip* chip(int address7);
    // Every byte written to the transmit line.
    const QByteArray& transmitted() const { return transmitted_; }
    // Line requests served while open.
    quint64 lineRequests() const { return requests_; }

private:
    // Counts a request, takes the adapter's time, and fails once the adapter is pulled.
    void serve(const char* operation);
    void busChanged();
    bool sdaLevel() const;

    std::vector<std::unique_ptr<SimulatedChip>> chips_;
    bool open_ = false;
    int portNumber_ = 0;
    qint32 bitRate_ = 9600;
    bool rtsAsserted_ = false;
    bool dtrAsserted_ = false;
    // Bus levels the chips last saw.
    bool scl_ = true;
    bool sda_ = true;
    QByteArray transmitted_;
    quint64 requests_ = 0;
    Faults faults_;
    std::chrono::nanoseconds latency_{0};
};

} // namespace sim
