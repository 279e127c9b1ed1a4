// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QMap>
#include <QString>

#include <optional>

namespace serial {
class SerialLink;
}

namespace model {

class ChannelModel;

// The per-user settings: an INI file through QSettings ($XDG_CONFIG_HOME/KRM72340.ini by default).
// Sections and keys are the ones the program has always used; the key texts "10", "1", "2", "3" are names.
class SettingsStore {
public:
    explicit SettingsStore(QString filePath);
    // Where the per-user store lives on this machine.
    static QString defaultPath();
    const QString& fileName() const { return path_; }

    QString default_dir;
    QString last_dir;

    // Reads every entry into the model and the link and shows the reference in use. A store that cannot
    // be read gives the first-run values; a value that does not fit gives the fallback values.
    void load_settings(ChannelModel& model, serial::SerialLink& link);
    // Writes the five exit-time entries. Returns why it failed, naming the file, or nullopt.
    std::optional<QString> save_settings(const ChannelModel& model, const serial::SerialLink& link);
    // last_dir := the path up to and including its last "/" (or "\"), "" when there is none.
    void dir_of_path(const QString& path);
    // Writes ("Startup", "Default_Dir"); default_dir in memory is left alone. Returns why it failed.
    std::optional<QString> save_default_dir(const QString& dir);

    // The explicit COMn -> device mapping, section "Ports", keys "COM<n>".
    QMap<int, QString> portMap() const;

private:
    QString path_;
};

} // namespace model
