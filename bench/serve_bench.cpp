// mira_serve_bench: what mira serve costs on a paced line. Prints rows of the
// bench table:
//   - a scan of 200 tags over 6 files at 19200 baud, through the line
//     thread on the paced pseudo-terminal, every second (--every 1ms: back
//     to back), against the plan's line time (the goal is 1.05 at most);
//   - GET /api/read of one word at 19200 baud against its wire time (the
//     goal: the median at most 5 ms above it);
//   - the CPU and resident size of the mira serve program scanning 100 tags
//     every second (goals: 1 % of a core at most), and its resident size
//     with 1000 tags (16 MiB at most).
//
//   mira_serve_bench [--scans N] [--every T] [--reads N] [--seconds S] [--no-header]
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/free_port.h"
#include "far_end.h"
#include "report.h"
#include "serve/faces.h"
#include "serve/http/http_server.h"
#include "serve/line_thread.h"
#include "serve/log.h"
#include "serve/planner.h"

namespace mira::bench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr uint32_t kBaud = 19200;
constexpr uint32_t kBitsPerChar = 10;  // 8N1

// The far end as a controller at 19200 baud, answering after turnaroundMs.
sim::Options Controller(uint32_t turnaroundMs) {
    sim::Options o;
    o.crc = true;
    o.baud = kBaud;
    o.bitsPerByte = kBitsPerChar;
    o.replyDelayMs = turnaroundMs;
    // Room for the tags of the 1000-tag run.
    o.extraFiles.push_back({"N", 10, 1000});
    o.extraFiles.push_back({"F", 8, 512});
    return o;
}

// Tags over N7, N10, F8, B3, T4 and C5, spaced so that the plan reads
// through some gaps and not through others.
std::string Tags(int count) {
    struct Run {
        const char* file;
        int every, share;  // elements apart; per 200 tags
        const char* suffix;
    };
    const Run kRuns[] = {{"N7:", 2, 80, ""},  {"N10:", 3, 40, ""},   {"F8:", 2, 30, ""},
                         {"B3:", 1, 20, "/3"}, {"T4:", 2, 15, ".ACC"}, {"C5:", 3, 15, ".ACC"}};
    std::string text;
    int made = 0;
    for (int round = 0; made < count; ++round)
        for (const Run& r : kRuns)
            for (int k = 0; k < r.share && made < count; ++k, ++made) {
                const int element = (round * r.share + k) * r.every;
                text += "[[tag]]\nname = \"t" + std::to_string(made) + "\"\naddress = \"" + r.file +
                        std::to_string(element) + r.suffix + "\"\n";
            }
    return text;
}

std::string Line(const std::string& device, const char* every, const char* turnaround) {
    return "[line]\nport = \"" + device + "\"\nbaud = " + std::to_string(kBaud) + "\nturnaround = \"" + turnaround +
           "\"\n[[scan]]\nname = \"all\"\nevery = \"" + every + "\"\n";
}

serve::Config Parsed(const std::string& text) {
    std::string problems;
    std::optional<serve::Config> c = serve::ParseConfig(text, "bench.toml", serve::AllFaces(), &problems);
    if (!c) {
        std::fprintf(stderr, "mira_serve_bench: %s", problems.c_str());
        std::exit(2);
    }
    return *c;
}

double Percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// The line thread scanning every `every` (a scan takes about 0.83 s, so
// "1ms" scans back to back); each scan's time from the store.
void ScanRow(int scans, const std::string& every) {
    FarEnd far(Controller(5));
    const std::string figure = "serve scan of 200 tags, 6 files @ 19200 baud";
    const serve::Config config = Parsed(Line(far.Device(), every.c_str(), "5ms") + Tags(200));
    serve::TagStore store(config.tags, {"all"});
    serve::LineThread line(store, config, nullptr);
    std::string why;
    if (far.Device().empty() || line.Start(&why) != 0) {
        PrintRow(figure, "-", "-", "failed: " + why);
        return;
    }
    const serve::ScanPlan plan = serve::MakePlan(config).scans[0];
    // The first scan spends the first transaction too; it is left out.
    const auto scanned = [&](uint64_t n) {
        const auto end = Clock::now() + std::chrono::seconds(120);
        while (store.Scans()[0].scans < n && Clock::now() < end) std::this_thread::sleep_for(milliseconds(5));
        return store.Scans()[0];
    };
    const serve::ScanStats first = scanned(1);
    std::vector<double> each;
    for (uint64_t n = 2; n <= static_cast<uint64_t>(scans) + 1; ++n) each.push_back(scanned(n).lastSeconds);
    const serve::ScanStats last = store.Scans()[0];
    // The tags and failed reads as the scans left them, taken before the
    // stop: stopping ends the read under way, and scans back to back always
    // have one, whose tags would show the stop's own 4102.
    const std::vector<serve::TagSnapshot> tags = store.All();
    uint64_t failedReads = 0;
    for (const auto& [code, n] : store.Counters().readErrors) failedReads += n;
    store.Stop();
    line.Stop();
    const double mean = (last.sumSeconds - first.sumSeconds) / static_cast<double>(last.scans - first.scans);
    size_t tagsRead = 0;
    for (const serve::TagSnapshot& t : tags) {
        if (t.value.quality == serve::kQualityGood) {
            ++tagsRead;
        } else {
            std::fprintf(stderr, "mira_serve_bench: %s not at 192: %d %s\n", t.info.address.c_str(), t.value.errorCode,
                         t.value.errorMessage.c_str());
        }
    }
    char notes[256];
    std::snprintf(notes, sizeof notes,
                  "plan %s in %zu reads, mean/plan %.3f, median/plan %.3f, longest %s, %zu scans every %s, %zu of 200 "
                  "tags at 192, %llu tag reads failed, turnaround 5 ms",
                  Duration(plan.lineSeconds * 1e9).c_str(), plan.groups.size(), mean / plan.lineSeconds,
                  Percentile(each, 0.5) / plan.lineSeconds, Duration(Percentile(each, 1.0) * 1e9).c_str(), each.size(),
                  every.c_str(), tagsRead, static_cast<unsigned long long>(failedReads));
    PrintRow(figure, Duration(mean * 1e9), Rate(1 / mean, "scans"), notes);
}

void ApiReadRow(int reads) {
    FarEnd far(Controller(0));
    const std::string figure = "serve GET /api/read of 1 word @ 19200 baud";
    const int port = FreePort();
    serve::Config config = Parsed(Line(far.Device(), "60s", "0ms") + "[http]\nlisten = \"127.0.0.1:" +
                                  std::to_string(port) + "\"\n");
    serve::TagStore store(config.tags, {"all"});
    serve::LineThread line(store, config, nullptr);
    serve::FaceRunner face(serve::http::MakeHttpFace({config, config.faces["http"], store}), store);
    std::string why;
    if (far.Device().empty() || !face.Start(&why) || line.Start(&why) != 0) {
        PrintRow(figure, "-", "-", "failed: " + why);
        return;
    }
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    std::vector<double> times;
    uint64_t out = 0, in = 0, failed = 0;
    for (int r = -1; r < reads; ++r) {
        if (r == 0) far.TakeBytes(&out, &in);  // from a settled line: the first read spends TNS 0
        const auto t0 = Clock::now();
        const httplib::Result res = client.Get("/api/read?address=N7:0%20W0");
        const auto t1 = Clock::now();
        if (r < 0) continue;
        if (!res || res->status != 200 || res->body.find("\"quality\":192") == std::string::npos) {
            ++failed;
            continue;
        }
        times.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::this_thread::sleep_for(milliseconds(50));  // the last DLE ACK
    far.TakeBytes(&out, &in);
    store.Stop();
    face.Stop();
    line.Stop();
    if (times.empty()) {
        PrintRow(figure, "-", "-", "failed: no read succeeded");
        return;
    }
    const double bytes = static_cast<double>(out + in) / reads;
    const double wireNs = bytes * kBitsPerChar / kBaud * 1e9;
    const double median = Percentile(times, 0.5);
    char notes[256];
    std::snprintf(notes, sizeof notes, "wire %s (%.1f bytes), median - wire %s (goal 5 ms), p99 %s, %zu reads, %llu failed",
                  Duration(wireNs).c_str(), bytes, Duration(median - wireNs).c_str(),
                  Duration(Percentile(times, 0.99)).c_str(), times.size(), static_cast<unsigned long long>(failed));
    PrintRow(figure, Duration(median), Rate(1e9 / median, "reads"), notes);
}

// The CPU seconds (user and system) and resident size of a process.
struct Usage {
    double cpuSeconds = 0;
    double rssMiB = 0, peakMiB = 0;
};
Usage UsageOf(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int k = 3; fields >> f; ++k) {
        if (k == 14) utime = std::stoull(f);
        if (k == 15) {
            stime = std::stoull(f);
            break;
        }
    }
    u.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) u.rssMiB = std::atof(line.c_str() + 6) / 1024;
        if (line.rfind("VmHWM:", 0) == 0) u.peakMiB = std::atof(line.c_str() + 6) / 1024;
    }
    return u;
}

// The mira serve program on the paced line, scanning `tags` every second.
void ProgramRow(int tags, int seconds) {
    FarEnd far(Controller(5));
    char path[] = "/tmp/mira-serve-bench-XXXXXX";
    ::close(::mkstemp(path));
    std::ofstream(path) << Line(far.Device(), "1s", "5ms") << Tags(tags) << "[http]\nlisten = \"127.0.0.1:0\"\n";
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl(MIRA_CLI_PATH, MIRA_CLI_PATH, "serve", "--quiet", path, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string figure = "mira serve, " + std::to_string(tags) + " tags every 1 s @ 19200 baud";
    // The open's line resets and the first scans, then the figures.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const Usage before = UsageOf(child);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Usage after = UsageOf(child);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || after.rssMiB == 0) {
        PrintRow(figure, "-", "-", "failed: mira serve did not run");
        return;
    }
    const double cpu = (after.cpuSeconds - before.cpuSeconds) / wall * 100;
    char value[32], notes[160];
    std::snprintf(value, sizeof value, "%.2f %% CPU", cpu);
    std::snprintf(notes, sizeof notes, "resident %.1f MiB, peak %.1f MiB, over %.0f s (goals: 1 %% of a core; 16 MiB)",
                  after.rssMiB, after.peakMiB, wall);
    PrintRow(figure, value, "-", notes);
}

}  // namespace
}  // namespace mira::bench

int main(int argc, char** argv) {
    using namespace mira::bench;
    int scans = 20, reads = 100, seconds = 30;
    std::string every = "1s";
    bool header = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scans" && i + 1 < argc) {
            scans = std::atoi(argv[++i]);
        } else if (a == "--every" && i + 1 < argc) {
            every = argv[++i];
        } else if (a == "--reads" && i + 1 < argc) {
            reads = std::atoi(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (a == "--no-header") {
            header = false;
        } else {
            std::fprintf(stderr, "usage: mira_serve_bench [--scans N] [--every T] [--reads N] [--seconds S] [--no-header]\n");
            return 2;
        }
    }
    mira::serve::SetLogSettings({mira::serve::LogLevel::Warning, false});
    if (header) PrintTableHeader();
    ScanRow(scans, every);
    ApiReadRow(reads);
    ProgramRow(100, seconds);
    ProgramRow(1000, std::max(10, seconds / 3));
    return 0;
}
