// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The channel file reader on arbitrary file contents, with the simulated board as the chip and the window's
// change cascade running as in the program.
#include "fake_grid.h"
#include "fuzz_support.h"

#include "bench_steps.h"
#include "model/channel_file.h"
#include "sim/simulated_board.h"

#include <QFile>

#include <algorithm>
#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = fuzz::scratchPath(QStringLiteral("channels.txt"));
    static const QString settings = fuzz::scratchPath(QStringLiteral("settings.ini"));
    fuzz::writeFile(path, data, size);

    auto owned = std::make_unique<sim::SimulatedBoard>();
    sim::SimulatedChip& chip = *owned->chip(0x74);
    app::Bench bench(settings, std::move(owned));
    FUZZ_CHECK(!steps::open(bench, 1).failure);
    model::ChannelModel& model = bench.channels();
    FakeGrid grid(model);
    model.setGrid(&grid);
    model.vref_high = {10, 10};

    bool loaded = false;
    try {
        model::apply_channel_file(QFile::encodeName(path), model);
        loaded = true;
    } catch (const model::ChannelFileError&) {
        // Bad input is expected; only a crash, a leak or another exception is a finding.
    }
    if (loaded) {
        FUZZ_CHECK(std::isfinite(model.vref_high_cur));
        for (int n = 1; n <= 24; ++n)
            FUZZ_CHECK(model.code[n] >= 0 && model.code[n] <= 65535);
    }
    // Loaded or not, the chip holds what the model says, saturated to ten bits: every change was sent.
    for (int n = 1; n <= 24; ++n)
        FUZZ_CHECK(chip.dacRegister(n - 1) == std::min(std::floor(model.code[n]), 1023.0));
    return 0;
}
