// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/settings_store.h"

#include "model/channel_model.h"
#include "model/numbers.h"
#include "serial/serial_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <utility>

namespace model {

namespace {

const QString kDefaultDir = QStringLiteral("Startup/Default_Dir");
const QString kVrefHigh0 = QStringLiteral("vref_high0/10");
const QString kVrefHigh1 = QStringLiteral("vref_high1/10");
const QString kA0 = QStringLiteral("a0/1");
const QString kPortNumb = QStringLiteral("PortNumb/2");
const QString kBitRate = QStringLiteral("BitRate/3");

// Every entry is text. An INI value with an unquoted comma comes back as a list; it was one text.
QString textOf(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

// QSettings only says "AccessError"; repeat the checks it makes to find the reason worth showing.
QString whyNotWritable(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite))
            return file.errorString();
    } else {
        const QString dir = info.absolutePath();
        if (!QDir().mkpath(dir))
            return QStringLiteral("its folder %1 cannot be created").arg(QDir::toNativeSeparators(dir));
        QTemporaryFile probe(path);
        if (!probe.open())
            return probe.errorString();
    }
    return QStringLiteral("the file could not be written");
}

std::optional<QString> syncFailure(QSettings& settings)
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return std::nullopt;
    const QString file = QDir::toNativeSeparators(settings.fileName());
    return QStringLiteral("The settings could not be saved to %1: %2.").arg(file, whyNotWritable(file));
}

} // namespace

SettingsStore::SettingsStore(QString filePath) : path_(std::move(filePath)) {}

QString SettingsStore::defaultPath()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KRM72340")).fileName();
}

void SettingsStore::load_settings(ChannelModel& model, serial::SerialLink& link)
{
    const QSettings settings(path_, QSettings::IniFormat);
    // A store that cannot be read is taken as an empty one, as on a first run.
    const bool readable = settings.status() == QSettings::NoError;
    const auto text = [&](const QString& key) { return readable ? textOf(settings, key) : QString(); };

    // Each step stops the sequence on a value that does not fit, as an overflow did in the old program.
    const auto load = [&]() -> bool {
        default_dir = text(kDefaultDir);
        const double high0 = leading_number(text(kVrefHigh0));
        if (!std::isfinite(high0))
            return false;
        model.vref_high[0] = high0;
        model.vref_low[0] = 0;
        const double high1 = leading_number(text(kVrefHigh1));
        if (!std::isfinite(high1))
            return false;
        model.vref_high[1] = high1;
        model.vref_low[1] = 0;
        model.a0_state = text(kA0);
        const auto port = to_int16(leading_number(text(kPortNumb)));
        if (!port)
            return false;
        link.PortNumber = *port;
        const auto rate = to_int32(leading_number(text(kBitRate)));
        if (!rate)
            return false;
        link.BitRate = *rate;
        if (model.a0_state.isEmpty())
            model.a0_state = QStringLiteral("0");
        model.vref_high_cur = model.vref_high[model.bank()];
        model.vref_low_cur = 0;
        if (model.grid())
            model.grid()->setReferenceText(number_text(model.vref_high_cur));
        return true;
    };
    if (load())
        return;
    default_dir = QDir::homePath() + QLatin1Char('/');
    model.a0_state = QStringLiteral("1");
    model.vref_high_cur = 5;
    model.vref_low_cur = 0;
    link.PortNumber = 1;
    link.BitRate = 9600;
}

std::optional<QString> SettingsStore::save_settings(const ChannelModel& model, const serial::SerialLink& link)
{
    QSettings settings(path_, QSettings::IniFormat);
    settings.setValue(kVrefHigh0, number_text(model.vref_high[0]));
    settings.setValue(kVrefHigh1, number_text(model.vref_high[1]));
    settings.setValue(kA0, model.a0_state);
    settings.setValue(kPortNumb, QString::number(link.PortNumber));
    settings.setValue(kBitRate, QString::number(link.BitRate));
    return syncFailure(settings);
}

void SettingsStore::dir_of_path(const QString& path)
{
    const qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    last_dir = path.left(cut + 1); // -1 when there is none: the empty text
}

std::optional<QString> SettingsStore::save_default_dir(const QString& dir)
{
    QSettings settings(path_, QSettings::IniFormat);
    settings.setValue(kDefaultDir, dir);
    return syncFailure(settings);
}

QMap<int, QString> SettingsStore::portMap() const
{
    const QSettings settings(path_, QSettings::IniFormat);
    QMap<int, QString> ports;
    for (int n = 1; n <= 16; ++n) {
        const QString device = textOf(settings, QStringLiteral("Ports/COM%1").arg(n));
        if (!device.isEmpty())
            ports.insert(n, device);
    }
    return ports;
}

} // namespace model
