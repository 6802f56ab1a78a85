#include "host/line_watch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "portkit/portkit_host.h"

namespace mira::host {

void ObserveTraceLine(const char* line, LineObservation* seen) {
    // The driver's word for a reply that carried less than was asked for.
    if (const char* s = std::strstr(line, "Reply carries "); s != nullptr) {
        int carried = 0, asked = 0;
        if (std::sscanf(s, "Reply carries %d of the %d data bytes", &carried, &asked) == 2) {
            seen->carried = carried;
            seen->asked = asked;
        }
        return;
    }
    const char* rx = std::strstr(line, "Rx:");
    if (rx == nullptr) return;
    // The received bytes as the driver writes them: "%02X " each, the raw
    // frame with DLE STX, one DLE of each doubled pair, DLE ETX and check.
    uint8_t bytes[96];
    size_t n = 0;
    for (const char* p = rx + 3; *p != 0 && n < sizeof bytes;) {
        char* end = nullptr;
        const unsigned long b = std::strtoul(p, &end, 16);
        if (end == p || b > 0xFF) break;
        bytes[n++] = static_cast<uint8_t>(b);
        p = end;
    }
    // DLE STX DST SRC CMD STS TNS TNS [EXT STS]: a reply carries CMD | 0x40.
    if (n >= 8 && bytes[0] == 0x10 && bytes[1] == 0x02 && (bytes[4] & 0x40) != 0) {
        seen->reply = true;
        seen->sts = bytes[5];
        seen->extSts = n > 8 ? bytes[8] : 0;
    }
}

namespace {

std::mutex g_mutex;
LineObservation g_seen;
uint64_t g_bytesAtStart = 0, g_refusedAtStart = 0, g_takenAtStart = 0;

// Portkit tells the DLE NAKs that refused our frames from the answers to line
// resets, which say nothing about a frame (a controller with nothing to
// repeat answers DLE ENQ with DLE NAK); the same for the DLE ACKs.
PkLinkCounters Counters() {
    PkLinkCounters c{};
    PkGetLinkCountersEx(&c, sizeof c);
    return c;
}
uint64_t FramesRefused() { return Counters().framesRefused; }
uint64_t FramesTaken() {
    const PkLinkCounters c = Counters();
    return c.acksReceived - c.resetAcks;
}
FILE* g_sink = nullptr;

void OnTrace(void*, const char* line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ObserveTraceLine(line, &g_seen);
    if (g_sink != nullptr) {
        std::fprintf(g_sink, "%s\n", line);
        std::fflush(g_sink);
    }
}

}  // namespace

bool WatchLine(const std::string& path) {
    StopWatching();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (path == "-") {
            g_sink = stderr;
        } else if (!path.empty()) {
            g_sink = std::fopen(path.c_str(), "a");
            if (g_sink == nullptr) return false;
        }
    }
    PkTraceToCallback(OnTrace, nullptr);
    return true;
}

void StopWatching() {
    PkTraceOff();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_sink != nullptr && g_sink != stderr) std::fclose(g_sink);
    g_sink = nullptr;
}

void BeginExchange() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen = LineObservation{};
    g_bytesAtStart = PkReceivedBytes();
    g_refusedAtStart = FramesRefused();
    g_takenAtStart = FramesTaken();
}

LineObservation Observed() {
    std::lock_guard<std::mutex> lock(g_mutex);
    LineObservation seen = g_seen;
    seen.bytes = PkReceivedBytes() - g_bytesAtStart;
    seen.naks = static_cast<uint32_t>(FramesRefused() - g_refusedAtStart);
    seen.acks = static_cast<uint32_t>(FramesTaken() - g_takenAtStart);
    return seen;
}

}  // namespace mira::host
