// A scriptable Portkit (the Pk* functions on one global FakePort) and a fake clock. Feed() hands
// bytes to HandInts one per call, as Portkit does; Queue() delivers them at the next yield or sleep.
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
#include "setup/records.h"

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
    std::function<void(uint32_t)> onSleep;  // after every Sleep, before the port's queue is pumped

private:
    std::atomic<uint32_t> now_{1000};
    ClockSource source_{};
};

struct FakePort {
    generic_port port{};
    uint8_t raw[4096]{};
    bool openReturnsNull = false;
    int32_t openError = 0;
    int32_t closeResult = 1;
    int closeCalls = 0;
    PkReceiveHandler handler = nullptr;
    int32_t sendErrorCode = 0;                 // ErrorCode set after each send
    int32_t outputDoneResult = 1;              // ordinal 44
    uint32_t yieldAdvanceMs = 1;               // clock advance per yield
    bool failTableAlloc = false;               // ordinal 1 returns null
    std::function<void(const Bytes&)> onSend;  // a scripted peer
    std::function<void()> onYield;
    std::function<void()> onOutputCheck;                         // before ordinal 44 answers
    std::function<std::u16string(const char16_t*)> stationText;  // ordinal 49

    // Recorded calls; a fuzz target keeps none but the units of each trace line (read to its end).
    bool keepRecords = true;
    std::vector<Bytes> sends;
    std::vector<std::u16string> traces;
    size_t traceUnits = 0;
    std::vector<std::pair<int32_t, int32_t>> allocs;
    std::vector<void*> allocBlocks;
    std::vector<void*> frees;
    std::vector<std::u16string> stationRequests;
    int yields = 0, statusUpdates = 0, stringSteps = 0, outputChecks = 0;

    void Feed(const Bytes& bytes);
    void FeedByte(uint8_t byte);
    void Queue(const Bytes& bytes);
    void Pump();  // delivers every queued byte now
    Bytes AllSent() const;
    std::vector<std::string> TraceLines() const;

    std::mutex mutex;
    std::deque<uint8_t> rx;      // bytes waiting for ordinal 21
    std::deque<uint8_t> queued;  // bytes waiting for the next yield
};

FakePort& Fake();
void ResetFake();  // all settings back to defaults, all records cleared

std::string Narrow(const std::u16string& s);
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);

// A message framed with the driver's check; DLE ACK and that frame, as a peer answers; the
// message of a frame (DLE STX, doubled DLEs, DLE ETX and the check taken off).
Bytes Framed(const Bytes& message);
Bytes Answer(const Bytes& message);
Bytes Unframed(const Bytes& frame);

// A header record naming station 1.
PlcAddress Header(int32_t fileType, int32_t letter, int32_t fileNumber, int32_t base = 0, int32_t slot = -1);

}  // namespace mira::test
