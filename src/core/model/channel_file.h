// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "files/text_error.h"

#include <QByteArray>
#include <QStringList>

namespace model {

class ChannelModel;

// A channel file that cannot be read or written; the text names the file, the line and what was wrong.
class ChannelFileError : public files::TextError {
public:
    using files::TextError::TextError;
};

// Paths are raw bytes (names need not be UTF-8), and only regular files are read or replaced.

// Writes the reference in use and the 24 codes, one per line, each line ended by CR LF. The file is
// replaced atomically: a save that fails leaves the previous file as it was. Throws ChannelFileError, also
// for a model with channels no chip gave (nothing is written then).
void save_channel_file(const QByteArray& path, const ChannelModel& model);

// Reads a channel file into the model and sends every channel to the chip as it is read, refreshing the
// window after each and once more at the end. Fields are separated by line ends or commas; past the 25th
// only whether there is another is looked at. Bad input stops the load with ChannelFileError; the channels
// applied before it stay applied. Returns what the user should hear of a file that loaded: codes above full
// scale, more than 25 values.
QStringList apply_channel_file(const QByteArray& path, ChannelModel& model);

} // namespace model
