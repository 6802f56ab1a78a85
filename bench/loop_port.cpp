#include "loop_port.h"

#include <chrono>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "alloc_count.h"
#include "platform/atomic_word.h"
#include "platform/clock.h"
#include "sim/simulator.h"

namespace mira::bench {
namespace {

constexpr size_t kRingBytes = 8192;

struct Loop {
    generic_port port{};
    uint8_t raw[4096]{};
    PkReceiveHandler handler = nullptr;
    uint8_t ring[kRingBytes]{};
    size_t head = 0, tail = 0;  // tail - head bytes wait
    std::unique_ptr<sim::Simulator> peer;
    uint64_t peerNs = 0;
    uint64_t fromDriver = 0, fromPeer = 0;
};

Loop g_loop;

// The driver's clock on the loopback: real time plus the time it slept. A
// sleep hands the waiting bytes to HandInts at once, as Portkit's receive
// thread would during it, and returns without sleeping; the bench reports
// how long the driver asked to sleep.
uint64_t g_virtualMs = 0;
uint64_t g_sleptMs = 0;

uint32_t LoopTicks(void*) {
    return static_cast<uint32_t>(NowNs() / 1000000u + g_virtualMs);
}

void LoopSleep(void*, uint32_t ms) {
    g_virtualMs += ms;
    g_sleptMs += ms;
    PkYield();
}

MiraFileTime LoopFileTime(void*) {
    constexpr uint64_t kEpochDelta = 11644473600ull;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    const int64_t seconds = static_cast<int64_t>(ts.tv_sec) + local.tm_gmtoff;
    const uint64_t ticks = (static_cast<uint64_t>(seconds) + kEpochDelta) * 10000000ull +
                           static_cast<uint64_t>(ts.tv_nsec) / 100u;
    return MiraFileTime{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

const ClockSource g_clock{LoopTicks, LoopSleep, LoopFileTime, nullptr};

void TakeFromPeer() {
    uint8_t buffer[512];
    for (size_t n; (n = g_loop.peer->ToMaster(buffer, sizeof buffer)) > 0;) {
        g_loop.fromPeer += n;
        for (size_t i = 0; i < n && g_loop.tail - g_loop.head < kRingBytes; ++i)
            g_loop.ring[g_loop.tail++ % kRingBytes] = buffer[i];
    }
}

DriverSettings SettingsFor(Family family, bool crc) {
    DriverSettings s{};
    s.baud = 19200;
    s.dataBits = 8;
    s.stopBits = 1;
    s.replyTimeoutMs = 1000;
    s.TimeoutA = 1000;
    s.TimeoutB = 500;
    const char* model = family == Family::Plc5 ? "PLC5" : family == Family::Plc2 ? "PLC2" : "SLC500";
    for (size_t i = 0; model[i] != 0; ++i) s.ModelText[i] = static_cast<char16_t>(model[i]);
    s.StationText[0] = u'0';
    const char16_t mode[] = u"Standard";
    std::memcpy(s.ModeText, mode, sizeof mode);
    s.ErrorCheckOption = crc ? 1 : 0;
    const char16_t name[] = u"loop";
    std::memcpy(s.portName, name, sizeof name);
    return s;
}

}  // namespace

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

bool OpenLoop(Family family, bool crc) {
    CloseLoop();
    SetClockSource(&g_clock);
    sim::Options options;
    options.family = family == Family::Plc5 ? sim::Family::Plc5
                     : family == Family::Plc2 ? sim::Family::Plc2
                                              : sim::Family::Slc500;
    options.station = 1;
    options.crc = crc;
    g_loop.peer = std::make_unique<sim::Simulator>(options);
    g_loop.head = g_loop.tail = 0;
    g_loop.port = generic_port{};
    g_loop.port.RawBuffer = g_loop.raw;
    g_loop.port.TimeoutA = 1000;
    g_loop.port.TimeoutB = 500;
    const DriverSettings settings = SettingsFor(family, crc);
    char16_t version[8] = {};
    int32_t error = 0;
    return UDrvOpen(0, &settings, version, &error) == 1 && error == 0;
}

void CloseLoop() {
    if (!g_loop.peer) return;
    UDrvClose();
    g_loop.peer.reset();
}

int32_t Pending() { return static_cast<int32_t>(g_loop.tail - g_loop.head); }

void DeliverAll() {
    const PkReceiveHandler handler = g_loop.handler != nullptr ? g_loop.handler : HandInts;
    while (g_loop.tail != g_loop.head) handler(&g_loop.port);
}

uint64_t TakeSleptMs() {
    const uint64_t ms = g_sleptMs;
    g_sleptMs = 0;
    return ms;
}

uint64_t TakePeerNs() {
    const uint64_t ns = g_loop.peerNs;
    g_loop.peerNs = 0;
    return ns;
}

void TakeWireBytes(uint64_t* fromDriver, uint64_t* fromPeer) {
    *fromDriver = g_loop.fromDriver;
    *fromPeer = g_loop.fromPeer;
    g_loop.fromDriver = g_loop.fromPeer = 0;
}

generic_port* LoopPort() {
    if (g_loop.port.RawBuffer == nullptr) {
        g_loop.port.RawBuffer = g_loop.raw;
        g_loop.port.TimeoutA = 1000;
        g_loop.port.TimeoutB = 500;
    }
    return &g_loop.port;
}

int32_t Arrive(const uint8_t* bytes, int32_t count) {
    int32_t n = 0;
    for (; n < count && g_loop.tail - g_loop.head < kRingBytes; ++n) g_loop.ring[g_loop.tail++ % kRingBytes] = bytes[n];
    return n;
}

}  // namespace mira::bench

using mira::bench::g_loop;

extern "C" {

generic_port* PkPortOpen(MiraWindowHandle, const DriverSettings*, int32_t* error) {
    if (error != nullptr) *error = 0;
    return &g_loop.port;
}

int32_t PkPortClose(generic_port*) { return 1; }

void PkRegisterHandler(generic_port*, PkReceiveHandler handler) { g_loop.handler = handler; }

int32_t PkReceiveByte(generic_port* port, uint8_t* byte) {
    if (g_loop.tail == g_loop.head) return 0;
    *byte = g_loop.ring[g_loop.head++ % mira::bench::kRingBytes];
    // The raw view starts afresh with a byte that arrives between frames.
    if (mira::Load(port->RxState) == 0) mira::Store(port->RawCount, 0);
    const uint16_t n = mira::Load(port->RawCount);
    if (n < sizeof g_loop.raw) {
        g_loop.raw[n] = *byte;
        mira::Store(port->RawCount, static_cast<uint16_t>(n + 1));
    }
    return 1;
}

void PkSend(generic_port* port, const uint8_t* bytes, int32_t length) {
    mira::Store(port->ReplyReady, 0);
    mira::Store(port->ErrorCode, 0);
    if (length <= 0 || !g_loop.peer) return;
    g_loop.fromDriver += static_cast<uint64_t>(length);
    const uint64_t start = mira::bench::NowNs();
    {
        mira::bench::UncountedScope peerOnly;
        g_loop.peer->FromMaster(bytes, static_cast<size_t>(length));
        mira::bench::TakeFromPeer();
    }
    g_loop.peerNs += mira::bench::NowNs() - start;
}

int32_t PkOutputDone(generic_port*) { return 1; }

void PkYield() {
    if (g_loop.peer) {
        const uint64_t start = mira::bench::NowNs();
        {
            mira::bench::UncountedScope peerOnly;
            mira::bench::TakeFromPeer();
        }
        g_loop.peerNs += mira::bench::NowNs() - start;
    }
    mira::bench::DeliverAll();
}

void PkStatusUpdate(generic_port*) {}

void PkStationText(generic_port*, const char16_t* stationRef, char16_t* buffer, int32_t limit) {
    int32_t n = 0;
    for (; stationRef != nullptr && stationRef[n] != 0 && n < limit; ++n) buffer[n] = stationRef[n];
    buffer[n] = 0;
}

void* PkTableAlloc(int32_t count, int32_t recordSize) {
    return std::calloc(static_cast<size_t>(count), static_cast<size_t>(recordSize));
}

void PkTableFree(void* block) { std::free(block); }

void PkStringStep(generic_port*) {}

}  // extern "C"
