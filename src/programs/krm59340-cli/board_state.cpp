// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "board_state.h"

#include "command_line.h"
#include "files/names.h"
#include "files/regular_file.h"
#include "model/ini_file.h"
#include "sim/simulated_board.h"

#include <QFile>
#include <QStringList>

#include <array>

namespace cli {

namespace {

constexpr std::array kChips = {0x74, 0x75};

QString section(int address7)
{
    return QStringLiteral("0x%1").arg(address7, 2, 16);
}

QString codesText(const std::array<quint16, sim::SimulatedChip::kRegisters>& codes)
{
    QStringList words;
    for (quint16 code : codes)
        words << QString::number(code);
    return words.join(QLatin1Char(' '));
}

class StateReader {
public:
    StateReader(const QByteArray& path, const QByteArray& text) : path_(path), ini_(text) {}

    qint64 number(const QString& chip, const QString& key, qint64 highest) const
    {
        bool ok = false;
        const qint64 value = text(chip, key).toLongLong(&ok);
        if (!ok || value < 0 || value > highest)
            throw bad(chip, key, QStringLiteral("a number 0..%1").arg(highest));
        return value;
    }

    std::array<quint16, sim::SimulatedChip::kRegisters> codes(const QString& chip, const QString& key) const
    {
        const QStringList words = text(chip, key).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        std::array<quint16, sim::SimulatedChip::kRegisters> codes{};
        bool ok = words.size() == qsizetype(codes.size());
        for (std::size_t reg = 0; ok && reg < codes.size(); ++reg) {
            const int code = words.at(qsizetype(reg)).toInt(&ok);
            ok = ok && code >= 0 && code <= 1023;
            codes[reg] = quint16(code);
        }
        if (!ok)
            throw bad(chip, key, QStringLiteral("24 codes 0..1023"));
        return codes;
    }

private:
    QString text(const QString& chip, const QString& key) const
    {
        const std::optional<QString> value = ini_.value(chip, key);
        if (!value)
            throw bad(chip, key, QStringLiteral("there"));
        return *value;
    }
    UsageError bad(const QString& chip, const QString& key, const QString& wanted) const
    {
        return UsageError(QStringLiteral("--state %1: [%2] %3 is not %4; nothing was sent")
                              .arg(files::shown(path_), chip, key, wanted));
    }

    QByteArray path_;
    model::IniFile ini_;
};

} // namespace

void loadBoardState(const QByteArray& path, sim::SimulatedBoard& board)
{
    if (!QFile::exists(QFile::decodeName(path)))
        return;
    QString why;
    const std::unique_ptr<QFile> file = files::openForReading(path, why);
    if (!file)
        throw UsageError(QStringLiteral("--state %1: %2").arg(files::shown(path), why));
    const StateReader state(path, file->readAll());
    for (int address : kChips) {
        const QString chip = section(address);
        sim::SimulatedChip::Memory memory;
        memory.dac = state.codes(chip, QStringLiteral("dac"));
        for (int bank = 0; bank < sim::SimulatedChip::kBanks; ++bank)
            memory.otp[bank] = state.codes(chip, QStringLiteral("otp%1").arg(bank + 1));
        memory.banksUsed = int(state.number(chip, QStringLiteral("banks_used"), sim::SimulatedChip::kBanks));
        memory.bankOpen = state.number(chip, QStringLiteral("bank_open"), 1) == 1;
        memory.resets = int(state.number(chip, QStringLiteral("resets"), 1000000000));
        if (sim::SimulatedChip* simulated = board.chip(address))
            simulated->setMemory(memory);
    }
}

std::optional<QString> saveBoardState(const QByteArray& path, sim::SimulatedBoard& board)
{
    model::IniFile ini("# The simulated board of krm59340-cli --simulate --state: each chip's memory.\n");
    for (int address : kChips) {
        const sim::SimulatedChip* chip = board.chip(address);
        if (!chip)
            continue;
        const sim::SimulatedChip::Memory memory = chip->memory();
        const QString name = section(address);
        ini.setValue(name, QStringLiteral("dac"), codesText(memory.dac));
        for (int bank = 0; bank < sim::SimulatedChip::kBanks; ++bank)
            ini.setValue(name, QStringLiteral("otp%1").arg(bank + 1), codesText(memory.otp[bank]));
        ini.setValue(name, QStringLiteral("banks_used"), QString::number(memory.banksUsed));
        ini.setValue(name, QStringLiteral("bank_open"), QString::number(int(memory.bankOpen)));
        ini.setValue(name, QStringLiteral("resets"), QString::number(memory.resets));
    }
    if (const std::optional<QString> why = files::replaceContents(path, ini.text()))
        return QStringLiteral("--state %1: %2").arg(files::shown(path), *why);
    return std::nullopt;
}

} // namespace cli
