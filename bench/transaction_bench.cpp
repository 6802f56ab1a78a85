// Whole transactions on the loopback, the way a host runs them: the start
// (parse, build, frame, send), the reply bytes through HandInts, then the
// finish (unpack, decode). The simulator's own time is taken off, so the
// figures are the driver's alone; allocations are counted after the open.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "loop_port.h"
#include "mira/mira.h"

namespace mira::bench {
namespace {

// Keeps one driver open per family and check across benchmarks; an open
// resets the line, which takes about a second.
bool Ensure(Family family, bool crc) {
    static int current = -1;
    const int wanted = static_cast<int>(family) * 2 + (crc ? 1 : 0);
    if (current == wanted) return true;
    current = -1;
    if (!OpenLoop(family, crc)) return false;
    current = wanted;
    return true;
}

struct Items {
    std::vector<std::u16string> texts;
    std::vector<const char16_t*> pointers;
    explicit Items(int32_t count) {
        for (int32_t i = 0; i < count; ++i) {
            const std::string t = std::string(1, 'W').append(std::to_string(i));
            texts.emplace_back(t.begin(), t.end());
        }
        for (const auto& t : texts) pointers.push_back(t.c_str());
    }
};

// Per-phase time of the driver, in ns per transaction.
struct Phases {
    uint64_t start = 0, receive = 0, finish = 0, allocs = 0, wireOut = 0, wireIn = 0, sleptMs = 0;
    void Report(benchmark::State& state) const {
        const double n = static_cast<double>(state.iterations());
        state.counters["start_ns"] = static_cast<double>(start) / n;
        state.counters["rx_ns"] = static_cast<double>(receive) / n;
        state.counters["finish_ns"] = static_cast<double>(finish) / n;
        state.counters["allocs"] = static_cast<double>(allocs) / n;
        state.counters["wire_bytes"] = static_cast<double>(wireOut + wireIn) / n;
        state.counters["slept_ms"] = static_cast<double>(sleptMs) / n;
    }
};

// Runs one phase and returns its time less the simulator's.
template <class F>
uint64_t Timed(F&& phase) {
    TakePeerNs();
    const uint64_t t0 = NowNs();
    phase();
    const uint64_t took = NowNs() - t0;
    const uint64_t peer = TakePeerNs();
    return took > peer ? took - peer : 0;
}

// Times start, receive and finish of one transaction per iteration;
// prepare() runs first, untimed. start and finish take the error pointer and
// return the call's result.
template <class Prepare, class Start, class Finish>
void RunTransactions(benchmark::State& state, const char* what, Prepare&& prepare, Start&& start,
                     Finish&& finish) {
    Phases p;
    uint64_t out = 0, in = 0;
    TakeWireBytes(&out, &in);
    TakeSleptMs();
    const uint64_t allocsBefore = Allocations();
    for (auto _ : state) {
        prepare();
        int32_t error = 0, started = 0, finished = 0;
        const uint64_t s = Timed([&] { started = start(&error); });
        const uint64_t r = Timed([&] { DeliverAll(); });
        const uint64_t f = Timed([&] { finished = finish(&error); });
        if (started != 1 || finished != 1 || error != 0) {
            state.SkipWithError((std::string(what) + " failed, error " + std::to_string(error)).c_str());
            break;
        }
        p.start += s;
        p.receive += r;
        p.finish += f;
        state.SetIterationTime(static_cast<double>(s + r + f) * 1e-9);
    }
    p.allocs = Allocations() - allocsBefore;
    p.sleptMs = TakeSleptMs();
    TakeWireBytes(&p.wireOut, &p.wireIn);
    p.Report(state);
}

void ReadBench(benchmark::State& state, Family family) {
    if (!Ensure(family, true)) return state.SkipWithError("the driver did not open on the loopback");
    const auto count = static_cast<int32_t>(state.range(0));
    Items items(count);
    std::vector<HostValue> values(static_cast<size_t>(count));
    RunTransactions(
        state, "read", [] {},
        [&](int32_t* error) { return UDrvReadGroupStart(u"1", u"N7:0", items.pointers.data(), count, error); },
        [&](int32_t* error) { return UDrvReadGroupFinishExt(values.data(), 0, count, error); });
}

void BM_ReadSlc500(benchmark::State& state) { ReadBench(state, Family::Slc500); }
void BM_ReadPlc5(benchmark::State& state) { ReadBench(state, Family::Plc5); }
void BM_ReadPlc2(benchmark::State& state) { ReadBench(state, Family::Plc2); }
BENCHMARK(BM_ReadSlc500)->Arg(1)->Arg(10)->Arg(100)->UseManualTime();
BENCHMARK(BM_ReadPlc5)->Arg(1)->Arg(10)->Arg(100)->UseManualTime();
BENCHMARK(BM_ReadPlc2)->Arg(1)->Arg(10)->Arg(100)->UseManualTime();

// A group write of ten words, then the finish.
void BM_WriteGroupSlc500(benchmark::State& state) {
    if (!Ensure(Family::Slc500, true)) return state.SkipWithError("the driver did not open on the loopback");
    constexpr int32_t kCount = 10;
    Items items(kCount);
    std::array<HostValueCore, kCount> values{};
    int32_t v = 0;
    RunTransactions(
        state, "group write",
        [&] {
            for (auto& value : values) {
                value.valueType = MIRA_VALUE_INTEGER;
                value.value.integer = ++v & 0x7FFF;
            }
        },
        [&](int32_t* error) {
            return UDrvWriteGroupStart(u"1", u"N7:0", items.pointers.data(), values.data(), kCount, error);
        },
        [](int32_t* error) { return UDrvWriteGroupFinish(error); });
}
BENCHMARK(BM_WriteGroupSlc500)->UseManualTime();

// One bit: the start reads the word and waits for it, then sends the write.
void BM_WriteBitSlc500(benchmark::State& state) {
    if (!Ensure(Family::Slc500, true)) return state.SkipWithError("the driver did not open on the loopback");
    HostValueCore value{};
    int32_t bit = 0;
    RunTransactions(
        state, "bit write",
        [&] {
            value = HostValueCore{};
            value.valueType = MIRA_VALUE_INTEGER;
            value.value.integer = (++bit) & 1;
        },
        [&](int32_t* error) { return UDrvWriteItemStart(u"1", u"N7:0", u"W5/3", &value, error); },
        [](int32_t* error) { return UDrvWriteItemFinish(error); });
}
BENCHMARK(BM_WriteBitSlc500)->UseManualTime();

}  // namespace
}  // namespace mira::bench
