#include "serve/mqtt/utc.h"

#include <time.h>

#include <chrono>
#include <cstdlib>

namespace mira::serve::mqtt {
namespace {

// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochTicks = 116444736000000000LL;

}  // namespace

int64_t MachineOffsetAt(int64_t unixSeconds) {
    const time_t t = static_cast<time_t>(unixSeconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return local.tm_gmtoff;
}

int64_t UnixMillisOfLocal(uint64_t fileTime, int64_t nowUnixMs, const OffsetAt& offsetAt) {
    // The local time read as if it were UTC.
    const int64_t localMs = (static_cast<int64_t>(fileTime) - kEpochTicks) / 10000;
    const int64_t localS = localMs / 1000;
    // No zone changes its offset twice within two days, and no offset exceeds
    // a day, so the offsets in force a day either side are every candidate.
    const int64_t probes[] = {offsetAt(localS - 86400), offsetAt(localS), offsetAt(localS + 86400)};
    bool found = false;
    int64_t best = 0;
    for (const int64_t offset : probes) {
        const int64_t candidate = localMs - offset * 1000;
        // The candidate is an instant with that local time only when its own
        // offset is the one assumed.
        if (offsetAt(candidate / 1000 - (candidate % 1000 < 0 ? 1 : 0)) != offset) continue;
        if (!found || std::llabs(candidate - nowUnixMs) < std::llabs(best - nowUnixMs)) best = candidate;
        found = true;
    }
    // A local time the clocks skipped: the offset before the skip, as a
    // clock that had not yet moved would have shown it.
    return found ? best : localMs - probes[0] * 1000;
}

int64_t UnixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t UnixMillisOfLocal(uint64_t fileTime) {
    // One scan stamps many tags alike: the last answer is kept.
    thread_local uint64_t lastFileTime = 0;
    thread_local int64_t lastMs = 0;
    if (fileTime != lastFileTime) {
        lastMs = UnixMillisOfLocal(fileTime, UnixMillisNow(), MachineOffsetAt);
        lastFileTime = fileTime;
    }
    return lastMs;
}

}  // namespace mira::serve::mqtt
