#include "sim/link.h"

namespace mira::sim {

uint8_t Bcc(const uint8_t* message, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += message[i];
    return static_cast<uint8_t>(-sum & 0xFF);
}

namespace {
uint16_t CrcStep(uint16_t crc, uint8_t byte) {
    crc ^= byte;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    return crc;
}
}  // namespace

uint16_t Crc16(const uint8_t* message, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) crc = CrcStep(crc, message[i]);
    return CrcStep(crc, kEtx);
}

void EncodeFrame(const uint8_t* message, size_t count, bool crc, std::vector<uint8_t>* frame) {
    frame->clear();
    frame->reserve(count * 2 + 6);
    frame->push_back(kDle);
    frame->push_back(kStx);
    for (size_t i = 0; i < count; ++i) {
        frame->push_back(message[i]);
        if (message[i] == kDle) frame->push_back(kDle);
    }
    frame->push_back(kDle);
    frame->push_back(kEtx);
    if (crc) {
        const uint16_t c = Crc16(message, count);
        frame->push_back(static_cast<uint8_t>(c & 0xFF));
        frame->push_back(static_cast<uint8_t>(c >> 8));
    } else {
        frame->push_back(Bcc(message, count));
    }
}

uint64_t LinePacer::Next(uint64_t nowUs) {
    if (baud_ == 0) return nowUs;
    if (runBytes_ == 0 || freeUs_ < nowUs) {  // the line was idle: a new run starts now
        runStartUs_ = nowUs;
        runBytes_ = 0;
    }
    ++runBytes_;
    freeUs_ = runStartUs_ + (runBytes_ * bits_ * 1000000u + baud_ - 1) / baud_;
    return freeUs_;
}

FrameReceiver::Event FrameReceiver::Feed(uint8_t b) {
    switch (state_) {
        case State::Idle:
            // Bytes between frames are line noise.
            if (b == kDle) state_ = State::Dle;
            return Event::None;
        case State::Dle:
            state_ = State::Idle;
            switch (b) {
                case kStx:
                    message_.clear();
                    state_ = State::Data;
                    return Event::None;
                case kAck: return Event::Ack;
                case kNak: return Event::Nak;
                case kEnq: return Event::Enq;
                case kDle: state_ = State::Dle; return Event::None;
                default: return Event::None;
            }
        case State::Data:
            if (b == kDle) {
                state_ = State::DataDle;
                return Event::None;
            }
            if (message_.size() >= kMaxMessage) {
                state_ = State::Skip;
                return Event::Overflow;
            }
            message_.push_back(b);
            return Event::None;
        case State::DataDle:
            if (b == kDle) {
                if (message_.size() >= kMaxMessage) {
                    state_ = State::Skip;
                    return Event::Overflow;
                }
                message_.push_back(kDle);
                state_ = State::Data;
                return Event::None;
            }
            if (b == kEtx) {
                state_ = State::Check;
                return Event::None;
            }
            if (b == kStx) {  // a new frame starts; the broken one is lost
                message_.clear();
                state_ = State::Data;
                return Event::Garbled;
            }
            state_ = State::Idle;
            return Event::Garbled;
        case State::Check:
            if (crc_) {
                checkLow_ = b;
                state_ = State::CheckHigh;
                return Event::None;
            }
            state_ = State::Idle;
            if (oversized_) {
                oversized_ = false;
                return Event::None;
            }
            return b == Bcc(message_.data(), message_.size()) ? Event::Frame : Event::BadCheck;
        case State::CheckHigh: {
            state_ = State::Idle;
            if (oversized_) {
                oversized_ = false;
                return Event::None;
            }
            const uint16_t c = Crc16(message_.data(), message_.size());
            const bool good = checkLow_ == (c & 0xFF) && b == (c >> 8);
            return good ? Event::Frame : Event::BadCheck;
        }
        case State::Skip:
            // An oversized frame is skipped up to its DLE ETX and check.
            if (b == kDle) state_ = State::SkipDle;
            return Event::None;
        case State::SkipDle:
            if (b == kEtx) {
                message_.clear();
                oversized_ = true;
                state_ = State::Check;  // its check is read and ignored
                return Event::None;
            }
            if (b == kStx) {
                message_.clear();
                state_ = State::Data;
                return Event::None;
            }
            state_ = State::Skip;
            return Event::None;
    }
    return Event::None;
}

}  // namespace mira::sim
