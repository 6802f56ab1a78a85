// A scriptable Portkit and a fake clock for the driver's unit tests.
//
// The Pk* functions of setup/portkit.h are provided by fake_portkit.cpp and
// act on one global FakePort. Bytes given to Feed() reach HandInts one per
// call, as Portkit delivers them; bytes given to Queue() are delivered at the
// next yield or sleep, which is how a scripted peer answers a sender that is
// waiting. Every send and every trace line is recorded.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "mira/mira.h"
#include "platform/clock.h"
#include "setup/portkit.h"

namespace mira::test {

using Bytes = std::vector<uint8_t>;

class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    uint32_t now() const { return now_.load(); }
    void Set(uint32_t ms) { now_.store(ms); }
    void Advance(uint32_t ms) { now_.fetch_add(ms); }
    MiraFileTime fileTime{0x01234567u, 0x01D00000u};
    // Called after every Sleep (the fake port pumps its queue there).
    std::function<void(uint32_t)> onSleep;
    uint32_t sleepCalls = 0;

private:
    std::atomic<uint32_t> now_{1000};
    ClockSource source_{};
};

struct FakePort {
    generic_port port{};
    uint8_t raw[4096]{};

    // Open behaviour.
    bool openReturnsNull = false;
    int32_t openError = 0;
    int32_t closeResult = 1;
    int openCalls = 0, closeCalls = 0;
    const DriverSettings* openedWith = nullptr;
    PkReceiveHandler handler = nullptr;

    // Behaviour of the other operations.
    int32_t sendErrorCode = 0;        // ErrorCode set after each send
    int32_t outputDoneResult = 1;     // ordinal 44
    uint32_t yieldAdvanceMs = 1;      // clock advance per yield
    bool failTableAlloc = false;      // ordinal 1 returns null
    std::function<void(const Bytes&)> onSend;   // a scripted peer
    std::function<void()> onYield;
    std::function<void()> onOutputCheck;  // before ordinal 44 answers
    std::function<std::u16string(const char16_t*)> stationText;  // ordinal 49

    // Recorded calls. A fuzz target keeps no sends or traces, only the units
    // of every trace line (each line is read to its end either way).
    bool keepRecords = true;
    std::vector<Bytes> sends;
    std::vector<std::u16string> traces;
    size_t traceUnits = 0;
    std::vector<std::pair<int32_t, int32_t>> allocs;
    std::vector<void*> allocBlocks;
    std::vector<void*> frees;
    std::vector<std::u16string> stationRequests;
    int yields = 0, statusUpdates = 0, stringSteps = 0, outputChecks = 0;

    // Hands each byte to HandInts, one per call.
    void Feed(const Bytes& bytes);
    void FeedByte(uint8_t byte);
    // Delivers bytes at the next yield or sleep.
    void Queue(const Bytes& bytes);
    // Delivers every queued byte now.
    void Pump();
    // All sends concatenated.
    Bytes AllSent() const;
    // Traces as UTF-8 for assertions.
    std::vector<std::string> TraceLines() const;

    std::mutex mutex;
    std::deque<uint8_t> rx;      // bytes waiting for ordinal 21
    std::deque<uint8_t> queued;  // bytes waiting for the next yield
};

// The global fake every Pk* function works on.
FakePort& Fake();
// A fresh fake: all settings back to defaults, all records cleared. The
// fake is rebuilt in place, so a reference to it or to its port stays good.
void ResetFake();

// Texts for assertions.
std::string Narrow(const std::u16string& s);
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);

}  // namespace mira::test
