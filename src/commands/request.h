// PCCC request building shared by reads and writes, and the send sequence.
//
// Every builder writes through a RequestWriter into a caller's buffer of
// kMaxRequestBytes and returns the number of bytes written, or a negative
// host error code when the request cannot be expressed (nothing is sent
// then).
#pragma once

#include <cstdint>

#include "address/taken.h"
#include "setup/records.h"
#include "mira/mira.h"

namespace mira {

// The largest request message the builders produce, and its frame.
inline constexpr int32_t kMaxRequestBytes = 300;
inline constexpr int32_t kMaxFrameBytes = 2 * kMaxRequestBytes + 6;

// Room for an ASCII logical address text, terminator included.
inline constexpr int32_t kAsciiAddressCapacity = 48;

// A bounded request buffer. Appends past the capacity are dropped and
// remembered, so a builder checks ok() once at the end.
class RequestWriter {
public:
    RequestWriter(uint8_t* out, int32_t capacity) : out_(out), capacity_(capacity) {}
    void Byte(uint32_t b) {
        if (size_ < capacity_)
            out_[size_++] = static_cast<uint8_t>(b & 0xFFu);
        else
            overflow_ = true;
    }
    void Word(uint16_t w) {
        Byte(w);
        Byte(w >> 8u);
    }
    void Bytes(const uint8_t* bytes, int32_t count) {
        for (int32_t i = 0; i < count; ++i) Byte(bytes[i]);
    }
    void Text(const char* text, int32_t length) {
        for (int32_t i = 0; i < length; ++i) Byte(static_cast<uint8_t>(text[i]));
    }
    int32_t size() const { return size_; }
    bool ok() const { return !overflow_; }
    // The bytes written, or MIRA_ERR_RANGE when the request ran past the
    // buffer (it is then never sent).
    int32_t Result() const { return overflow_ ? MIRA_ERR_RANGE : size_; }

private:
    uint8_t* out_;
    int32_t capacity_;
    int32_t size_ = 0;
    bool overflow_ = false;
};

// CMD bytes by controller: typed commands for SLC 500 and PLC-5.
uint8_t ReadCommandByte();   // 0x0F, or 0x01 for PLC-2
uint8_t WriteCommandByte();  // 0x0F, or 0x08 for PLC-2

// Writes the six-byte command header (DST, SRC, CMD, STS 0, TNS low, TNS
// high 0) and advances TnsCounter.
void PutCommandHeader(RequestWriter& w, const PlcAddress& header, uint8_t command);

inline constexpr int32_t kMaxSlcAddressBytes = 10;

// One SLC 500 number field (file number, element, sub-element or slot):
// 0..254 as one byte, 255..65535 as 0xFF, low, high (a lone 0xFF opens the
// three-byte form, so 255 is FF FF 00). Returns the bytes written (1 or 3),
// or 0 with nothing written for a number no field can carry (negative or
// above 65535).
int32_t PutSlcNumber(uint8_t* out, int32_t number);

// The SLC 500 address fields: file number, file type and the two number
// fields (slot and element) in the order the file type needs. A negative
// slot (none named) is set to 0 in the header itself. Returns the bytes
// written (4 to kMaxSlcAddressBytes), or MIRA_ERR_RANGE with nothing written
// when a number does not fit its field.
int32_t PutSlcAddress(uint8_t* out, PlcAddress* header, int32_t element);

// 0 when a request of the current controller class can name the header's
// station and file as its text does, else MIRA_ERR_RANGE: the station must
// fit the DST byte; PLC-2 and PLC-5 requests carry no slot, so a slot above
// 0 is refused there; a PLC-5 file number must lie within 0..65535. Every
// builder asks before the TNS moves.
int32_t CheckDestination(const PlcAddress& header);

// The PLC-5 ASCII logical address: 0x00 '$', the text of FormatAsciiAddress
// for `element`, 0x00.
void PutPlc5Address(RequestWriter& w, int32_t element);

// The PLC-5 typed write up to its type-and-size bytes, for the group write
// and the item write alike: the command header, FNC 0x67, packet offset 0,
// the total transaction and the address of `element`.
void PutPlc5WriteHead(RequestWriter& w, const PlcAddress& header, int32_t total, int32_t element);

// The PLC-5 type-and-size bytes before typed-write data of a file type: an
// array of `count` elements of the file's data type, or, for string and
// ASCII files, the character form (its byte count is the caller's).
void PutPlc5DataType(RequestWriter& w, int32_t fileType, int32_t count);
// The value of that array's size byte for `count` elements (no character
// form): the element's type-and-size bytes and the data. Above 255 it does
// not fit the byte.
int32_t Plc5ArraySize(int32_t fileType, int32_t count);

// Writes the 8-bit ASCII logical address of `element` in CurrentHeader's file
// (N7:12, I:10.0, S:3); returns its length without the terminator. `capacity`
// bounds the text, terminator included.
int32_t FormatAsciiAddress(char* text, int32_t capacity, int32_t element);

// Conversions between a number whose decimal digits are octal digits and its
// value: 17 -> 15 and back. 0 for values of 0 or less.
int32_t OctalDigitsToValue(int32_t n);
int32_t ValueToOctalDigits(int32_t value);

// The three read requests. byteCount must fit the one-byte size field
// (0..255), element numbers must lie in 0..65535 (PLC-2: byte addresses in
// 0..65535), the SLC file number and slot must fit their fields and the
// header must pass CheckDestination; otherwise MIRA_ERR_RANGE is returned and
// nothing is built (TnsCounter is not advanced).
int32_t BuildPlc2Read(uint8_t* out, const PlcAddress& header, int32_t byteAddress, int32_t byteCount);
int32_t BuildSlcRead(uint8_t* out, PlcAddress* header, int32_t element, int32_t byteCount);
// PLC-5 typed read of `count` elements from `element` (as the address text
// shows it), count in 1..65535.
int32_t BuildPlc5Read(uint8_t* out, const PlcAddress& header, int32_t element, int32_t count);

// Frames and sends a built request under the channel lock; returns the
// port's ErrorCode (0: sent).
[[nodiscard]] int32_t TransmitRequest(const uint8_t* message, int32_t length);

// The synchronous per-item read of a string file into StringSlots: 0, -34
// for an item that is not a string, 256 for a failed exchange, the STS of a
// refused request, or -39 for more than 255 items or a string that does not
// fit a slot's request.
[[nodiscard]] int32_t ReadStringItems(PlcAddress* header, const ItemRequest* items, int32_t count);

}  // namespace mira
