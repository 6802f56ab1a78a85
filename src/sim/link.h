// DF1 full-duplex framing as the controller sees it: the two checks, the
// frame encoder and a byte-at-a-time receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mira::sim {

enum : uint8_t { kStx = 0x02, kEtx = 0x03, kEnq = 0x05, kAck = 0x06, kDle = 0x10, kNak = 0x15 };

// Two's complement of the sum of the message bytes (a doubled DLE counts
// once; DLE STX and DLE ETX do not count).
uint8_t Bcc(const uint8_t* message, size_t count);

// CRC-16 (polynomial 0xA001 bit-reversed, start 0) over the message bytes
// and the ETX that closes them; sent low byte first.
uint16_t Crc16(const uint8_t* message, size_t count);

// DLE STX, the message with every DLE doubled, DLE ETX, then the check.
void EncodeFrame(const uint8_t* message, size_t count, bool crc, std::vector<uint8_t>* frame);

// When each byte put on a paced line has left it. Byte n of a run that found
// the line free at t is done at t + n * bits / baud seconds, rounded up to the
// next microsecond from the run's start, so that no rounding adds up over a
// frame however long it is (a byte at 115200 8N1 takes 86.8 us, not 86).
class LinePacer {
public:
    // A baud rate of 0 paces nothing: every byte is done when it is handed over.
    LinePacer(uint32_t baud, uint32_t bitsPerByte) : baud_(baud), bits_(bitsPerByte) {}
    // The time, in us, at which a byte handed over at nowUs has left the line.
    uint64_t Next(uint64_t nowUs);

private:
    uint32_t baud_, bits_;
    uint64_t runStartUs_ = 0, runBytes_ = 0, freeUs_ = 0;
};

// Largest message the receiver holds; a longer frame is refused.
constexpr size_t kMaxMessage = 600;

class FrameReceiver {
public:
    enum class Event {
        None,      // byte taken, nothing complete yet
        Ack,       // DLE ACK
        Nak,       // DLE NAK
        Enq,       // DLE ENQ
        Frame,     // a complete frame with a good check: Message() holds it
        BadCheck,  // a complete frame whose check failed
        Garbled,   // a frame broken off by a DLE followed by neither ETX nor DLE
        Overflow,  // a frame longer than kMaxMessage; the rest is skipped
    };

    explicit FrameReceiver(bool crc) : crc_(crc) {}
    Event Feed(uint8_t byte);
    const std::vector<uint8_t>& Message() const { return message_; }

private:
    enum class State { Idle, Dle, Data, DataDle, Check, CheckHigh, Skip, SkipDle };
    bool crc_;
    State state_ = State::Idle;
    std::vector<uint8_t> message_;
    uint8_t checkLow_ = 0;
    bool oversized_ = false;
};

}  // namespace mira::sim
