// df1_frame.h - DF1 data frames as the driver sends them: DLE STX, the
// message with each DLE doubled, DLE ETX, then a BCC byte or a CRC-16 (low
// byte first). C++ only; not exported by libmira. The driver's link library
// (mira_link) defines it, and tools that print frames (mira-frame) link it.
#pragma once

#include <cstdint>

namespace mira {

inline constexpr uint8_t kDLE = 0x10;
inline constexpr uint8_t kSTX = 0x02;
inline constexpr uint8_t kETX = 0x03;
inline constexpr uint8_t kENQ = 0x05;
inline constexpr uint8_t kACK = 0x06;
inline constexpr uint8_t kNAK = 0x15;

// The largest frame of an n-byte message: every byte doubled plus six.
constexpr int32_t FrameCapacity(int32_t n) { return 2 * (n > 0 ? n : 0) + 6; }

// One CRC-16/ARC step (reflected 0xA001, bit by bit) applied in place.
void CrcStep(uint16_t* crc, uint8_t byte);

// Writes the frame of message[0..length) into out, which holds at least
// FrameCapacity(length) bytes, and stores the frame's length. A length of 0
// or less gives a frame without message bytes. useCrc chooses CRC-16 over
// the BCC.
void EncodeFrame(const uint8_t* message, int32_t length, bool useCrc, uint8_t* out, int32_t* outLength);

}  // namespace mira
