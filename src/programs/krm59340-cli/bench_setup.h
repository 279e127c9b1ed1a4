// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include "app/bench.h"

#include <QString>

#include <memory>

namespace cli {

struct Request;

// Where the UUCP lock files are looked for and taken: /run/lock, or the directory in KRM59340_LOCK_DIR,
// which the tests set so that they never touch the system's.
QString lockDirectory();

// The bench a request runs on: the simulated board (with its line latency), or this machine's serial
// devices through the settings' COM mapping, a device given by path added to it when no COM name maps to
// it yet. Reads the settings, never writes them. Throws serial::PortError when the trace cannot be created.
std::unique_ptr<app::Bench> makeBench(const Request& request, const QString& settingsPath,
                                      const QString& lockDir);

} // namespace cli
