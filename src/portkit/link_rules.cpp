#include "portkit/link_rules.h"

namespace mira::portkit {

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

}  // namespace mira::portkit
