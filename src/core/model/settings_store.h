// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace serial {
class SerialLink;
}

namespace model {

class ChannelModel;

// The per-user settings: an INI file ($XDG_CONFIG_HOME/KRM72340.ini by default), edited in place by IniFile.
// Sections and keys are the ones the program has always used; the key texts "10", "1", "2", "3" are names.
//
// Two instances of the program may share the file. Every write reads the file afresh under a lock held
// beside it (.KRM72340.ini.lock) and changes only the keys it writes, so one instance never puts back an
// older value of a key the other changed. Failures come back as text naming the file; a failure is
// returned once, and again only after a write has gone through in between.
class SettingsStore {
public:
    explicit SettingsStore(QString filePath);
    // Where the per-user store lives on this machine.
    static QString defaultPath();
    const QString& fileName() const { return path_; }

    QString default_dir;
    QString last_dir;
    // Whether the main window shows all 24 channels, the six rows of its second column too
    // ([View] AllChannels, "1" or "0"; a file without it shows the 18 rows).
    bool all_channels = false;

    // Reads every entry into the model and the link and shows the reference in use. A store that cannot
    // be read gives the first-run values; an entry that cannot be used gets its own first-run value and the
    // others are used. Returns a text for each store or entry that could not be used as it stands.
    QStringList load_settings(ChannelModel& model, serial::SerialLink& link);
    // The exit-time save: writes those of the six entries this program keeps that changed since they were
    // last read or written, and those the file lacks but the view. Its failure is returned every time.
    std::optional<QString> save_settings(const ChannelModel& model, const serial::SerialLink& link);
    // Writes those of the six entries that changed since they were last read or written; nothing when
    // none did. A write that failed is not tried again until the entry changes again.
    std::optional<QString> save_changes(const ChannelModel& model, const serial::SerialLink& link);
    // last_dir := the path up to and including its last "/" (or "\"), "" when there is none.
    void dir_of_path(const QString& path);
    // Writes ("Startup", "Default_Dir"); default_dir in memory is left alone.
    std::optional<QString> save_default_dir(const QString& dir);

    // The explicit COMn -> device mapping, section "Ports", keys "COM<n>".
    QMap<int, QString> portMap() const;
    // Where the trigger block goes instead of the bus port's transmit line, section "Trigger", key "Port":
    // a COM name or a serial device; "" when not set.
    QString triggerPort() const;

private:
    using Entries = std::map<QString, QString>; // "section/key" -> text
    Entries entriesOf(const ChannelModel& model, const serial::SerialLink& link) const;
    Entries changedSince(const Entries& now) const;
    // Writes entries, and those of whereMissing that the file does not have.
    std::optional<QString> write(const Entries& entries, const Entries& whereMissing = {});
    // The failure to show, if any: only the first since the last write that went through.
    std::optional<QString> once(std::optional<QString> failure);

    QString path_;
    Entries inUse_; // the six entries as last read or written
    bool failing_ = false;
};

} // namespace model
