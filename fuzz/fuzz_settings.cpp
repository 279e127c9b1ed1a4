// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

// The settings reader on an arbitrary INI file, with no port on the machine and no bus; and the INI
// editor on the same text: an entry written in place reads back as written, whatever surrounds it.
#include "fuzz_support.h"

#include "model/channel_model.h"
#include "model/ini_file.h"
#include "model/settings_store.h"
#include "serial/serial_link.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = fuzz::scratchPath(QStringLiteral("settings.ini"));
    fuzz::writeFile(path, data, size);

    model::ChannelModel model;
    serial::SerialLink link([](int) { return false; });
    model::SettingsStore store(path);

    store.load_settings(model, link);
    FUZZ_CHECK(std::isfinite(model.vref_high_cur));
    FUZZ_CHECK(model.vref_low_cur == 0);
    FUZZ_CHECK(!model.a0_state.isEmpty());
    const QMap<int, QString> ports = store.portMap();
    for (auto it = ports.cbegin(); it != ports.cend(); ++it)
        FUZZ_CHECK(it.key() >= 1 && it.key() <= 16 && !it.value().isEmpty());

    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    model::IniFile ini(text);
    // A value made of the input's own characters, so quotes, escapes and separators all come up.
    const QString value = QString::fromUtf8(text.left(40)).remove(QChar(u'\uFFFD'));
    ini.setValue(QStringLiteral("Startup"), QStringLiteral("Default_Dir"), value);
    ini.setValue(QStringLiteral("PortNumb"), QStringLiteral("2"), QStringLiteral("7"));
    const model::IniFile again(ini.text());
    FUZZ_CHECK(again.value(QStringLiteral("Startup"), QStringLiteral("Default_Dir")) == value);
    FUZZ_CHECK(again.value(QStringLiteral("PortNumb"), QStringLiteral("2")) == QStringLiteral("7"));
    return 0;
}
