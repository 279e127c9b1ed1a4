// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <QJsonArray>
#include <QString>

namespace serial {
class PortCatalog;
}

namespace cli {

// The COM names and what stands behind each, found without opening or locking anything: the device, the
// adapter's name, and its state ("free", "in use" with the holder, "no permission" with the group to join,
// "missing" for a mapping to a device that is not there). catalog is null for the simulated board. selected
// is the port the other commands would use. One object per name: name, device, adapter, state, selected,
// and holder {pid, name} or group where they apply.
QJsonArray listPorts(const serial::PortCatalog* catalog, const QString& lockDir, int selected);

} // namespace cli
