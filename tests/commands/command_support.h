// The command tests' driver open on the fake Portkit, with a scripted controller answering each
// request frame with DLE ACK and a reply of its TNS, CMD | 0x40 and the status given.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "address/tables.h"
#include "commands/request.h"
#include "link/frame.h"
#include "setup/driver_state.h"
#include "setup/records.h"
#include "support/fake_portkit.h"

namespace mira::test {

inline const std::string kSlcHead = "01 00 0F 00 00 00 AA ";
inline const std::string kPlc5Head = "01 00 0F 00 00 00 67 00 00 ";

enum Model { kSlc, kSlcAlt, kPlc5, kPlc5Octal, kPlc2 };

inline void SetModel(Model m) {
    const bool plc5 = m == kPlc5 || m == kPlc5Octal;
    Driver.ModelClass = m == kPlc2 ? kClassPlc2 : plc5 ? kClassPlc5 : kClassSlc500;
    Driver.Plc5Family = plc5 ? 1 : 0;
    Driver.OctalIo = m == kPlc5Octal ? 1 : 0;
    Driver.AltAddressMode = m == kSlcAlt ? 1 : 0;
}

class ReadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
        rows.assign(kItemTableRows, ItemRequest{});
        strings.assign(size_t(kStringSlotCount) * kStringSlotBytes, 0);
        groups.assign(kGroupHandles, nullptr);
        Driver.Port = &Fake().port;
        Driver.ItemTable = rows.data();
        Driver.StringSlots = strings.data();
        Driver.GroupTable = groups.data();
        Driver.ModelClass = kClassSlc500;
        Fake().onSend = [this](const Bytes& sent) { Respond(sent); };
    }
    void TearDown() override { ResetDriverState(); }
    // Keeps a reply as the receive handler keeps the answer to the request sent last.
    static void Reply(const Bytes& message) {
        for (size_t i = 0; i < message.size() && i < kRxDataBytes; ++i) Driver.ReplyData[i] = message[i];
        Driver.ReplyCount = uint32_t(message.size());
        Driver.ReplyFor = Driver.TnsCounter;
        Fake().port.ReplyReady = 1;
    }
    // The message of the n-th frame sent.
    static Bytes Message(size_t n) { return Unframed(Fake().sends.at(n)); }
    // The scripted controller's answer to the next request.
    void Script(uint8_t sts, const Bytes& data) { replies.emplace_back(sts, data); }

    FakeClock clock;
    std::vector<ItemRequest> rows;
    std::vector<uint8_t> strings;
    std::vector<GroupRecord*> groups;
    std::vector<Bytes> requests;  // unstuffed messages of the frames sent
    std::deque<std::pair<uint8_t, Bytes>> replies;
    uint8_t message[kMaxRequestBytes + 16];
    Bytes sent;  // the request a builder made

private:
    void Respond(const Bytes& frame) {
        if (frame.size() < 4 || frame[0] != kDLE || frame[1] != kSTX) return;  // link sequences
        const Bytes m = Unframed(frame);
        requests.push_back(m);
        if (m.size() < 6 || replies.empty()) return;
        // Sized first: gcc 12 under ThreadSanitizer reports a false -Warray-bounds for an insert here.
        const Bytes& data = replies.front().second;
        Bytes reply(6 + data.size());
        const uint8_t head[] = {m[1], m[0], uint8_t(m[2] | 0x40), replies.front().first, m[4], m[5]};
        std::copy(std::begin(head), std::end(head), reply.begin());
        std::copy(data.begin(), data.end(), reply.begin() + 6);
        replies.pop_front();
        Fake().Queue(Answer(reply));
    }
};

inline ItemRequest MakeItem(int32_t kind, int32_t element, int32_t size = 2, int32_t mnemonic = 0,
                            int32_t bit = -1) {
    return {kind, element, size, bit >= 0 ? 1 : 0, bit < 0 ? 0 : bit, mnemonic, 0};
}

inline std::string Ascii(const char* text) {
    return Hex(Bytes(text, text + std::strlen(text)));
}

}  // namespace mira::test
