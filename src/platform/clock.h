// Time as the driver sees it: a wrapping millisecond tick count, a sleep, and
// the local time as a FILETIME. Tests replace the source with a fake clock.
#pragma once

#include <cstdint>

#include "mira/mira.h"

namespace mira {

// Milliseconds since an arbitrary start; wraps at 2^32.
uint32_t GetTickCount();

void Sleep(uint32_t milliseconds);

// The local wall-clock time as a FILETIME (100 ns since 1601-01-01).
MiraFileTime GetLocalFileTime();

struct ClockSource {
    uint32_t (*tickCount)(void* context);
    void (*sleep)(void* context, uint32_t milliseconds);
    MiraFileTime (*localFileTime)(void* context);
    void* context;
};

// Installs a clock source for the whole process; null restores the system
// clock. Meant for tests, before any driver call.
void SetClockSource(const ClockSource* source);

}  // namespace mira
