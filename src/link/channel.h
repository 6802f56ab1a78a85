// The channel lock, the line reset and the reply wait that every sender
// follows: TakeChannel, send, PollReply until done, WaitOutputDrained.
#pragma once

#include <cstdint>

namespace mira {

// Returns when the caller owns the channel (ChannelBusy 1). A holder that
// never lets go is displaced after the port's TimeoutA + TimeoutB ms.
void TakeChannel();

// One DLE ENQ cycle: until the peer's answer is in, or 300 ms for a silent
// peer; leaves the channel free.
void ResetLine();

// 0 while the exchange is open; 1 when it ended, with *error 0 (the reply is
// in RxData) or the port's nonzero ErrorCode. ReplyReady wins.
[[nodiscard]] int32_t PollReply(int32_t* error);

// Waits at most 100 ms for Portkit to report its output sent.
void WaitOutputDrained();

}  // namespace mira
