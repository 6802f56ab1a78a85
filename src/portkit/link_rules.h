// The DF1 full-duplex link as Portkit sees it from below the driver: what the
// received bytes amount to (frames, their checks, link sequences), the
// transmitter's wait for DLE ACK with its retransmissions and DLE ENQ, the
// reopen back-off of a lost line, and the counters a host can read. No
// operating-system headers and no allocation, so that every Portkit shares it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mira::portkit {

inline constexpr uint8_t kDle = 0x10, kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06, kNak = 0x15;

// The most message bytes the driver takes in one frame.
inline constexpr uint32_t kMaxMessageBytes = 511;

// What one received byte completed.
enum class RxEvent : uint8_t {
    None,
    Ack,        // DLE ACK
    Nak,        // DLE NAK
    Enq,        // DLE ENQ
    OtherLink,  // DLE and any other byte outside a frame
    Frame,      // a frame whose check is good
    BadCheck,   // a complete frame whose check is wrong
    Garbled,    // DLE and a byte other than DLE or ETX inside a frame
    Overflow,   // a frame past kMaxMessageBytes; the rest of it is ignored
};

// Follows the received bytes as the driver's receive handler does, without
// storing them.
class RxScanner {
public:
    explicit RxScanner(bool crc = false) : crc_(crc) {}
    void SetCrc(bool crc) { crc_ = crc; }
    // Back to waiting for a DLE, as after the bytes received so far were thrown away.
    void Reset() { state_ = State::Idle; }
    RxEvent Feed(uint8_t byte);

private:
    enum class State : uint8_t { Idle, Dle, Data, DataDle, Check, CheckHigh };
    void Add(uint8_t byte);

    bool crc_;
    State state_ = State::Idle;
    uint32_t count_ = 0;
    uint8_t sum_ = 0;
    uint16_t crcValue_ = 0;
    uint8_t crcLow_ = 0;
};

// The CRC-16 of DF1 (reflected polynomial 0xA001, initial 0) after one byte.
uint16_t Crc16Step(uint16_t crc, uint8_t byte);

}  // namespace mira::portkit
