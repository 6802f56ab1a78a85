// The host's reply wait without polling: the receive thread announces each
// complete frame, link sequence or error it has handed to the driver, and
// PkYield sleeps until the next announcement instead of in fixed steps.
// Standard library only, so that every Portkit can use it.
#pragma once

#include <atomic>
#include <cstdint>

namespace mira::portkit {

// Wakes every thread waiting in WaitForLineEvent.
void AnnounceLineEvent();

// Returns once a line event was announced after this thread's previous
// return from here, or after at most maxWaitUs. An event announced between
// two calls is never lost: the second call returns at once.
void WaitForLineEvent(uint32_t maxWaitUs);

// The host's flag that ends every wait (PkWatchCancel); null: none. The flag
// is only read here, never written, so a signal handler may set it.
void WatchCancel(const std::atomic<bool>* flag);
bool CancelRequested();

}  // namespace mira::portkit
