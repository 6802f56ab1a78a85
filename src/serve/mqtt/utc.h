// The store keeps FILETIMEs of the driver's local time (100 ns since 1601, as
// the wall clock of the machine showed it); Sparkplug wants milliseconds since
// 1970 in UTC. The offset to take is the one that was in force when the value
// was read, which differs from today's across a change of daylight saving
// time, and within the hour the clocks go back one local time names two
// instants.
#pragma once

#include <cstdint>
#include <functional>

namespace mira::serve::mqtt {

// Local time minus UTC, in seconds, at an instant given in seconds since 1970 UTC.
using OffsetAt = std::function<int64_t(int64_t unixSeconds)>;

// The offset of the machine's own zone (localtime_r).
int64_t MachineOffsetAt(int64_t unixSeconds);

// The instant, in ms since 1970 UTC, whose local time is `fileTime`. Of two
// instants with that local time, the one nearer `nowUnixMs`; a local time the
// clocks skipped is taken with the offset in force before the skip.
int64_t UnixMillisOfLocal(uint64_t fileTime, int64_t nowUnixMs, const OffsetAt& offsetAt);

// The same against the machine's zone and clock.
int64_t UnixMillisOfLocal(uint64_t fileTime);

// Now, in ms since 1970 UTC.
int64_t UnixMillisNow();

}  // namespace mira::serve::mqtt
