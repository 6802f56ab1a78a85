// A scripted controller for the write tests: it answers every request frame
// the driver sends with DLE ACK and a reply frame carrying the request's TNS,
// CMD | 0x40, and the next scripted status and data.
#pragma once

#include <deque>
#include <vector>

#include "link/frame.h"
#include "support/fake_portkit.h"

namespace mira::test {

struct ScriptedReply {
    uint8_t sts = 0;
    Bytes data;
};

class WritePeer {
public:
    WritePeer() {
        Fake().onSend = [this](const Bytes& sent) { Answer(sent); };
    }
    ~WritePeer() { Fake().onSend = nullptr; }
    WritePeer(const WritePeer&) = delete;
    WritePeer& operator=(const WritePeer&) = delete;

    void Reply(uint8_t sts, const Bytes& data) { replies.push_back({sts, data}); }
    // The unstuffed messages of the request frames, in order.
    std::vector<Bytes> requests;
    std::deque<ScriptedReply> replies;

private:
    void Answer(const Bytes& frame) {
        if (frame.size() < 4 || frame[0] != kDLE || frame[1] != kSTX) return;  // link sequences
        Bytes m;
        for (size_t i = 2; i + 1 < frame.size(); ++i) {
            if (frame[i] == kDLE && frame[i + 1] == kETX) break;
            m.push_back(frame[i]);
            if (frame[i] == kDLE) ++i;
        }
        requests.push_back(m);
        if (m.size() < 6 || replies.empty()) return;
        const ScriptedReply r = replies.front();
        replies.pop_front();
        Bytes reply = {m[1], m[0], static_cast<uint8_t>(m[2] | 0x40), r.sts, m[4], m[5]};
        reply.insert(reply.end(), r.data.begin(), r.data.end());
        Bytes out(static_cast<size_t>(FrameCapacity(int32_t(reply.size()))));
        int32_t n = 0;
        EncodeFrame(reply.data(), int32_t(reply.size()), out.data(), &n);
        out.resize(static_cast<size_t>(n));
        Bytes answer = {kDLE, kACK};
        answer.insert(answer.end(), out.begin(), out.end());
        Fake().Queue(answer);
    }
};

}  // namespace mira::test
