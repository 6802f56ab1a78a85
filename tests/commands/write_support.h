// Shared by the write tests: header records, model choice, the driver tables
// and a scripted controller that answers every request frame with DLE ACK
// and a reply carrying the request's TNS, CMD | 0x40 and a scripted status.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "address/parser.h"
#include "address/tables.h"
#include "commands/request.h"
#include "link/frame.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {

inline std::string Ascii(const char* text) {
    return Hex(Bytes(text, text + std::strlen(text)));
}

enum Model { kSlc, kSlcAlt, kPlc5, kPlc5Octal, kPlc2 };

inline void SetModel(Model m) {
    const bool plc5 = m == kPlc5 || m == kPlc5Octal;
    Driver.ModelClass = m == kPlc2 ? kClassPlc2 : plc5 ? kClassPlc5 : kClassSlc500;
    Driver.Plc5Family = plc5 ? 1 : 0;
    Driver.OctalIo = m == kPlc5Octal ? 1 : 0;
    Driver.AltAddressMode = m == kSlcAlt ? 1 : 0;
}

inline PlcAddress Header(int32_t fileType, int32_t letter, int32_t fileNumber, int32_t base = 0,
                         int32_t slot = -1) {
    PlcAddress h{};
    h.station = 1;
    h.fileType = fileType;
    h.fileLetter = letter;
    h.fileNumber = fileNumber;
    h.slot = slot;
    h.elementBase = base;
    return h;
}

// The road tests need the address parser and the read path.
inline bool RoadReady() {
    PlcAddress h{};
    return ParseHeader(&h, u"1", u"N7:0", 500).code == 0;
}

class WriteFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
        Driver.ItemTable = rows.data();
        Driver.StringSlots = strings.data();
        Driver.Port = &Fake().port;
        Driver.NonStandardBcd = 0;
        SetModel(kSlc);
        Fake().onSend = [this](const Bytes& sent) { Answer(sent); };
    }
    void TearDown() override { ResetDriverState(); }
    void Reply(uint8_t sts, const Bytes& data) { replies.emplace_back(sts, data); }

    std::vector<ItemRequest> rows = std::vector<ItemRequest>(kItemTableRows);
    std::vector<uint8_t> strings = std::vector<uint8_t>(kStringSlotCount * kStringSlotBytes);
    uint8_t message[kMaxRequestBytes + 16];
    Bytes sent;                   // the request a builder made
    std::vector<Bytes> requests;  // unstuffed messages of the frames sent
    std::deque<std::pair<uint8_t, Bytes>> replies;
    FakeClock clock;

private:
    void Answer(const Bytes& frame) {
        if (frame.size() < 4 || frame[0] != kDLE || frame[1] != kSTX) return;  // link sequences
        Bytes m;
        for (size_t i = 2; i + 1 < frame.size() && !(frame[i] == kDLE && frame[i + 1] == kETX); ++i) {
            m.push_back(frame[i]);
            if (frame[i] == kDLE) ++i;
        }
        requests.push_back(m);
        if (m.size() < 6 || replies.empty()) return;
        Bytes reply = {m[1], m[0], uint8_t(m[2] | 0x40), replies.front().first, m[4], m[5]};
        reply.insert(reply.end(), replies.front().second.begin(), replies.front().second.end());
        replies.pop_front();
        Bytes out(size_t(FrameCapacity(int32_t(reply.size()))) + 2);
        int32_t n = 0;
        EncodeDriverFrame(reply.data(), int32_t(reply.size()), out.data() + 2, &n);
        out[0] = kDLE;
        out[1] = kACK;
        out.resize(size_t(n) + 2);
        Fake().Queue(out);
    }
};

}  // namespace mira::test
