// Frame encoding and the CRC step across message sizes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "link/frame.h"
#include "setup/driver_state.h"

namespace {

std::vector<uint8_t> Message(int64_t size) {
    std::vector<uint8_t> message(static_cast<size_t>(size));
    // Every 16th byte is a DLE so the stuffing path is exercised as on a real line.
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i % 16 == 0 ? 0x10 : i * 7);
    return message;
}

void EncodeFrameBench(benchmark::State& state, uint32_t useCrc) {
    mira::ResetDriverState();
    mira::Driver.UseCrc = useCrc;
    const std::vector<uint8_t> message = Message(state.range(0));
    std::vector<uint8_t> out(static_cast<size_t>(mira::FrameCapacity(static_cast<int32_t>(message.size()))));
    int32_t length = 0;
    for (auto _ : state) {
        mira::EncodeDriverFrame(message.data(), static_cast<int32_t>(message.size()), out.data(), &length);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EncodeFrameBcc(benchmark::State& state) { EncodeFrameBench(state, 0); }
void BM_EncodeFrameCrc(benchmark::State& state) { EncodeFrameBench(state, 1); }
BENCHMARK(BM_EncodeFrameBcc)->Arg(12)->Arg(64)->Arg(256);
BENCHMARK(BM_EncodeFrameCrc)->Arg(12)->Arg(64)->Arg(256);

void BM_CrcStep(benchmark::State& state) {
    const std::vector<uint8_t> message = Message(state.range(0));
    for (auto _ : state) {
        uint16_t crc = 0;
        for (uint8_t byte : message) mira::CrcStep(&crc, byte);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CrcStep)->Arg(12)->Arg(256);

}  // namespace
