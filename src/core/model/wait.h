// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#pragma once

#include <exception>

namespace model {

// Thrown out of a wait when the program ends during it (QCoreApplication::exit ends every event loop): the
// command that was waiting stops there instead of talking to the chip after the settings were saved.
class ProgramEnding : public std::exception {
public:
    const char* what() const noexcept override { return "the program is ending"; }
};

// Returns after the given seconds, letting pending events run meanwhile (handlers started by them nest
// inside the wait). Sleeps in the event loop: it uses no CPU while nothing happens. Returns at once for
// s <= 0 or a value that is not a number; the clock is monotonic. Throws ProgramEnding (see above).
void wait_seconds(double seconds);

} // namespace model
