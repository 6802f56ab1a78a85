// Time as the driver sees it, from the system itself: GetTickCount wraps at
// 2^32 ms just as the driver's tick arithmetic expects, and the local time
// stamp is GetLocalTime turned into a FILETIME.
#include <atomic>

#include "platform/clock.h"
#include "platform/win32.h"

namespace mira {
namespace {

std::atomic<const ClockSource*> g_source{nullptr};

}  // namespace

void SetClockSource(const ClockSource* source) { g_source.store(source, std::memory_order_release); }

uint32_t GetTickCount() {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) return s->tickCount(s->context);
    return static_cast<uint32_t>(::GetTickCount());
}

void Sleep(uint32_t milliseconds) {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) {
        s->sleep(s->context, milliseconds);
        return;
    }
    ::Sleep(milliseconds);
}

MiraFileTime GetLocalFileTime() {
    if (const ClockSource* s = g_source.load(std::memory_order_acquire)) return s->localFileTime(s->context);
    SYSTEMTIME local{};
    ::GetLocalTime(&local);
    FILETIME stamp{};
    ::SystemTimeToFileTime(&local, &stamp);
    return MiraFileTime{stamp.dwLowDateTime, stamp.dwHighDateTime};
}

}  // namespace mira
