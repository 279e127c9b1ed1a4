// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The settings reader on an arbitrary INI file, with the port closed so the bus is a no-op.
#include "fuzz_support.h"

#include "bus/i2c_master.h"
#include "model/channel_model.h"
#include "model/settings_store.h"
#include "serial/serial_link.h"
#include "sim/simulated_board.h"

#include <QFile>

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = fuzz::scratchPath(QStringLiteral("settings.ini"));
    fuzz::writeFile(path, data, size);
    // QSettings keeps a parsed file by path and reuses it while size and time stamp are unchanged; a new
    // time stamp per input keeps a stale copy out without a new cache entry (and a leak scan) per input.
    static time_t stamp = 1000000000;
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ++stamp;
    FUZZ_CHECK(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);

    sim::SimulatedBoard board;
    bus::I2cMaster i2c(board);
    model::ChannelModel model(i2c);
    serial::SerialLink link(board);
    model::SettingsStore store(path);

    store.load_settings(model, link);
    FUZZ_CHECK(std::isfinite(model.vref_high_cur));
    FUZZ_CHECK(model.vref_low_cur == 0);
    FUZZ_CHECK(!model.a0_state.isEmpty());
    const QMap<int, QString> ports = store.portMap();
    for (auto it = ports.cbegin(); it != ports.cend(); ++it)
        FUZZ_CHECK(it.key() >= 1 && it.key() <= 16 && !it.value().isEmpty());
    return 0;
}
