// HandInts over a stream of reply frames, each awaited by a sender, in BCC
// and CRC mode, with Portkit's trace sink writing to /dev/null or off.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "link/frame.h"
#include "loop_port.h"
#include "platform/atomic_word.h"
#include "portkit/portkit_host.h"
#include "setup/driver_state.h"

namespace mira::bench {
namespace {

constexpr int kFrames = 64;

// A read reply carrying `words` words: DST, SRC, CMD | 0x40, STS, TNS, data.
std::vector<uint8_t> ReplyMessage(uint16_t tns, int32_t words) {
    std::vector<uint8_t> m = {0x00, 0x01, 0x4F, 0x00, static_cast<uint8_t>(tns), static_cast<uint8_t>(tns >> 8)};
    // Some data bytes are DLE, as real values are now and then.
    for (int32_t i = 0; i < 2 * words; ++i) m.push_back(static_cast<uint8_t>(i % 23 == 0 ? kDLE : i * 13));
    return m;
}

void HandIntsBench(benchmark::State& state, bool crc, bool trace) {
    ResetDriverState();
    Driver.UseCrc = crc ? 1 : 0;
    generic_port* port = LoopPort();
    Driver.Port = port;
    const int32_t words = static_cast<int32_t>(state.range(0));
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint16_t> tns;
    for (int i = 0; i < kFrames; ++i) {
        const auto message = ReplyMessage(static_cast<uint16_t>(0x100 + i), words);
        std::vector<uint8_t> frame(static_cast<size_t>(FrameCapacity(static_cast<int32_t>(message.size()))));
        int32_t length = 0;
        EncodeDriverFrame(message.data(), static_cast<int32_t>(message.size()), frame.data(), &length);
        frame.resize(static_cast<size_t>(length));
        frames.push_back(frame);
        tns.push_back(static_cast<uint16_t>(0x100 + i));
    }
    if (trace) {
        PkTraceToFile("/dev/null");
    } else {
        PkTraceOff();
    }
    // The replies answer a typed read (CMD 0x0F): the handler takes a frame
    // as the reply only when it carries our request's command.
    Store(Driver.RequestCommand, 0x0Fu);
    int64_t bytes = 0, good = 0;
    size_t i = 0;
    for (auto _ : state) {
        // As a sender leaves the link just after its send.
        Store(Driver.ChannelBusy, 1u);
        Store(Driver.TnsCounter, static_cast<uint32_t>(tns[i]) + 1u);
        Store(port->ReplyReady, 0u);
        const auto& frame = frames[i];
        Arrive(frame.data(), static_cast<int32_t>(frame.size()));
        while (Pending() > 0) HandInts(port);
        good += Load(port->ReplyReady);
        bytes += static_cast<int64_t>(frame.size());
        i = (i + 1) % kFrames;
    }
    PkTraceOff();
    if (good != state.iterations()) state.SkipWithError("a reply frame was not taken as the reply");
    state.SetBytesProcessed(bytes);
    state.counters["frame_bytes"] = static_cast<double>(frames[0].size());
    ResetDriverState();
}

void BM_HandIntsBcc(benchmark::State& state) { HandIntsBench(state, false, false); }
void BM_HandIntsCrc(benchmark::State& state) { HandIntsBench(state, true, false); }
void BM_HandIntsBccTrace(benchmark::State& state) { HandIntsBench(state, false, true); }
void BM_HandIntsCrcTrace(benchmark::State& state) { HandIntsBench(state, true, true); }
BENCHMARK(BM_HandIntsBcc)->Arg(1)->Arg(100);
BENCHMARK(BM_HandIntsCrc)->Arg(1)->Arg(100);
BENCHMARK(BM_HandIntsBccTrace)->Arg(1)->Arg(100);
BENCHMARK(BM_HandIntsCrcTrace)->Arg(1)->Arg(100);

}  // namespace
}  // namespace mira::bench
