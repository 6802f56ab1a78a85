// The receive side of the DF1 link, behind the exported HandInts.
#pragma once

#include <cstdint>

#include "setup/portkit.h"

namespace mira {

// Receive states of the port's RxState.
enum RxStateValue : uint32_t {
    StIdle = 0,      // waiting for a DLE
    StDle = 1,       // the byte after that DLE
    StData = 2,      // a message byte, or a DLE
    StDataDle = 3,   // the byte after a DLE inside a frame
    StCheck = 4,     // the BCC byte, or the high CRC byte
    StCrcFirst = 5,  // the low CRC byte
};

// The window message posted for each stored unsolicited frame (WM_USER + 0x200).
inline constexpr uint32_t kUnsolicitedMessage = 0x600;

// The most bytes the receive trace line shows after "Rx:", so that the line
// stays within 255 characters.
inline constexpr int32_t kTraceBytes = 84;

// Byte i of RxData, read whole (the receive thread may be writing the next
// frame). Indices outside RxData read as 0.
[[nodiscard]] uint8_t RxByte(int32_t index);

// Copies bytes [first, first + count) of the awaited reply into out, clipped
// to the reply; returns the number copied. Call only after PollReply has
// reported the reply in: until the next request the copy stays as it was,
// whatever the controller sends meanwhile.
int32_t CopyReply(int32_t first, int32_t count, uint8_t* out);

// The message bytes of the awaited reply (DST, SRC, CMD, STS, TNS, data).
[[nodiscard]] int32_t ReplyLength();

// True when the reply the handler kept answers the request sent last.
[[nodiscard]] bool ReplyIsCurrent();

// Remembers a message the driver is about to send, so that the receive
// handler knows it again when a line that echoes every byte (a two-wire
// adapter) hands it back; the echo is acknowledged and dropped, never taken
// as a reply or a controller's command. A request also names the command
// byte its reply must carry, with 0x40 set. Call before the send.
void NoteSentMessage(const uint8_t* message, int32_t length, bool request);

// Puts the receive machine back to its start before a send: RxState 0 and
// RxCount 0. Resetting RxCount here is the way out of an overlong frame,
// after which the handler drops every byte until the count is cleared.
void ResetReceiver(generic_port* port);

// Takes the byte that waits on port, if any, through the receive machine,
// then hands the window what it posted. What Portkit's calls of HandInts run.
void ReceiveWaitingByte(generic_port* port);

}  // namespace mira
