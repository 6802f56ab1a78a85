// A Portkit without a line for the driver-side benchmarks: the controller
// simulator answers in the same thread, and its bytes wait in a fixed ring
// until the bench (or a yield inside the driver) hands them to HandInts.
// Nothing here allocates after Open, so the allocation counter sees the
// driver alone; the time spent inside the simulator is kept apart so that
// it can be taken off the driver's figures.
#pragma once

#include <cstdint>

#include "mira/mira.h"
#include "setup/portkit.h"

namespace mira::bench {

enum class Family { Slc500, Plc5, Plc2 };

// Opens the driver on the loopback with a fresh simulator of the family.
// Returns false when the driver refused to open.
bool OpenLoop(Family family, bool crc);
void CloseLoop();

// Bytes the simulator has sent that HandInts has not taken yet.
int32_t Pending();
// Hands every pending byte to HandInts, one call per byte.
void DeliverAll();
// Nanoseconds spent in the simulator since the last call (then reset).
uint64_t TakePeerNs();
// Milliseconds the driver asked to sleep since the last call (then reset).
uint64_t TakeSleptMs();
// Bytes sent by the driver and by the simulator since the last call.
void TakeWireBytes(uint64_t* fromDriver, uint64_t* fromPeer);

uint64_t NowNs();

}  // namespace mira::bench

namespace mira::bench {

// The loopback's port, for benches that drive HandInts without an open.
generic_port* LoopPort();
// Puts bytes in the ring as if they had arrived; returns how many fitted.
int32_t Arrive(const uint8_t* bytes, int32_t count);

}  // namespace mira::bench
