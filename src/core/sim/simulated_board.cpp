// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "sim/simulated_board.h"

#include <algorithm>
#include <thread>

namespace sim {

namespace {

constexpr int kGeneralCall = 0x00;
constexpr quint8 kResetCommand = 0x06;
constexpr int kDacWrite = 0b100;
constexpr int kOtpBurn = 0b010;

} // namespace

SimulatedChip::SimulatedChip(int address7) : address_(address7) {}

void SimulatedChip::onBus(bool scl, bool sda)
{
    if (scl_ && scl) {
        // SDA moving while SCL stays high is a START (falling) or a STOP (rising).
        if (sda_ && !sda) {
            state_ = State::Address;
            bitCount_ = 0;
            shift_ = 0;
            dataBytes_ = 0;
        } else if (!sda_ && sda) {
            state_ = State::Idle;
        }
        pullSda_ = false;
    } else if (!scl_ && scl) {
        sclRise(sda);
    } else if (scl_ && !scl) {
        sclFall();
    }
    scl_ = scl;
    sda_ = sda;
}

// The master (or this chip) holds SDA stable while SCL is high: sample it here.
void SimulatedChip::sclRise(bool sda)
{
    switch (state_) {
    case State::Address:
    case State::Receive:
        shift_ = static_cast<quint8>(shift_ << 1 | (sda ? 1 : 0));
        ++bitCount_;
        break;
    case State::Transmit:
        ++bitCount_;
        break;
    case State::MasterAck:
        masterAcked_ = !sda;
        break;
    case State::Idle:
    case State::AckAddress:
    case State::AckReceive:
        break;
    }
}

// SCL is low from here until the next rising edge: the only time this chip changes its SDA drive.
void SimulatedChip::sclFall()
{
    switch (state_) {
    case State::Address:
        if (bitCount_ == 8)
            addressByte(shift_);
        break;
    case State::Receive:
        if (bitCount_ == 8) {
            dataByte(shift_);
            state_ = State::AckReceive;
            pullSda_ = true;
        }
        break;
    case State::AckAddress:
        pullSda_ = false;
        bitCount_ = 0;
        shift_ = 0;
        if (reading_) {
            state_ = State::Transmit;
            outWord_ = readWord();
            outByte_ = 0;
            driveBit();
        } else {
            state_ = State::Receive;
        }
        break;
    case State::AckReceive:
        pullSda_ = false;
        bitCount_ = 0;
        shift_ = 0;
        state_ = State::Receive;
        break;
    case State::Transmit:
        if (bitCount_ == 8) {
            // The acknowledge slot belongs to the master.
            pullSda_ = false;
            state_ = State::MasterAck;
        } else {
            driveBit();
        }
        break;
    case State::MasterAck:
        if (masterAcked_) {
            ++outByte_;
            bitCount_ = 0;
            state_ = State::Transmit;
            driveBit();
        } else {
            state_ = State::Idle;
        }
        break;
    case State::Idle:
        break;
    }
}

void SimulatedChip::addressByte(quint8 byte)
{
    if (byte >> 1 == address_ || byte == kGeneralCall) {
        generalCall_ = byte == kGeneralCall;
        reading_ = (byte & 1) != 0;
        state_ = State::AckAddress;
        pullSda_ = true;
    } else {
        state_ = State::Idle;
    }
}

// A write is applied byte by byte: the pointer at once, the word when its low byte arrives.
void SimulatedChip::dataByte(quint8 byte)
{
    if (generalCall_) {
        if (byte == kResetCommand)
            generalCallReset();
        return;
    }
    ++dataBytes_;
    if (dataBytes_ == 1) {
        pointer_ = byte;
    } else if (dataBytes_ == 2) {
        wordHigh_ = byte;
    } else if (dataBytes_ == 3 && pointer_ < kRegisters) {
        const quint16 word = static_cast<quint16>(wordHigh_ << 8 | byte);
        const int command = word >> 13;
        const bool lost = command == kDacWrite && loseDacWrite_ > 0 && --loseDacWrite_ == 0;
        if (command == kDacWrite && !lost)
            dac_[pointer_] = word & 0x3FF;
        else if (command == kOtpBurn)
            burn(pointer_, word & 0x3FF);
    }
}

// Words go out high byte first; a master that keeps acknowledging gets the word again.
void SimulatedChip::driveBit()
{
    const int byte = outByte_ % 2 == 0 ? outWord_ >> 8 : outWord_ & 0xFF;
    pullSda_ = ((byte >> (7 - bitCount_)) & 1) == 0;
}

// The first burn after a reset opens the next bank as a copy of the last one; later burns before the next
// reset go into the same bank. Once every bank is used further burns are lost.
void SimulatedChip::burn(int reg, quint16 code)
{
    if (!bankOpen_) {
        if (banksUsed_ == kBanks)
            return;
        if (banksUsed_ > 0)
            otp_[banksUsed_] = otp_[banksUsed_ - 1];
        ++banksUsed_;
        bankOpen_ = true;
    }
    otp_[banksUsed_ - 1][reg] = code;
}

// A saved memory may have been edited by hand: it is cut to what the wire could have left, ten-bit codes and
// at most every bank used.
void SimulatedChip::setMemory(const Memory& memory)
{
    for (int reg = 0; reg < kRegisters; ++reg) {
        dac_[reg] = memory.dac[reg] & 0x3FF;
        for (int bank = 0; bank < kBanks; ++bank)
            otp_[bank][reg] = memory.otp[bank][reg] & 0x3FF;
    }
    banksUsed_ = std::clamp(memory.banksUsed, 0, kBanks);
    bankOpen_ = memory.bankOpen && banksUsed_ > 0;
    resets_ = memory.resets;
}

void SimulatedChip::strandMidRead()
{
    state_ = State::Transmit;
    reading_ = true;
    outWord_ = 0;
    outByte_ = 0;
    bitCount_ = 0;
    driveBit();
}

quint16 SimulatedChip::readWord() const
{
    if (pointer_ < kRegisters)
        return dac_[pointer_];
    if (pointer_ == kBankStatusRegister)
        return static_cast<quint16>(banksUsed_);
    return 0;
}

void SimulatedChip::generalCallReset()
{
    if (banksUsed_ > 0)
        dac_ = otp_[banksUsed_ - 1];
    else
        dac_.fill(0);
    bankOpen_ = false;
    ++resets_;
}

SimulatedBoard::SimulatedBoard(Chips chips)
{
    if (chips == Chips::A0Low || chips == Chips::Both)
        chips_.push_back(std::make_unique<SimulatedChip>(0x74));
    if (chips == Chips::A0High || chips == Chips::Both)
        chips_.push_back(std::make_unique<SimulatedChip>(0x75));
}

void SimulatedBoard::open(int portNumber)
{
    const QString operation = QStringLiteral("open COM%1").arg(portNumber);
    if (portNumber != 1)
        throw serial::PortError(serial::PortFailure::CannotUse, operation, QStringLiteral("No such device"));
    if (open_)
        throw serial::PortError(serial::PortFailure::AlreadyOpen, operation,
                                QStringLiteral("Device or resource busy"));
    open_ = true;
    portNumber_ = portNumber;
}

// Closing drops both modem lines, as a real port does, so the chips see an idle bus.
void SimulatedBoard::close()
{
    open_ = false;
    rtsAsserted_ = false;
    dtrAsserted_ = false;
    busChanged();
}

void SimulatedBoard::setLineSettings(qint32 bitRate)
{
    if (bitRate <= 0)
        throw serial::PortError(serial::PortFailure::Rejected, QStringLiteral("set line settings"),
                                QStringLiteral("Invalid argument"));
    bitRate_ = bitRate;
}

QString SimulatedBoard::lineSettings() const
{
    return QString::number(bitRate_) + QStringLiteral(",N,8,1");
}

void SimulatedBoard::serve(const char* operation)
{
    if (faults_.noModemLines)
        throw serial::PortError(serial::PortFailure::Io, QString::fromLatin1(operation),
                                QStringLiteral("Inappropriate ioctl for device"));
    if (faults_.goneAfter >= 0 && requests_ >= quint64(faults_.goneAfter)) {
        close();
        throw serial::PortError(serial::PortFailure::Gone, QString::fromLatin1(operation),
                                QStringLiteral("No such device"));
    }
    ++requests_;
    if (latency_.count() > 0)
        std::this_thread::sleep_for(latency_);
}

void SimulatedBoard::setRts(bool asserted)
{
    if (!open_)
        return;
    serve("set RTS");
    rtsAsserted_ = asserted;
    busChanged();
}

void SimulatedBoard::setDtr(bool asserted)
{
    if (!open_)
        return;
    serve("set DTR");
    dtrAsserted_ = asserted;
    busChanged();
}

bool SimulatedBoard::dsr()
{
    if (!open_)
        return false;
    serve("read DSR");
    if (faults_.dsrDead || faults_.dsrStuck)
        return faults_.dsrStuck;
    if (faults_.dsrOnScl)
        return dtrAsserted_;
    return !sda_;
}

// The master gave up in the middle of a read and released both lines: SCL rises while the chip still
// drives its first bit, a 0, so SDA stays low with the clock high. The chip took SDA while SCL was low,
// so no chip on the bus sees a START in it.
void SimulatedBoard::strandChipMidRead(int address7)
{
    SimulatedChip* stuck = chip(address7);
    if (!stuck)
        return;
    const bool dtrWas = dtrAsserted_;
    dtrAsserted_ = true;
    busChanged();
    stuck->strandMidRead();
    busChanged();
    dtrAsserted_ = dtrWas;
    busChanged();
}

void SimulatedBoard::write(const QByteArray& bytes)
{
    if (!open_)
        throw serial::PortError(serial::PortFailure::Io, QStringLiteral("write"),
                                QStringLiteral("Port not open"));
    transmitted_ += bytes;
}

SimulatedChip* SimulatedBoard::chip(int address7)
{
    const auto found = std::find_if(chips_.begin(), chips_.end(),
                                    [address7](const auto& chip) { return chip->address() == address7; });
    return found == chips_.end() ? nullptr : found->get();
}

// A chip that answers an edge may move SDA in turn (only while SCL is low); pass that on until it settles.
void SimulatedBoard::busChanged()
{
    const bool scl = !dtrAsserted_;
    for (bool sda = sdaLevel(); scl != scl_ || sda != sda_; sda = sdaLevel()) {
        scl_ = scl;
        sda_ = sda;
        for (const auto& chip : chips_)
            chip->onBus(scl, sda);
    }
}

bool SimulatedBoard::sdaLevel() const
{
    return !rtsAsserted_ &&
           std::none_of(chips_.begin(), chips_.end(), [](const auto& chip) { return chip->pullsSda(); });
}

} // namespace sim
