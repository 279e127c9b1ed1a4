// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "model/settings_store.h"

#include "files/names.h"
#include "files/regular_file.h"
#include "model/channel_model.h"
#include "model/ini_file.h"
#include "model/numbers.h"
#include "serial/port_catalog.h"
#include "serial/serial_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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
const QString kAllChannels = QStringLiteral("View/AllChannels");

// A settings file is a few hundred bytes. A larger one is still read and kept whole; past this it is
// something else, and it is neither read nor written.
constexpr qint64 kMaxBytes = qint64(16) << 20;

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
    // One byte past the limit tells a file that grew while it was read from one that fits.
    QByteArray text = file->read(kMaxBytes + 1);
    if (text.size() > kMaxBytes) {
        why = QStringLiteral("it is larger than %1 MiB, too large for settings; it is left as it is")
                  .arg(kMaxBytes >> 20);
        return std::nullopt;
    }
    return text;
}

QString entryName(const QString& entry)
{
    return QStringLiteral("[%1] %2").arg(sectionOf(entry), keyOf(entry));
}

// A decimal number and nothing else, as the program writes them; leading_number reads more ("2.5V").
bool wholeNumber(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^[ \\t]*[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?[ \\t]*$"));
    return form.match(text).hasMatch();
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

QStringList SettingsStore::load_settings(ChannelModel& model, serial::SerialLink& link)
{
    const QString shown = QDir::toNativeSeparators(path_);
    QStringList warnings;
    QString why;
    const auto text = readText(path_, why);
    // A store that cannot be read is taken as an empty one, as on a first run, and said.
    if (!text)
        warnings << QStringLiteral("The settings in %1 cannot be read: %2. The first-run values are used.")
                        .arg(shown, why);
    const IniFile ini(text.value_or(QByteArray()));
    const auto stored = [&ini](const QString& entry) {
        return ini.value(sectionOf(entry), keyOf(entry)).value_or(QString());
    };
    // Each entry stands on its own: one that cannot be used gets its first-run value and is named, and the
    // others are used as stored. An entry with text after its number is read by its number, and named.
    const auto number = [&](const QString& entry, auto fits, const QString& unit, const QString& instead) {
        const QString value = stored(entry);
        const double read = leading_number(value);
        const auto used = fits(read);
        if (!used) {
            warnings
                << QStringLiteral(
                       "The setting %1 = \"%2\" in %3 does not fit; the first-run value %4 is used instead.")
                       .arg(entryName(entry), files::visible(value), shown, instead);
            return decltype(fits(read))(fits(0.0));
        }
        if (!value.trimmed().isEmpty() && !wholeNumber(value))
            warnings << QStringLiteral(
                            "The setting %1 = \"%2\" in %3 is not a plain number; it is read as %4.")
                            .arg(entryName(entry), files::visible(value), shown,
                                 unit.arg(number_text(*used)));
        return used;
    };
    const auto finite = [](double v) { return std::isfinite(v) ? std::optional<double>(v) : std::nullopt; };

    default_dir = stored(kDefaultDir);
    model.vref_high[0] = *number(kVrefHigh0, finite, QStringLiteral("%1 V"), QStringLiteral("0 V"));
    model.vref_low[0] = 0;
    model.vref_high[1] = *number(kVrefHigh1, finite, QStringLiteral("%1 V"), QStringLiteral("0 V"));
    model.vref_low[1] = 0;
    // The address bits are made from this text: anything but "0" or "1" would reach the bus as it is.
    model.a0_state = stored(kA0);
    if (model.a0_state.isEmpty()) {
        model.a0_state = QStringLiteral("0");
    } else if (model.a0_state != QLatin1String("0") && model.a0_state != QLatin1String("1")) {
        warnings
            << QStringLiteral(
                   "The setting %1 = \"%2\" in %3 is not 0 or 1; the first-run value A0 = 0 is used instead.")
                   .arg(entryName(kA0), files::visible(model.a0_state), shown);
        model.a0_state = QStringLiteral("0");
    }
    link.PortNumber = *number(kPortNumb, to_int16, QStringLiteral("COM%1"), QStringLiteral("0 (no port)"));
    link.BitRate = *number(kBitRate, to_int32, QStringLiteral("%1 bit/s"), QStringLiteral("0"));
    // Files from before the toggle lack the entry: the grid shows its 18 rows, as it always did.
    const QString allChannels = stored(kAllChannels).trimmed();
    all_channels = allChannels == QLatin1String("1");
    if (!allChannels.isEmpty() && allChannels != QLatin1String("0") && !all_channels)
        warnings << QStringLiteral("The setting %1 = \"%2\" in %3 is not 0 or 1; the first-run value 0 (18 "
                                   "rows in view) is used instead.")
                        .arg(entryName(kAllChannels), files::visible(allChannels), shown);
    model.vref_high_cur = model.vref_high[model.bank()];
    model.vref_low_cur = 0;
    // The window shows what is now in use, whichever way the load went.
    if (ChannelGrid* grid = model.grid()) {
        grid->setReferenceText(number_text(model.vref_high_cur));
        grid->show_a0_state();
    }
    inUse_ = entriesOf(model, link);
    return warnings;
}

SettingsStore::Entries SettingsStore::entriesOf(const ChannelModel& model,
                                                const serial::SerialLink& link) const
{
    return {{kVrefHigh0, number_text(model.vref_high[0])},
            {kVrefHigh1, number_text(model.vref_high[1])},
            {kA0, model.a0_state},
            {kPortNumb, QString::number(link.PortNumber)},
            {kBitRate, QString::number(link.BitRate)},
            {kAllChannels, all_channels ? QStringLiteral("1") : QStringLiteral("0")}};
}

SettingsStore::Entries SettingsStore::changedSince(const Entries& now) const
{
    Entries changed;
    std::set_difference(now.begin(), now.end(), inUse_.begin(), inUse_.end(),
                        std::inserter(changed, changed.end()));
    return changed;
}

std::optional<QString> SettingsStore::save_settings(const ChannelModel& model, const serial::SerialLink& link)
{
    // Only what this instance changed: another instance may have written the others meanwhile. The ones
    // the file lacks are written as well, so that a first run leaves all five behind.
    const Entries now = entriesOf(model, link);
    // The view is written only once it is changed: a file that lacks it means the 18 rows, as before.
    Entries missing = now;
    missing.erase(kAllChannels);
    // The last word of a run: settings lost now are lost for good, so it is said even when said before.
    const auto failure = write(changedSince(now), missing);
    if (!failure)
        inUse_ = now;
    return failure;
}

std::optional<QString> SettingsStore::save_changes(const ChannelModel& model, const serial::SerialLink& link)
{
    const Entries now = entriesOf(model, link);
    const Entries changed = changedSince(now);
    if (changed.empty())
        return std::nullopt;
    inUse_ = now;
    return once(write(changed));
}

std::optional<QString> SettingsStore::write(const Entries& entries, const Entries& whereMissing)
{
    const QString shown = QDir::toNativeSeparators(path_);
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("The settings could not be saved to %1: its folder %2 cannot be created.")
            .arg(shown, QDir::toNativeSeparators(folder));
    const WriteLock lock(path_);
    // Under the lock no write of another instance is under way, but one killed in the middle of it left
    // its temporary file.
    files::removeStaleTemporaries(QFile::encodeName(path_));
    QString why;
    const auto before = readText(path_, why);
    // Writing over a file that could not be read would lose whatever else it holds.
    if (!before)
        return QStringLiteral("The settings could not be saved to %1: %2.").arg(shown, why);
    IniFile ini(*before);
    for (const auto& [entry, value] : entries)
        ini.setValue(sectionOf(entry), keyOf(entry), value);
    for (const auto& [entry, value] : whereMissing)
        if (!ini.value(sectionOf(entry), keyOf(entry)))
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
