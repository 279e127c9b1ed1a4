#pragma once

namespace model {

// Returns after the given seconds, letting pending events run meanwhile (handlers started by them nest
// inside the wait). Sleeps in the event loop: it uses no CPU while nothing happens. Returns at once for
// s <= 0 or a value that is not a number; the clock is monotonic.
void wait_seconds(double seconds);

} // namespace model
