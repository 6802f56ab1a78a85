// The PCCC bytes the driver's requests and replies carry, by name: the
// receive handler reads some of them (replies, unsolicited commands), the
// command set writes them.
#pragma once

#include <cstdint>

namespace mira::pccc {

// CMD bytes.
inline constexpr uint8_t kCmdUnprotectedRead = 0x01;      // PLC-2 read of a byte range
inline constexpr uint8_t kCmdUnprotectedBitWrite = 0x05;  // PLC-2 set/reset masks per byte
inline constexpr uint8_t kCmdUnprotectedWrite = 0x08;     // PLC-2 write of a byte range
inline constexpr uint8_t kCmdTyped = 0x0F;                // SLC 500 and PLC-5 typed commands
// A reply carries its command's CMD with this bit set.
inline constexpr uint8_t kReplyBit = 0x40;

// FNC bytes of the typed command.
inline constexpr uint8_t kFncPlc5TypedWrite = 0x67;
inline constexpr uint8_t kFncPlc5TypedRead = 0x68;
inline constexpr uint8_t kFncSlcProtectedRead = 0xA2;   // protected typed logical read, three fields
inline constexpr uint8_t kFncSlcProtectedWrite = 0xAA;  // protected typed logical write, three fields

// STS values.
inline constexpr uint8_t kStsOk = 0x00;
inline constexpr uint8_t kStsCannotBuffer = 0x90;  // remote node cannot buffer command
inline constexpr uint8_t kStsExtended = 0xF0;      // the EXT STS byte follows the TNS

// The PLC-5 ASCII logical address: a zero byte and '$' open it, a zero
// byte ends it.
inline constexpr uint8_t kPlc5AddressOpen[] = {0x00, '$'};

// The PLC-5 type-and-size bytes before typed data. Each field is a flag
// byte with the data type in its high nibble and the size in bytes in its
// low one; a value above 7 follows in a byte of its own (type first), its
// nibble then 9. Typed data is an array (type 9, its size byte counting
// the element's field and all the data) of one data type; character data
// has the one-byte form of a byte string (type 3) whose count follows.
inline constexpr uint8_t kPlc5Array[] = {0x99, 0x09};
inline constexpr uint8_t kPlc5Characters = 0x39;
inline constexpr uint8_t kTypeInteger = 4;
inline constexpr uint8_t kTypeTimer = 5;
inline constexpr uint8_t kTypeCounter = 6;
inline constexpr uint8_t kTypeControl = 7;
inline constexpr uint8_t kTypeFloat = 8;

}  // namespace mira::pccc
