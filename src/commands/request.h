// PCCC request building shared by reads and writes, and the send sequence.
#pragma once

#include <cstdint>

#include "address/records.h"

namespace mira {

// The largest request message the builders produce, and its frame.
inline constexpr int32_t kMaxRequestBytes = 300;
inline constexpr int32_t kMaxFrameBytes = 2 * kMaxRequestBytes + 6;

// Writes the six-byte command header (DST, SRC, CMD, STS 0, TNS low, TNS
// high 0) and advances TnsCounter. Returns 6.
int32_t PutCommandHeader(uint8_t* out, const PlcAddress& header, uint8_t command);

// The element-number field of SLC 500 requests: one byte up to 255, else
// 0xFF, low, high. Returns the bytes written (1 or 3).
int32_t PutElementNumber(uint8_t* out, int32_t element);

// Writes the 8-bit ASCII logical address of `element` in CurrentHeader's file
// (N7:12, I:10.0, S:3); returns its length without the terminator. `capacity`
// bounds the text, terminator included.
int32_t FormatAsciiAddress(char* text, int32_t capacity, int32_t element);

// Conversions between a number whose decimal digits are octal digits and its
// value: 17 -> 15 and back. 0 for values of 0 or less.
int32_t OctalDigitsToValue(int32_t n);
int32_t ValueToOctalDigits(int32_t value);

// Frames and sends a built request under the channel lock; returns the
// port's ErrorCode (0: sent).
[[nodiscard]] int32_t TransmitRequest(const uint8_t* message, int32_t length);

// The synchronous per-item read of a string file into StringSlots.
[[nodiscard]] int32_t ReadStringItems(PlcAddress* header, const ItemRequest* items, int32_t count);

}  // namespace mira
