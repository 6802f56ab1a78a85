// The bridge that delivers window messages to the host. On Windows the
// handle is an HWND and a posted message waits in the window's queue until
// the host's thread takes it. Here the handle is the address of the host's
// MiraWindow record, and the bridge keeps that behaviour: a post only queues
// the message; the bridge's own thread calls the host's post function, and
// only after the poster has let the message go. The receive handler lets its
// messages go when it is done with the byte that posted them, so the DLE ACK
// of a stored frame is on the line before the host hears of the frame.
#pragma once

#include <cstdint>

#include "mira/mira.h"

namespace mira {

// The messages that may wait for delivery at one time.
inline constexpr uint32_t kWindowQueueSlots = 64;

// Queues message for the host's window. Returns false, and queues nothing,
// for a zero handle, a window without a post function, a bridge that is not
// running, or a full queue (as PostMessageW fails on a full queue).
bool PostMessageW(MiraWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Lets every message queued so far go to the host. Costs one atomic load
// when nothing was queued.
void ReleasePostedMessages();

// Starts the delivery thread (UDrvOpen with a window); true once it runs.
[[nodiscard]] bool StartWindowBridge();

// Lets every queued message go and returns once each has been delivered.
// Not to be called from the host's post function.
void FlushWindowMessages();

// Flushes, then stops the delivery thread; posts are refused until the next
// start (UDrvClose). Not to be called from the host's post function.
void StopWindowBridge();

}  // namespace mira
