// Modbus TCP requests and replies: the MBAP header, the decoding of the eight
// functions the face serves (1, 2, 3, 4 read; 5, 6, 15, 16 write) with the
// application protocol's limits, and the replies. Pure, over bytes, so it is
// fuzzed without a socket.
//
// Limits: an ADU is at most 260 bytes, so the header's length (unit id and
// PDU) at most 254; a read asks 1 to 125 registers or 1 to 2000 bits, a write
// gives 1 to 123 registers or 1 to 1968 coils, and the range ends by 65535.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serve/modbus/modbus_map.h"

namespace mira::serve::modbus {

inline constexpr size_t kHeaderBytes = 7;  // transaction, protocol, length, unit id
inline constexpr size_t kMaxAdu = 260;
inline constexpr uint16_t kMaxLength = kMaxAdu - 6;

// The exception codes the face answers with; 0 is no exception.
enum : uint8_t {
    kOk = 0,
    kIllegalFunction = 0x01,
    kIllegalAddress = 0x02,  // an address without a tag; a write that splits a tag
    kIllegalValue = 0x03,    // past the protocol's limits; a value the tag refuses
    kDeviceFailure = 0x04,   // the controller or the driver failed the write otherwise
    kBusy = 0x06,            // the gateway's queue of writes is full
    kPathUnavailable = 0x0A, // a unit id the gateway does not serve
    kTargetFailed = 0x0B,    // a tag whose quality is not 192; the controller did not answer
    kNoAnswer = 0xFF,        // not a request to answer: the connection is dropped
};

// The exception's name for /metrics: "illegal_address" ...; "ok" for kOk.
const char* ResultName(uint8_t exception);

struct Header {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0;  // bytes after the length field: unit id and PDU
    uint8_t unit = 0;
};

// What the first seven bytes say about the frame they open.
enum class Framing {
    Good,      // length 2 to 254: read length-1 more bytes
    NotModbus, // a protocol id other than 0: drop the connection
    Short,     // no function code: drop the connection
    TooLong,   // a length past 254: read the function code, answer 0x03, drop
};
Framing ReadHeader(const uint8_t* bytes, Header* out);

struct Request {
    Header header;
    uint8_t function = 0;
    Table table = Table::HoldingRegisters;
    uint16_t address = 0;
    uint16_t quantity = 0;  // registers or bits
    bool write = false;
    // A write's registers, or its coils as 0 or 1, `quantity` of them.
    std::vector<uint16_t> values;
};

// Decodes one ADU as its header frames it: all of it, or, for a header whose
// length is past the protocol's, the header and the function code. unitId:
// the unit served, 255 for any. Returns kOk with *out filled, or the
// exception to answer (header and function filled as far as they were read),
// or kNoAnswer.
uint8_t DecodeRequest(const uint8_t* adu, size_t size, uint8_t unitId, Request* out);

// Replies, each a whole ADU with the request's transaction and unit id.
std::vector<uint8_t> ExceptionReply(const Header& header, uint8_t function, uint8_t exception);
// A read: `values` holds the registers, or the bits as 0 or 1.
std::vector<uint8_t> ReadReply(const Request& request, const std::vector<uint16_t>& values);
std::vector<uint8_t> WriteReply(const Request& request);

}  // namespace mira::serve::modbus
