// mira_e2e: reads through the real Portkit on a pseudo-terminal, against the
// simulator pacing its line, the way `mira read` runs them (start, then the
// finish after each yield); and the peak resident size of `mira poll`.
//
// The far end of the pty is a thread here: it paces the master's bytes into
// the simulator at the line's speed, so that both directions take their wire
// time, and the simulator paces its own output. Prints rows of the bench
// table.
//
//   mira_e2e [--reads N] [--baud B ...] [--poll-count N] [--no-reads] [--no-header]
// --poll-count 0 leaves the resident size out; --no-reads leaves the reads out.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "alloc_count.h"
#include "far_end.h"
#include "mira/mira.h"
#include "mira/portkit_codes.h"
#include "report.h"
#include "sim/simulator.h"

extern "C" void PkYield();

namespace mira::bench {
namespace {

constexpr uint32_t kBitsPerChar = 10;  // 8N1

uint64_t NowUs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

template <size_t N>
void Copy(char16_t (&field)[N], const std::string& text) {
    size_t i = 0;
    for (; i < text.size() && i + 1 < N; ++i) field[i] = static_cast<char16_t>(text[i]);
    field[i] = 0;
}

bool OpenOn(const std::string& device, uint32_t baud, uint32_t replyTimeoutMs = 2000) {
    DriverSettings s{};
    s.baud = baud;
    s.dataBits = 8;
    s.stopBits = 1;
    s.replyTimeoutMs = replyTimeoutMs;
    s.TimeoutA = 2000;
    s.TimeoutB = 500;
    Copy(s.StationText, "0");
    Copy(s.ModelText, "SLC500");
    Copy(s.ModeText, "Standard");
    s.ErrorCheckOption = 1;
    Copy(s.portName, device);
    char16_t version[8] = {};
    int32_t error = 0;
    return UDrvOpen(0, &s, version, &error) == 1 && error == 0;
}

// Waits (2 s at most) until the driver has acknowledged every frame the
// simulator sent: its closing DLE ACK is then counted, and nothing of the
// exchange is left to land in the next count.
bool Settled(FarEnd& far) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const sim::Stats s = far.Sim().GetStats();
        if (s.acksReceived >= s.framesSent) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

double Percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// An SLC 500 at station 1, CRC, pacing its line at baud.
sim::Options PacedSlc500(uint32_t baud) {
    sim::Options options;
    options.family = sim::Family::Slc500;
    options.station = 1;
    options.crc = true;
    options.baud = baud;
    options.bitsPerByte = kBitsPerChar;
    return options;
}

void ReadsAt(uint32_t baud, int32_t words, int reads) {
    // The far end's allocations are not the host's.
    FarEnd far(PacedSlc500(baud), [] { thread_local UncountedScope notTheHost; });
    const std::string figure = "e2e read " + std::to_string(words) + (words == 1 ? " word" : " words") + " @ " +
                               std::to_string(baud) + " baud";
    if (far.Device().empty() || !OpenOn(far.Device(), baud)) {
        PrintRow(figure, "-", "-", "failed: the driver did not open the pty");
        return;
    }
    std::vector<std::u16string> texts;
    for (int32_t i = 0; i < words; ++i) {
        const std::string t = std::string(1, 'W').append(std::to_string(i));
        texts.emplace_back(t.begin(), t.end());
    }
    std::vector<const char16_t*> items;
    for (const auto& t : texts) items.push_back(t.c_str());
    std::vector<HostValue> values(static_cast<size_t>(words));
    std::vector<double> times;
    times.reserve(static_cast<size_t>(reads));
    uint64_t out = 0, in = 0, failures = 0, wireOut = 0, wireIn = 0, allocsPerRead = 0;
    bool settled = true;
    // One read first, so that the figures start from a settled line.
    for (int r = -1; r < reads; ++r) {
        if (r == 0) {
            settled = Settled(far);
            far.TakeBytes(&out, &in);
        }
        const uint64_t allocs = Allocations();
        const uint64_t t0 = NowUs();
        int32_t error = 0;
        bool ok = UDrvReadGroupStart(u"1", u"N7:0", items.data(), words, &error) == 1 && error == 0;
        while (ok && UDrvReadGroupFinishExt(values.data(), 0, words, &error) == 0) PkYield();
        const uint64_t t1 = NowUs();
        if (r < 0) continue;
        if (!ok || error != 0) {
            ++failures;
            continue;
        }
        times.push_back(static_cast<double>(t1 - t0) * 1e3);
        allocsPerRead += Allocations() - allocs;
    }
    settled = Settled(far) && settled;
    far.TakeBytes(&wireOut, &wireIn);
    UDrvClose();
    if (times.empty() || !settled) {
        PrintRow(figure, "-", "-", times.empty() ? "failed: no read succeeded" : "failed: a reply was never acknowledged");
        return;
    }
    // Settled at both ends, the count holds these exchanges and nothing else.
    // Its mean is a little above the usual exchange: a TNS byte of 0x10 goes
    // out doubled, in the request and again in the reply (TNS 16, 272 ...).
    const double bytes = static_cast<double>(wireOut + wireIn) / reads;
    const double wireNs = bytes * kBitsPerChar / baud * 1e9;
    const double median = Percentile(times, 0.5), p99 = Percentile(times, 0.99);
    char notes[256];
    std::snprintf(notes, sizeof notes,
                  "p99 %s, wire %s (%.2f bytes), median/wire %.3f, p99/wire %.3f, %zu reads, %llu failed, "
                  "allocs %.2f",
                  Duration(p99).c_str(), Duration(wireNs).c_str(), bytes, median / wireNs, p99 / wireNs, times.size(),
                  static_cast<unsigned long long>(failures),
                  static_cast<double>(allocsPerRead) / static_cast<double>(times.size()));
    PrintRow(figure, Duration(median), Rate(1e9 / median, "reads"), notes);
}

// What a user waits for besides the reads: the open, whose four line
// resets the far end answers, and a read of a station no controller is at,
// which the far end takes (DLE ACK) and never answers: one reply time-out of
// 200 ms, then the failed read's four line resets.
void OpenAndAbsentStation(uint32_t baud, int runs) {
    FarEnd far(PacedSlc500(baud), [] {});
    const std::string at = " @ " + std::to_string(baud) + " baud";
    std::vector<double> opens, failures;
    for (int r = 0; r < runs && !far.Device().empty(); ++r) {
        const uint64_t t0 = NowUs();
        if (!OpenOn(far.Device(), baud, 200)) break;
        const uint64_t t1 = NowUs();
        const char16_t* item = u"W0";
        int32_t error = 0;
        bool ok = UDrvReadGroupStart(u"5", u"N7:0", &item, 1, &error) == 1 && error == 0;
        HostValue value{};
        while (ok && UDrvReadGroupFinishExt(&value, 0, 1, &error) == 0) PkYield();
        const uint64_t t2 = NowUs();
        UDrvClose();
        opens.push_back(static_cast<double>(t1 - t0) * 1e3);
        if (ok && error == MIRA_PK_ERR_TIMEOUT) failures.push_back(static_cast<double>(t2 - t1) * 1e3);
    }
    const struct { std::string figure; const std::vector<double>& times; const char* what; } rows[] = {
        {"e2e open, four line resets answered" + at, opens, "opens"},
        {"e2e read of a station that never answers, -o 200ms" + at, failures, "failures"}};
    for (const auto& row : rows) {
        if (row.times.size() != static_cast<size_t>(runs)) {
            PrintRow(row.figure, "-", "-", "failed: the driver did not open the pty, or the read did not time out");
            continue;
        }
        char notes[96];
        std::snprintf(notes, sizeof notes, "p99 %s, %d %s", Duration(Percentile(row.times, 0.99)).c_str(), runs, row.what);
        PrintRow(row.figure, Duration(Percentile(row.times, 0.5)), Rate(1e9 / Percentile(row.times, 0.5), row.what),
                 notes);
    }
}

// Peak resident size of a child running `mira poll`, from its rusage.
void PollRss(const char* mira, uint32_t count) {
    std::vector<std::string> args = {mira, "poll", "--every", "1ms", "--count", std::to_string(count), "N7:0"};
    for (int i = 0; i < 10; ++i) args.push_back(std::string(1, 'W').append(std::to_string(i)));
    const uint64_t t0 = NowUs();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(mira, argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    const std::string figure = "mira poll peak RSS, " + std::to_string(count) + " reads of 10 words (sim)";
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        PrintRow(figure, "-", "-", "failed: mira poll did not run");
        return;
    }
    const double seconds = static_cast<double>(NowUs() - t0) / 1e6;
    char value[32], notes[128];
    std::snprintf(value, sizeof value, "%.1f MiB", static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::snprintf(notes, sizeof notes, "%.1f s in all with the open, %s per read, --every 1ms", seconds,
                  Duration(seconds * 1e9 / count).c_str());
    PrintRow(figure, value, Rate(count / seconds, "reads"), notes);
}

}  // namespace
}  // namespace mira::bench

int main(int argc, char** argv) {
    using namespace mira::bench;
    int reads = 0;  // 0: by speed, about ten seconds in all
    uint32_t pollCount = 10000;
    bool header = true, noReads = false;
    std::vector<uint32_t> bauds;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--reads" && i + 1 < argc) {
            reads = std::atoi(argv[++i]);
        } else if (a == "--baud" && i + 1 < argc) {
            bauds.push_back(static_cast<uint32_t>(std::atoi(argv[++i])));
        } else if (a == "--poll-count" && i + 1 < argc) {
            pollCount = static_cast<uint32_t>(std::atoi(argv[++i]));
        } else if (a == "--no-header") {
            header = false;
        } else if (a == "--no-reads") {
            noReads = true;
        } else {
            std::fprintf(stderr, "usage: mira_e2e [--reads N] [--baud B ...] [--poll-count N] [--no-reads] [--no-header]\n");
            return 2;
        }
    }
    if (bauds.empty() && !noReads) bauds = {9600, 19200, 115200};
    if (header) PrintTableHeader();
    for (uint32_t baud : bauds) {
        for (int32_t words : {1, 100}) {
            const int n = reads > 0 ? reads : baud <= 9600 ? 30 : baud <= 19200 ? 50 : 200;
            ReadsAt(baud, words, n);
        }
    }
    if (!noReads) OpenAndAbsentStation(19200, 10);
    // A short poll first: what the long one adds to it is what the reads cost.
    if (pollCount > 0) PollRss(MIRA_CLI_PATH, 10);
    if (pollCount > 10) PollRss(MIRA_CLI_PATH, pollCount);
    return 0;
}
