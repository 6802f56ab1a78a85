// The DF1 full-duplex link as Portkit sees it from below the driver: what the
// received bytes amount to (frames, their checks, link sequences), the
// transmitter's wait for DLE ACK with its retransmissions and DLE ENQ, the
// reopen back-off of a lost line, and the counters a host can read. No
// operating-system headers and no allocation, so that every Portkit shares it.
#pragma once

#include <cstddef>
#include <cstdint>

struct PkLinkCounters;  // portkit/portkit_host.h

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
    // Between frames and link sequences: the bytes fed so far ended whatever they began.
    bool Idle() const { return state_ == State::Idle; }
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

// The transmitter's rules for the frames the host sends (the public DF1
// full-duplex rules): after a frame, wait for DLE ACK; on DLE NAK send the
// same frame again; with neither within the ACK time-out ask with DLE ENQ,
// whose answer (the controller repeats its last response) decides.
struct LinkSettings {
    uint32_t ackTimeoutMs = 250;  // three DLE ENQs fit in the default reply time-out
    uint32_t nakRetries = 3;      // frames sent again after DLE NAK
    uint32_t enqRetries = 3;      // DLE ENQs after a silent ACK time-out
};

// The longest frame the driver sends: 511 message bytes, each one a doubled
// DLE, with framing and a CRC.
inline constexpr size_t kMaxFrameBytes = 2 * kMaxMessageBytes + 6;

class Transmitter {
public:
    enum class Action : uint8_t {
        None,
        Resend,       // send frame() again
        SendEnq,      // send DLE ENQ
        GiveUpNak,    // DLE NAK after the last retransmission
        GiveUpSilent  // no answer to the last DLE ENQ either
    };

    // Whom a DLE ACK or DLE NAK received now answers.
    enum class Answers : uint8_t { Frame, LineReset, Nothing };

    void Configure(const LinkSettings& settings) { settings_ = settings; }
    // A frame went out at nowMs and takes wireMs on the line. A frame longer
    // than kMaxFrameBytes is not kept and is never sent again.
    void Sent(const uint8_t* frame, size_t count, bool command, uint32_t nowMs, uint32_t wireMs);
    // The wait ends without a word: the host took the line back.
    void Stop() { state_ = State::Idle; }
    // The host sent a line reset of its own (DLE ENQ outside any exchange):
    // the controller's next DLE ACK or DLE NAK, with no frame waiting, is its
    // answer and says nothing about a frame.
    void ResetSent() {
        state_ = State::Idle;
        ++resetsUnanswered_;
    }
    // Call for each DLE ACK or DLE NAK received, before OnAck or OnNak.
    Answers Answer();
    void OnAck() { state_ = State::Idle; }
    Action OnNak(uint32_t nowMs);
    Action OnTick(uint32_t nowMs);

    bool waiting() const { return state_ != State::Idle; }
    uint32_t ackTimeoutMs() const { return settings_.ackTimeoutMs; }
    bool command() const { return command_; }  // the frame is the host's command, not an answer
    const uint8_t* frame() const { return frame_; }
    size_t length() const { return length_; }

private:
    enum class State : uint8_t { Idle, AwaitAck, AwaitEnqAnswer };
    void Wait(State state, uint32_t nowMs, uint32_t spanMs);

    LinkSettings settings_;
    State state_ = State::Idle;
    bool command_ = false;
    uint32_t resends_ = 0, enqs_ = 0, resetsUnanswered_ = 0;
    uint32_t sinceMs_ = 0, spanMs_ = 0, wireMs_ = 0;
    size_t length_ = 0;
    uint8_t frame_[kMaxFrameBytes]{};
};

// When a lost line is tried again: 1 s after the loss, then doubling to 30 s.
class Backoff {
public:
    static constexpr uint32_t kFirstMs = 1000, kLongestMs = 30000;
    void Lost(uint32_t nowMs) {
        delayMs_ = kFirstMs;
        sinceMs_ = nowMs;
    }
    bool Due(uint32_t nowMs) const { return nowMs - sinceMs_ >= delayMs_; }
    void Failed(uint32_t nowMs) {
        delayMs_ = delayMs_ >= kLongestMs / 2 ? kLongestMs : 2 * delayMs_;
        sinceMs_ = nowMs;
    }
    uint32_t delayMs() const { return delayMs_; }

private:
    uint32_t delayMs_ = kFirstMs, sinceMs_ = 0;
};

// The process's link counters (PkLinkCounters), added to by every port.
enum class Count : uint8_t {
    FramesSent, FramesReceived, BytesSent, BytesReceived, AcksSent, AcksReceived, NaksSent, NaksReceived,
    EnqsSent, EnqsReceived, Retransmissions, BadChecks, ReplyTimeouts, Overflows, BytesDropped, LinesLost,
    Reconnects, LineResets, ResetAcks, ResetNaks, FramesRefused, CannotBufferReplies, kFields
};
// The fields hosts built before the line-reset counters know.
inline constexpr size_t kFirstCountFields = static_cast<size_t>(Count::LineResets);
void AddCount(Count which, uint64_t n = 1);
// Counts what a received byte completed, and what a send put on the line.
void CountReceived(RxEvent event);
void CountSent(const uint8_t* bytes, size_t count);
// Counts whom a DLE ACK or DLE NAK answered.
void CountAnswer(RxEvent event, Transmitter::Answers to);
// Copies the first `size` bytes of the counters, whole fields only.
void ReadCounts(PkLinkCounters* out, size_t size);

// The CRC-16 of DF1 (reflected polynomial 0xA001, initial 0) after one byte.
uint16_t Crc16Step(uint16_t crc, uint8_t byte);

}  // namespace mira::portkit
