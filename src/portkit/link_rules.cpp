#include "portkit/link_rules.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "portkit/portkit_host.h"

namespace mira::portkit {
namespace {

constexpr size_t kFields = static_cast<size_t>(Count::kFields);
static_assert(sizeof(PkLinkCounters) == kFields * sizeof(uint64_t), "one counter per PkLinkCounters field");
std::atomic<uint64_t> g_counts[kFields];

}  // namespace

void AddCount(Count which, uint64_t n) { g_counts[static_cast<size_t>(which)].fetch_add(n, std::memory_order_relaxed); }

void CountReceived(RxEvent event) {
    switch (event) {
        case RxEvent::Ack: AddCount(Count::AcksReceived); break;
        case RxEvent::Nak: AddCount(Count::NaksReceived); break;
        case RxEvent::Enq: AddCount(Count::EnqsReceived); break;
        case RxEvent::Frame: AddCount(Count::FramesReceived); break;
        case RxEvent::BadCheck:
            AddCount(Count::FramesReceived);
            AddCount(Count::BadChecks);
            break;
        case RxEvent::Overflow: AddCount(Count::Overflows); break;
        default: break;
    }
}

namespace {

// A frame whose message is a reply (its CMD with 0x40) with STS 0x90.
bool IsCannotBufferReply(const uint8_t* bytes, size_t count) {
    uint8_t head[4];
    size_t n = 0;
    for (size_t i = 2; i < count && n < sizeof head; ++i) {
        if (bytes[i] == kDle && (++i == count || bytes[i] != kDle)) break;  // DLE ETX: the message ended
        head[n++] = bytes[i];
    }
    return n == sizeof head && (head[2] & 0x40) != 0 && head[3] == 0x90;
}

}  // namespace

void CountSent(const uint8_t* bytes, size_t count) {
    AddCount(Count::BytesSent, count);
    if (count < 2 || bytes[0] != kDle) return;
    if (bytes[1] == kStx) AddCount(Count::FramesSent);
    if (bytes[1] == kStx && IsCannotBufferReply(bytes, count)) AddCount(Count::CannotBufferReplies);
    if (count != 2) return;
    if (bytes[1] == kAck) AddCount(Count::AcksSent);
    if (bytes[1] == kNak) AddCount(Count::NaksSent);
    if (bytes[1] == kEnq) AddCount(Count::EnqsSent);
}

void CountAnswer(RxEvent event, Transmitter::Answers to) {
    const bool nak = event == RxEvent::Nak;
    if (to == Transmitter::Answers::Frame && nak) AddCount(Count::FramesRefused);
    if (to == Transmitter::Answers::LineReset) AddCount(nak ? Count::ResetNaks : Count::ResetAcks);
}

void ReadCounts(PkLinkCounters* out, size_t size) {
    uint64_t values[kFields];
    for (size_t i = 0; i < kFields; ++i) values[i] = g_counts[i].load(std::memory_order_relaxed);
    static_assert(sizeof values == sizeof *out);
    std::memcpy(out, values, std::min(size, sizeof values) / sizeof values[0] * sizeof values[0]);
}

uint16_t Crc16Step(uint16_t crc, uint8_t byte) {
    crc = static_cast<uint16_t>(crc ^ byte);
    for (int i = 0; i < 8; ++i) crc = (crc & 1u) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : crc >> 1;
    return crc;
}

void RxScanner::Add(uint8_t byte) {
    ++count_;
    sum_ = static_cast<uint8_t>(sum_ + byte);
    crcValue_ = Crc16Step(crcValue_, byte);
}

RxEvent RxScanner::Feed(uint8_t byte) {
    switch (state_) {
        case State::Idle:
            if (byte == kDle) state_ = State::Dle;
            return RxEvent::None;
        case State::Dle:
            if (byte == kStx) {
                state_ = State::Data;
                count_ = 0;
                sum_ = 0;
                crcValue_ = 0;
                return RxEvent::None;
            }
            state_ = State::Idle;
            return byte == kAck ? RxEvent::Ack : byte == kNak ? RxEvent::Nak : byte == kEnq ? RxEvent::Enq
                                                                                            : RxEvent::OtherLink;
        default:
            break;
    }
    // Inside a frame: one byte more than the driver stores ends it.
    if (count_ > kMaxMessageBytes) {
        state_ = State::Idle;
        return RxEvent::Overflow;
    }
    switch (state_) {
        case State::Data:
            if (byte == kDle) {
                state_ = State::DataDle;
            } else {
                Add(byte);
            }
            return RxEvent::None;
        case State::DataDle:
            if (byte == kDle) {
                state_ = State::Data;
                Add(byte);
                return RxEvent::None;
            }
            if (byte == kEtx) {
                crcValue_ = Crc16Step(crcValue_, kEtx);
                state_ = State::Check;
                return RxEvent::None;
            }
            state_ = State::Idle;
            return RxEvent::Garbled;
        case State::Check:
            if (crc_) {
                crcLow_ = byte;
                state_ = State::CheckHigh;
                return RxEvent::None;
            }
            state_ = State::Idle;
            return byte == static_cast<uint8_t>(-sum_) ? RxEvent::Frame : RxEvent::BadCheck;
        case State::CheckHigh:
            state_ = State::Idle;
            return crcLow_ == (crcValue_ & 0xFF) && byte == (crcValue_ >> 8) ? RxEvent::Frame : RxEvent::BadCheck;
        default:
            state_ = State::Idle;
            return RxEvent::None;
    }
}

void Transmitter::Wait(State state, uint32_t nowMs, uint32_t spanMs) {
    state_ = state;
    sinceMs_ = nowMs;
    spanMs_ = spanMs;
}

void Transmitter::Sent(const uint8_t* frame, size_t count, bool command, uint32_t nowMs, uint32_t wireMs) {
    state_ = State::Idle;
    length_ = 0;
    if (count > kMaxFrameBytes) return;
    for (size_t i = 0; i < count; ++i) frame_[i] = frame[i];
    length_ = count;
    command_ = command;
    // A line reset's answer that has not come by now never will be told
    // from this frame's.
    resends_ = enqs_ = resetsUnanswered_ = 0;
    wireMs_ = wireMs;
    Wait(State::AwaitAck, nowMs, wireMs + settings_.ackTimeoutMs);
}

Transmitter::Answers Transmitter::Answer() {
    if (state_ != State::Idle) return Answers::Frame;
    if (resetsUnanswered_ == 0) return Answers::Nothing;
    --resetsUnanswered_;
    return Answers::LineReset;
}

Transmitter::Action Transmitter::OnNak(uint32_t nowMs) {
    if (state_ == State::Idle) return Action::None;
    if (resends_ >= settings_.nakRetries) {
        state_ = State::Idle;
        return Action::GiveUpNak;
    }
    ++resends_;
    Wait(State::AwaitAck, nowMs, wireMs_ + settings_.ackTimeoutMs);
    return Action::Resend;
}

Transmitter::Action Transmitter::OnTick(uint32_t nowMs) {
    if (state_ == State::Idle || nowMs - sinceMs_ < spanMs_) return Action::None;
    if (enqs_ >= settings_.enqRetries) {
        state_ = State::Idle;
        return Action::GiveUpSilent;
    }
    ++enqs_;
    Wait(State::AwaitEnqAnswer, nowMs, settings_.ackTimeoutMs);
    return Action::SendEnq;
}

}  // namespace mira::portkit
