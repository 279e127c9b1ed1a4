// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/settings_store.h"

#include "files/regular_file.h"
#include "model/channel_model.h"
#include "model/ini_file.h"
#include "model/numbers.h"
#include "serial/port_catalog.h"
#include "serial/serial_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <iterator>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace model {

namespace {

const QString kDefaultDir = QStringLiteral("Startup/Default_Dir");
const QString kVrefHigh0 = QStringLiteral("vref_high0/10");
const QString kVrefHigh1 = QStringLiteral("vref_high1/10");
const QString kA0 = QStringLiteral("a0/1");
const QString kPortNumb = QStringLiteral("PortNumb/2");
const QString kBitRate = QStringLiteral("BitRate/3");

// A settings file is a few hundred bytes; past this it is something else, and reading stops there.
constexpr qint64 kMaxBytes = 1 << 20;

QString sectionOf(const QString& entry)
{
    return entry.section(u'/', 0, 0);
}

QString keyOf(const QString& entry)
{
    return entry.section(u'/', 1);
}

// The file's text, or why it cannot be read; a file that is not there yet is empty.
std::optional<QByteArray> readText(const QString& path, QString& why)
{
    const QByteArray raw = QFile::encodeName(path);
    if (::access(raw.constData(), F_OK) != 0 && errno == ENOENT)
        return QByteArray();
    const auto file = files::openForReading(raw, why);
    if (!file)
        return std::nullopt;
    return file->read(kMaxBytes);
}

// An exclusive lock beside the settings while they are read, changed and replaced. The file itself cannot
// carry it: it is replaced by another file at every write. Without a lock (a folder that takes no new
// file) the write goes ahead and fails or succeeds on its own.
class WriteLock {
public:
    explicit WriteLock(const QString& settingsPath)
    {
        const QFileInfo info(settingsPath);
        const QByteArray lockPath = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") +
                                                      info.fileName() + QStringLiteral(".lock"));
        fd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~WriteLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

SettingsStore::SettingsStore(QString filePath) : path_(std::move(filePath)) {}

QString SettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/KRM72340.ini");
}

void SettingsStore::load_settings(ChannelModel& model, serial::SerialLink& link)
{
    // A store that cannot be read is taken as an empty one, as on a first run.
    QString why;
    const IniFile ini(readText(path_, why).value_or(QByteArray()));
    const auto text = [&ini](const QString& entry) {
        return ini.value(sectionOf(entry), keyOf(entry)).value_or(QString());
    };

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
        return true;
    };
    if (!load()) {
        default_dir = QDir::homePath() + QLatin1Char('/');
        model.a0_state = QStringLiteral("1");
        model.vref_high_cur = 5;
        model.vref_low_cur = 0;
        link.PortNumber = 1;
        link.BitRate = 9600;
    }
    // The window shows what is now in use, whichever way the load went.
    if (ChannelGrid* grid = model.grid()) {
        grid->setReferenceText(number_text(model.vref_high_cur));
        grid->show_a0_state();
    }
    inUse_ = entriesOf(model, link);
}

SettingsStore::Entries SettingsStore::entriesOf(const ChannelModel& model, const serial::SerialLink& link)
{
    return {{kVrefHigh0, number_text(model.vref_high[0])},
            {kVrefHigh1, number_text(model.vref_high[1])},
            {kA0, model.a0_state},
            {kPortNumb, QString::number(link.PortNumber)},
            {kBitRate, QString::number(link.BitRate)}};
}

std::optional<QString> SettingsStore::save_settings(const ChannelModel& model, const serial::SerialLink& link)
{
    inUse_ = entriesOf(model, link);
    // The last word of a run: settings lost now are lost for good, so it is said even when said before.
    return write(inUse_);
}

std::optional<QString> SettingsStore::save_changes(const ChannelModel& model, const serial::SerialLink& link)
{
    const Entries now = entriesOf(model, link);
    Entries changed;
    std::set_difference(now.begin(), now.end(), inUse_.begin(), inUse_.end(),
                        std::inserter(changed, changed.end()));
    if (changed.empty())
        return std::nullopt;
    inUse_ = now;
    return once(write(changed));
}

std::optional<QString> SettingsStore::write(const Entries& entries)
{
    const QString shown = QDir::toNativeSeparators(path_);
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("The settings could not be saved to %1: its folder %2 cannot be created.")
            .arg(shown, QDir::toNativeSeparators(folder));
    const WriteLock lock(path_);
    QString why;
    const auto before = readText(path_, why);
    // Writing over a file that could not be read would lose whatever else it holds.
    if (!before)
        return QStringLiteral("The settings could not be saved to %1: %2.").arg(shown, why);
    IniFile ini(*before);
    for (const auto& [entry, value] : entries)
        ini.setValue(sectionOf(entry), keyOf(entry), value);
    const QByteArray after = ini.text();
    if (after == *before && !before->isEmpty())
        return std::nullopt;
    if (const auto failure = files::replaceContents(QFile::encodeName(path_), after))
        return QStringLiteral("The settings could not be saved to %1: %2.").arg(shown, *failure);
    return std::nullopt;
}

std::optional<QString> SettingsStore::once(std::optional<QString> failure)
{
    const bool wasFailing = std::exchange(failing_, failure.has_value());
    return wasFailing ? std::nullopt : failure;
}

void SettingsStore::dir_of_path(const QString& path)
{
    const qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    last_dir = path.left(cut + 1); // -1 when there is none: the empty text
}

std::optional<QString> SettingsStore::save_default_dir(const QString& dir)
{
    return once(write({{kDefaultDir, dir}}));
}

QMap<int, QString> SettingsStore::portMap() const
{
    QString why;
    const IniFile ini(readText(path_, why).value_or(QByteArray()));
    QMap<int, QString> ports;
    for (int n = serial::kFirstPort; n <= serial::kLastPort; ++n) {
        const QString device =
            ini.value(QStringLiteral("Ports"), QStringLiteral("COM%1").arg(n)).value_or(QString());
        if (!device.isEmpty())
            ports.insert(n, device);
    }
    return ports;
}

QString SettingsStore::triggerPort() const
{
    QString why;
    const IniFile ini(readText(path_, why).value_or(QByteArray()));
    return ini.value(QStringLiteral("Trigger"), QStringLiteral("Port")).value_or(QString()).trimmed();
}

} // namespace model
