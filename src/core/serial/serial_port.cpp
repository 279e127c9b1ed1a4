// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "serial/serial_port.h"

namespace serial {

PortError::PortError(PortFailure kind, const QString& operation, const QString& reason)
    : std::runtime_error((operation + QStringLiteral(": ") + reason).toStdString()), kind_(kind),
      operation_(operation), reason_(reason)
{
}

QString PortError::text() const
{
    return operation_ + QStringLiteral(": ") + reason_;
}

} // namespace serial
