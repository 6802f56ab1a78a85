// `mira scan` on a real line: the search of scan.cpp over Portkit's port
// operations, with its progress on a terminal and its findings on stdout.
#ifdef _WIN32
#include <io.h>
#define MIRA_STDERR_IS_TERMINAL() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define MIRA_STDERR_IS_TERMINAL() (isatty(STDERR_FILENO) != 0)
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/output.h"
#include "host/codes.h"
#include "host/text.h"
#include "cli/scan.h"
#include "mira/errors.h"
#include "mira/portkit.h"
#include "portkit/portkit_host.h"

namespace mira::cli {

using host::DescribeCode;
using host::ToWide;
namespace {

// What Portkit's receive thread hands over, for the search's thread. Bounded:
// a flooding line loses its newest bytes, never memory.
constexpr size_t kBacklog = 4096;
std::mutex g_mutex;
std::vector<uint8_t> g_received;

void TakeBytes(generic_port* port) {
    uint8_t b = 0;
    while (PkReceiveByte(port, &b) != 0) {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_received.size() < kBacklog) g_received.push_back(b);
    }
}

class PortkitWire final : public ScanWire {
public:
    PortkitWire(const Options& o, const ScanPlan& plan) : o_(o), plan_(plan) {}
    ~PortkitWire() override { Close(); }

    int32_t Open(const LineSetting& setting, std::string* why) override {
        DriverSettings s{};
        s.baud = setting.baud != 0 ? setting.baud : o_.baud;
        s.parity = setting.baud != 0 ? setting.parity : o_.parity;
        s.dataBits = plan_.dataBits;
        s.stopBits = plan_.stopBits;
        s.replyTimeoutMs = 1000;
        s.ErrorCheckOption = setting.crc ? 1 : 0;
        const std::u16string name = ToWide(o_.port);
        for (size_t i = 0; i < name.size() && i + 1 < std::size(s.portName); ++i) s.portName[i] = name[i];
        int32_t error = 0;
        port_ = PkPortOpen(0, &s, &error);
        if (port_ == nullptr || error != 0) {
            *why = PkLastOpenError();
            port_ = nullptr;
            return error != 0 ? error : MIRA_PK_ERR_NO_DEVICE;
        }
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_received.clear();
        }
        PkRegisterHandler(port_, TakeBytes);
        return 0;
    }

    void Close() override {
        if (port_ != nullptr) PkPortClose(port_);
        port_ = nullptr;
    }

    bool Send(const uint8_t* bytes, size_t count) override {
        if (port_ == nullptr) return false;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_received.clear();
        }
        // ReplyPending stays 0: Portkit takes every send for a new exchange
        // and drops what the line held before it.
        PkSend(port_, bytes, static_cast<int32_t>(count));
        const uint32_t code = std::atomic_ref<uint32_t>(port_->ErrorCode).load();
        return code != MIRA_PK_ERR_SEND && code != MIRA_PK_ERR_CLOSED && code != MIRA_PK_ERR_DISCONNECTED;
    }

    size_t Receive(uint8_t* out, size_t capacity, uint32_t waitMs) override {
        const uint64_t until = NowMs() + waitMs;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(g_mutex);
                if (!g_received.empty()) {
                    const size_t n = std::min(capacity, g_received.size());
                    std::copy(g_received.begin(), g_received.begin() + static_cast<std::ptrdiff_t>(n), out);
                    g_received.erase(g_received.begin(), g_received.begin() + static_cast<std::ptrdiff_t>(n));
                    return n;
                }
            }
            if (NowMs() >= until) return 0;
            PkYield();
        }
    }

    uint64_t NowMs() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }

private:
    const Options& o_;
    const ScanPlan& plan_;
    generic_port* port_ = nullptr;
};

const char* ParityWord(uint32_t parity) { return parity == 2 ? "even" : parity == 1 ? "odd" : "none"; }

}  // namespace

int RunScan(const Options& o) {
    const ScanPlan plan = PlanScan(o);
    // The search asks with its own DLE ENQs and never sends a frame twice.
    const PkLinkSettings link{o.ackTimeoutMs, 0, 0};
    (void)PkSetLinkSettings(&link);
    const bool terminal = MIRA_STDERR_IS_TERMINAL();
    ScanProgress progress;
    if (terminal)
        progress = [&](uint32_t n, uint32_t total, const LineSetting& s, int32_t station, uint64_t elapsedMs) {
            std::string setting = s.crc ? "CRC" : "BCC";
            if (s.baud != 0)
                setting = std::to_string(s.baud) + " baud, parity " + ParityWord(s.parity) + ", " + setting;
            if (station >= 0) setting += ", station " + std::to_string(station);
            std::fprintf(stderr, "\rmira scan: setting %u of %u (%s), %.1f s\x1b[K", n, total, setting.c_str(),
                         static_cast<double>(elapsedMs) / 1000.0);
            std::fflush(stderr);
        };
    PortkitWire wire(o, plan);
    const ScanResult r = Scan(wire, plan, progress);
    wire.Close();
    if (terminal) std::fputs("\r\x1b[K", stderr);

    for (const Found& f : r.found)
        std::printf("%s\n", (o.json ? FoundJson(o.port, plan, f) : FoundLine(o.port, plan, f)).c_str());
    std::fflush(stdout);
    if (!r.found.empty()) return kExitOk;
    // With --json a failure is also one object with error on stdout.
    auto json = [&](int32_t code, const std::string& message) {
        if (o.json) std::printf("%s\n", ErrorJson(code, message).c_str());
    };
    if (r.openError != 0) {
        const std::string message = "cannot open " + (r.openWhy.empty() ? o.port : r.openWhy) + " (" +
                                    DescribeCode(r.openError) + ")";
        std::fprintf(stderr, "mira: %s\n", message.c_str());
        json(r.openError, message);
        return kExitComm;
    }
    const std::string message = "no controller found on " + o.port + ": " + NothingFound(plan, r);
    std::fprintf(stderr, "mira scan: %s\n", message.c_str());
    json(r.opened == 0 ? host::kHostRefused : MIRA_PK_ERR_TIMEOUT, message);
    return r.opened == 0 ? kExitUsage : kExitNoResponse;
}

}  // namespace mira::cli
