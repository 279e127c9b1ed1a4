// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QJsonObject>
#include <QString>

namespace cli {

// The aligned text a command's result prints as without --json (a batch's lines come one by one instead).
QString textReport(const QJsonObject& result);

// One line of a batch as each file is applied: time, cycle, file.
QString batchLine(const QJsonObject& entry);

// A session's answer on one line: "ok", the command and what it found, or "error", the status and why.
QString sessionLine(bool ok, const QJsonObject& answer);

} // namespace cli
