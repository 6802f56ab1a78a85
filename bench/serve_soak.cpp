// mira_serve_soak: mira serve's scans under the simulator's fault injection.
// The line thread scans tags of words, floats, bits and timer parts back to
// back, through the real Portkit on a pseudo-terminal, while the far end's
// simulator misbehaves on every Nth command, one kind of fault after
// another. Every value the store takes at quality 192 is compared with what
// the simulator holds, which nothing changes during the soak.
//
//   mira_serve_soak [--seconds S] [--every N] [--only K] [--bcc] [--timeout MS]
//
// --only K injects the K-th kind alone (0 to 8, in the order printed).
//
// Prints the scans, the faults by kind, the failed reads by code, the wrong
// values at quality 192 (must be 0) and the tags that never came back to
// 192 after the faults stopped (must be 0). Exit status 1 when either is not.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "far_end.h"
#include "serve/faces.h"
#include "serve/line_thread.h"
#include "serve/log.h"

namespace {

namespace sim = mira::sim;
namespace serve = mira::serve;
using Clock = std::chrono::steady_clock;

constexpr const char* kKindNames[] = {"corrupt check", "dropped byte", "noise", "delay", "no reply",
                                      "NAK", "no ACK", "duplicate reply", "error status", "own command after"};
constexpr sim::FaultKind kKinds[] = {sim::FaultKind::CorruptCheck, sim::FaultKind::DropByte, sim::FaultKind::Noise,
                                     sim::FaultKind::Delay,        sim::FaultKind::NoReply,  sim::FaultKind::Nak,
                                     sim::FaultKind::NoAck,        sim::FaultKind::RepeatReply,
                                     sim::FaultKind::Status,       sim::FaultKind::OwnCommandAfter};

// The tags, and the seed that gives each a value of its own.
struct Soaked {
    std::string tags, seed;
};

Soaked Tables() {
    Soaked s;
    // A name may not hold ':'; the store keeps the address beside it.
    auto tag = [&](const std::string& address) {
        std::string name = address;
        std::replace(name.begin(), name.end(), ':', '_');
        s.tags += "[[tag]]\nname = \"" + name + "\"\naddress = \"" + address + "\"\n";
    };
    for (int i = 0; i < 60; ++i) {
        tag("N7:" + std::to_string(i * 2));
        s.seed += "N7:" + std::to_string(i * 2) + "=" + std::to_string(i * 523 - 15000) + "\n";
    }
    for (int i = 0; i < 20; ++i) {
        tag("F8:" + std::to_string(i));
        s.seed += "F8:" + std::to_string(i) + "=" + std::to_string(i * 1.25 - 7) + "\n";
    }
    for (int i = 0; i < 16; ++i) tag("B3:1/" + std::to_string(i));
    s.seed += "B3:1=23100\n";  // 0x5A3C: bits of both values
    for (int i = 0; i < 10; ++i) {
        tag("T4:" + std::to_string(i) + ".ACC");
        s.seed += "T4:" + std::to_string(i) + ".ACC=" + std::to_string(i * 111) + "\n";
    }
    return s;
}

// Whether a value the store took is what the simulator holds.
bool Holds(sim::Simulator& controller, const std::string& address, const serve::Value& value) {
    std::string held;
    if (const size_t bit = address.find('/'); bit != std::string::npos) {
        if (!controller.Peek(address.substr(0, bit), &held)) return false;
        const long word = std::atol(held.c_str()) & 0xFFFF;
        const int32_t* v = std::get_if<int32_t>(&value);
        return v != nullptr && *v == ((word >> std::atoi(address.c_str() + bit + 1)) & 1);
    }
    if (!controller.Peek(address, &held)) return false;
    if (const int32_t* v = std::get_if<int32_t>(&value)) return *v == std::atol(held.c_str());
    if (const double* v = std::get_if<double>(&value)) return std::fabs(*v - std::atof(held.c_str())) < 1e-6;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    uint32_t every = 20, timeoutMs = 200;
    bool crc = true;
    int only = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (a == "--every" && i + 1 < argc) {
            every = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (a == "--timeout" && i + 1 < argc) {
            timeoutMs = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (a == "--only" && i + 1 < argc) {
            only = std::atoi(argv[++i]) % static_cast<int>(std::size(kKinds));
        } else if (a == "--bcc") {
            crc = false;
        } else {
            std::fprintf(stderr, "usage: mira_serve_soak [--seconds S] [--every N] [--only K] [--bcc] [--timeout MS]\n");
            return 2;
        }
    }
    serve::SetLogSettings({serve::LogLevel::Error, false});
    sim::Options options;
    options.crc = crc;
    mira::bench::FarEnd far(options);  // unpaced: the soak is about faults, not speed
    const Soaked soaked = Tables();
    if (far.Sim().Seed(soaked.seed) != 0) {
        std::fprintf(stderr, "mira_serve_soak: the seed was refused\n");
        return 2;
    }
    std::string problems;
    const std::string text = "[line]\nport = \"" + far.Device() + "\"\nbaud = 115200\ncheck = \"" +
                             (crc ? "crc" : "bcc") + "\"\ntimeout = \"" + std::to_string(timeoutMs) +
                             "ms\"\n[[scan]]\nname = \"soak\"\nevery = \"1ms\"\n" + soaked.tags;
    const std::optional<serve::Config> config = serve::ParseConfig(text, "soak.toml", serve::AllFaces(), &problems);
    if (!config) {
        std::fprintf(stderr, "mira_serve_soak: %s", problems.c_str());
        return 2;
    }
    serve::TagStore store(config->tags, {"soak"});
    std::unique_ptr<serve::Subscription> changes = store.Subscribe();
    serve::LineThread line(store, *config, nullptr);
    std::string why;
    if (line.Start(&why) != 0) {
        std::fprintf(stderr, "mira_serve_soak: %s\n", why.c_str());
        return 1;
    }
    // One kind of fault after another, each on every Nth command for a
    // second, the whole soak long but its last five seconds.
    long wrong = 0, taken = 0, faults[std::size(kKinds)] = {};
    const auto began = Clock::now();
    const auto faultsEnd = began + std::chrono::seconds(std::max(seconds - 5, 1));
    auto nextKind = began;
    size_t kind = only < 0 ? 0 : static_cast<size_t>(only);
    while (Clock::now() < began + std::chrono::seconds(seconds)) {
        if (Clock::now() >= nextKind) {
            far.Sim().ClearFaults();
            if (Clock::now() < faultsEnd) {
                sim::Fault f;
                f.kind = kKinds[kind];
                f.every = every;
                f.times = 0;
                f.delayMs = 2 * timeoutMs;  // too late
                f.sts = 0x10;
                far.Sim().InjectFault(f);
                ++faults[kind];
                if (only < 0) kind = (kind + 1) % std::size(kKinds);
            }
            nextKind += std::chrono::seconds(1);
        }
        const serve::Changes c = changes->Wait(std::chrono::milliseconds(100));
        for (size_t index : c.tags) {
            const std::optional<serve::TagSnapshot> t = store.Get(index);
            if (!t || t->value.quality != serve::kQualityGood) continue;
            ++taken;
            if (!Holds(far.Sim(), t->info.address, t->value.value)) {
                ++wrong;
                std::fprintf(stderr, "wrong value at quality 192: %s = %s\n", t->info.address.c_str(),
                             serve::ValueJson(t->value.value).dump().c_str());
            }
        }
    }
    long stale = 0;
    for (const serve::TagSnapshot& t : store.All()) stale += t.value.quality == serve::kQualityGood ? 0 : 1;
    const serve::ScanStats scans = store.Scans()[0];
    const serve::StoreCounters counters = store.Counters();
    store.Stop();
    line.Stop();

    std::printf("mira_serve_soak: %s, %zu tags scanned back to back for %d s, a fault on every %u-th command "
                "(one kind a second, none in the last 5 s), reply time-out %u ms\n",
                crc ? "CRC" : "BCC", config->tags.size(), seconds, every, timeoutMs);
    std::printf("scans: %llu (mean %.1f ms, longest %.1f ms)\nfault periods:",
                static_cast<unsigned long long>(scans.scans), scans.meanSeconds * 1e3, scans.longestSeconds * 1e3);
    for (size_t k = 0; k < std::size(kKinds); ++k) std::printf("%s %s %ld", k ? "," : "", kKindNames[k], faults[k]);
    std::printf("\nfailed reads by code:");
    for (const auto& [code, n] : counters.readErrors)
        std::printf(" %llu x %d", static_cast<unsigned long long>(n), code);
    std::printf("\nchanges to quality 192 checked: %ld; wrong: %ld\ntags not at 192 at the end: %ld\n", taken, wrong,
                stale);
    return wrong == 0 && stale == 0 ? 0 : 1;
}
