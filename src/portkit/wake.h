// The host's reply wait without polling: the receive thread announces each
// complete frame, link sequence or error it has handed to the driver, and
// PkYield sleeps until the next announcement instead of in fixed steps.
// Standard library only, so that every Portkit can use it.
#pragma once

#include <cstdint>

namespace mira::portkit {

// Wakes every thread waiting in WaitForLineEvent.
void AnnounceLineEvent();

// Returns once a line event was announced after this thread's previous
// return from here, or after at most maxWaitUs. An event announced between
// two calls is never lost: the second call returns at once.
void WaitForLineEvent(uint32_t maxWaitUs);

}  // namespace mira::portkit
