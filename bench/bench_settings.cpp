// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// What the settings cost now that they are written as they change: the look after every command when nothing
// changed, and one changed entry written (lock, read, edit, atomic replace with fdatasync) in the folder the
// benchmark runs in (KRM_BENCH_DIR, else the temporary folder).
#include "model/channel_model.h"
#include "model/settings_store.h"
#include "serial/serial_link.h"

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

struct Program {
    QTemporaryDir dir{qEnvironmentVariable("KRM_BENCH_DIR", QDir::tempPath()) +
                      QStringLiteral("/krm-XXXXXX")};
    model::ChannelModel model;
    serial::SerialLink link{[](int n) { return n == 1; }};
    model::SettingsStore store{dir.filePath(QStringLiteral("KRM72340.ini"))};
    Program()
    {
        store.load_settings(model, link);
        store.save_settings(model, link);
    }
};

void BM_AfterACommandNothingChanged(benchmark::State& state)
{
    Program p;
    for (auto _ : state)
        benchmark::DoNotOptimize(p.store.save_changes(p.model, p.link));
}
BENCHMARK(BM_AfterACommandNothingChanged);

void BM_OneChangedEntryWritten(benchmark::State& state)
{
    Program p;
    for (auto _ : state) {
        p.model.a0_state =
            p.model.a0_state == QStringLiteral("0") ? QStringLiteral("1") : QStringLiteral("0");
        if (p.store.save_changes(p.model, p.link))
            state.SkipWithError("the settings could not be written");
    }
}
BENCHMARK(BM_OneChangedEntryWritten)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
