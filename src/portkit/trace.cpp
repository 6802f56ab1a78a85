#include "portkit/trace.h"

#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#pragma GCC visibility push(default)
#include "portkit/portkit_host.h"
#include "setup/portkit.h"
#pragma GCC visibility pop

namespace mira::portkit {
namespace {

std::mutex g_mutex;
FILE* g_file = nullptr;           // stderr or an opened file
bool g_ownsFile = false;
PkTraceCallback g_callback = nullptr;
void* g_context = nullptr;
std::atomic<bool> g_on{false};

void CloseLocked() {
    if (g_ownsFile && g_file != nullptr) std::fclose(g_file);
    g_file = nullptr;
    g_ownsFile = false;
    g_callback = nullptr;
    g_context = nullptr;
    g_on.store(false);
}

}  // namespace

bool TraceOn() { return g_on.load(std::memory_order_relaxed); }

void TraceLine(const char* text) {
    if (!TraceOn()) return;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    const time_t seconds = now.tv_sec;  // a long, not a time_t, on Windows
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_usec / 1000));
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_callback != nullptr) {
        char line[1100];
        std::snprintf(line, sizeof line, "%s %s", stamp, text);
        g_callback(g_context, line);
    } else if (g_file != nullptr) {
        std::fprintf(g_file, "%s %s\n", stamp, text);
        std::fflush(g_file);
    }
}

void FormatTx(const uint8_t* bytes, size_t count, char* out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t n = 0;
    out[n++] = 'T';
    out[n++] = 'x';
    out[n++] = ':';
    for (size_t i = 0; i < count && i < kTxTraceBytes; ++i) {
        out[n++] = kHex[bytes[i] >> 4];
        out[n++] = kHex[bytes[i] & 15];
        out[n++] = ' ';
    }
    out[n] = 0;
}

}  // namespace mira::portkit

extern "C" {

int32_t PkTraceToFile(const char* path) {
    using namespace mira::portkit;
    std::lock_guard<std::mutex> lock(g_mutex);
    CloseLocked();
    if (path == nullptr || path[0] == 0) return 0;
    if (path[0] == '-' && path[1] == 0) {
        g_file = stderr;
    } else {
        g_file = std::fopen(path, "a");
        if (g_file == nullptr) return 0;
        g_ownsFile = true;
    }
    g_on.store(true);
    return 1;
}

void PkTraceToCallback(PkTraceCallback callback, void* context) {
    using namespace mira::portkit;
    std::lock_guard<std::mutex> lock(g_mutex);
    CloseLocked();
    g_callback = callback;
    g_context = context;
    g_on.store(callback != nullptr);
}

void PkTraceOff() {
    using namespace mira::portkit;
    std::lock_guard<std::mutex> lock(g_mutex);
    CloseLocked();
}

void PkTrace(const char16_t* line) {
    if (line == nullptr || !mira::portkit::TraceOn()) return;
    // The driver's lines are ASCII; anything else is shown as '?'. Bounded so
    // that an unterminated text cannot run on.
    char text[1024];
    size_t n = 0;
    for (; n + 1 < sizeof text && line[n] != 0; ++n) {
        const char16_t c = line[n];
        text[n] = (c >= 0x20 && c < 0x7F) || c == '\t' ? static_cast<char>(c) : '?';
    }
    text[n] = 0;
    mira::portkit::TraceLine(text);
}

}  // extern "C"
