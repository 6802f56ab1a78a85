#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace mira {
namespace {

std::atomic<const ClockSource*> g_source{nullptr};

// The wall clock goes on past January 2038 on 32-bit targets too (the build
// asks for the 64-bit time_t there).
static_assert(sizeof(time_t) == 8, "a 32-bit time_t ends in January 2038");

// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDelta = 11644473600ull;

}  // namespace

void SetClockSource(const ClockSource* source) { g_source.store(source, std::memory_order_release); }

uint32_t GetTickCount() {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) return s->tickCount(s->context);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void Sleep(uint32_t milliseconds) {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) {
        s->sleep(s->context, milliseconds);
        return;
    }
    timespec ts{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

MiraFileTime GetLocalFileTime() {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) return s->localFileTime(s->context);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    // Local time: the UTC seconds shifted by the zone's offset at that moment.
    const int64_t seconds = static_cast<int64_t>(ts.tv_sec) + local.tm_gmtoff;
    const uint64_t ticks = (static_cast<uint64_t>(seconds) + kEpochDelta) * 10000000ull +
                           static_cast<uint64_t>(ts.tv_nsec) / 100u;
    return MiraFileTime{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

}  // namespace mira
