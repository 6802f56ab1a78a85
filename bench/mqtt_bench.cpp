// mira_mqtt_bench: the MQTT face against Debian's mosquitto on a loopback
// port. A line thread of the bench's own writes 1000 tags that all change
// every scan into the store; a subscriber counts the tag changes the broker
// delivers. Prints, per format and scan period, the changes offered and
// delivered a second, how long the last scan's values took to arrive, and
// what the store's update cost the line thread (the face must not add to it).
// Then the delay from a change in the controller's table to its delivery by
// the broker: the simulator on a pseudo-terminal at 19200 baud, scanned by
// mira serve's own line thread, one change at a time at a random moment of
// the scan period.
//
//   mira_mqtt_bench [--seconds S] [--tags N] [--changes C]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "far_end.h"
#include "serve/config.h"
#include "serve/face.h"
#include "serve/faces.h"
#include "serve/line_thread.h"
#include "serve/mqtt/mqtt_face.h"
#include "serve/mqtt/sparkplug.h"

namespace mira::bench {
namespace {

using namespace mira::serve;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Run {
    const char* name;
    mqtt::Format format;
    int qos;
    uint32_t periodMs;
    bool face = true;  // false: the store's update alone, the line thread's cost without the face
};

// Tag changes in what the subscriber received: one a JSON message, one a
// metric of a Sparkplug DDATA.
class Counter {
public:
    // QoS 0 on the way out of the broker, so that what is measured is what
    // the face publishes, not the subscriber's acknowledgements.
    Counter(uint16_t port, mqtt::Format format, const std::string& topic)
        : format_(format), client_(port, {topic}, "", 0) {}
    size_t Changes() {
        for (const auto& m : client_.All(seen_)) {
            ++seen_;
            if (format_ == mqtt::Format::Json) {
                changes_ += m.topic.find("/tags/") != std::string::npos;
            } else if (m.topic.find("/DDATA/") != std::string::npos) {
                mqtt::spb::Payload p;
                if (mqtt::spb::Decode(m.payload, &p, 1u << 20)) changes_ += p.metrics.size();
            }
        }
        return changes_;
    }

private:
    mqtt::Format format_;
    test::Client client_;
    size_t seen_ = 0, changes_ = 0;
};

double ThreadCpuUs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void Measure(const Run& run, int seconds, size_t tagCount) {
    test::Broker broker;
    std::vector<TagInfo> tags(tagCount);
    for (size_t i = 0; i < tagCount; ++i) {
        // (gcc 12 at -O3 takes "literal" + string for an overlapping copy: -Wrestrict)
        tags[i].name = std::string("t/").append(std::to_string(i));
        tags[i].header = "N7:0";
        tags[i].item = std::string("W").append(std::to_string(i));
    }
    TagStore store(tags, {"fast"});
    store.SetLine({LineState::Up, {}});
    mqtt::Settings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = broker.port();
    s.clientId = "bench";
    s.prefix = "bench";
    s.edgeNode = "bench";
    s.format = run.format;
    s.qos = run.qos;
    Counter counter(broker.port(), run.format, run.format == mqtt::Format::Json ? "bench/tags/#" : "spBv1.0/#");
    FaceRunner runner(std::make_unique<mqtt::MqttFace>(s, store), store);
    std::string why;
    if (run.face && !runner.Start(&why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return;
    }
    // The births (Sparkplug) or the first retained values (JSON) first.
    const auto settle = [&](size_t want, milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (counter.Changes() < want && Clock::now() < end) std::this_thread::sleep_for(milliseconds(2));
    };
    std::vector<TagStore::Reading> readings(tagCount);
    uint64_t time = 133000000000000000ULL;
    // The update's wall time, which a busy machine stretches, and the line
    // thread's own CPU time in it, which only its own work does.
    std::vector<double> cpuUs;
    const auto scan = [&](int32_t value) {
        for (size_t i = 0; i < tagCount; ++i) readings[i] = {i, value, kQualityGood, ++time, 0, ""};
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuUs();
        store.Update(readings);
        cpuUs.push_back(ThreadCpuUs() - c0);
        return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    };
    scan(0);
    cpuUs.clear();
    settle(run.format == mqtt::Format::Json && run.face ? tagCount : 0, milliseconds(10000));
    const size_t before = counter.Changes();

    std::vector<double> updateUs;
    const int scans = seconds * 1000 / static_cast<int>(run.periodMs);
    auto next = Clock::now();
    const auto start = next;
    for (int n = 1; n <= scans; ++n) {
        std::this_thread::sleep_until(next);
        updateUs.push_back(scan(n));
        next += milliseconds(run.periodMs);
    }
    const auto lastScan = Clock::now();
    const size_t offered = static_cast<size_t>(scans) * tagCount;
    // Delivery of the last scan: the count stops growing (or reaches all offered).
    size_t last = 0;
    auto lastGrowth = Clock::now();
    for (;;) {
        const size_t now = counter.Changes() - before;
        if (now != last) {
            last = now;
            lastGrowth = Clock::now();
        }
        if (now >= offered || !run.face || Clock::now() - lastGrowth > milliseconds(1000)) break;
        std::this_thread::sleep_for(milliseconds(1));
    }
    const double elapsed = std::chrono::duration<double>(lastGrowth - start).count();
    const double lagMs = std::chrono::duration<double, std::milli>(std::max(lastGrowth, lastScan) - lastScan).count();
    std::printf("| %s, %zu tags every %u ms | %.0f | %.0f | %.3f | %.0f | %.0f | %.0f | %.0f | %.0f |\n", run.name, tagCount,
                run.periodMs, static_cast<double>(offered) / (static_cast<double>(scans * run.periodMs) / 1000.0),
                static_cast<double>(last) / elapsed, static_cast<double>(last) / static_cast<double>(offered), lagMs,
                Percentile(updateUs, 0.5), Percentile(updateUs, 0.99), Percentile(cpuUs, 0.5), Percentile(cpuUs, 0.99));
    runner.Stop();
}


// From a change in the simulator's table to the broker's delivery of the
// tag's message, `changes` times, each at a random moment of the period.
void Latency(uint32_t periodMs, int changes) {
    test::Broker broker;
    sim::Options options;
    options.crc = true;    // the line's defaults: CRC, 19200 baud, its bytes paced as on a wire
    options.baud = 19200;
    FarEnd far(options);
    std::string problems;
    const std::optional<Config> config = ParseConfig(
        std::string("[line]\nport = \"").append(far.Device()).append("\"\n[[scan]]\nname = \"s\"\nevery = \"")
            .append(std::to_string(periodMs)).append("ms\"\n[[tag]]\nname = \"t\"\naddress = \"N7:0\"\n")
            .append("[mqtt]\nurl = \"mqtt://127.0.0.1:").append(std::to_string(broker.port()))
            .append("\"\nclient_id = \"bench\"\n"),
        "bench.toml", AllFaces(), &problems);
    if (!config) return (void)std::fprintf(stderr, "%s", problems.c_str());
    TagStore store(config->tags, {"s"});
    FaceRunner runner(std::make_unique<mqtt::MqttFace>(mqtt::SettingsOf(config->faces.at("mqtt"), *config), store),
                      store);
    LineThread line(store, *config, nullptr);
    test::Client client(broker.port(), {"mira/bench/tags/t"}, "", 0);
    std::string why;
    if (!runner.Start(&why) || line.Start(&why) != 0) return (void)std::fprintf(stderr, "%s\n", why.c_str());
    client.WaitFor([](const test::Messages& m) { return !m.empty(); });
    std::mt19937 random(1);
    std::vector<double> ms;
    for (int i = 1; i <= changes; ++i) {
        std::this_thread::sleep_for(milliseconds(random() % periodMs));
        const size_t before = client.All().size();
        far.Sim().Poke("N7:0", std::to_string(1000 + i));
        const auto changed = Clock::now();
        if (client.WaitFor([&](const test::Messages& m) { return m.size() > before; }, milliseconds(10 * periodMs + 5000)))
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - changed).count());
    }
    std::printf("| %u ms | %zu of %d | %.1f | %.1f | %.1f | %.1f |\n", periodMs, ms.size(), changes,
                Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99), Percentile(ms, 1.0));
    store.Stop();
    runner.Stop();
    line.Stop();
}

}  // namespace
}  // namespace mira::bench

int main(int argc, char** argv) {
    int seconds = 5;
    size_t tags = 1000;
    int changes = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--changes") == 0) changes = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--tags") == 0) tags = static_cast<size_t>(std::atoi(argv[i + 1]));
    }
    using mira::serve::mqtt::Format;
    const mira::bench::Run runs[] = {
        {"no face", Format::Json, 1, 100, false},
        {"JSON, QoS 1", Format::Json, 1, 100}, {"JSON, QoS 1", Format::Json, 1, 50}, {"JSON, QoS 0", Format::Json, 0, 100},
        {"Sparkplug B", Format::Sparkplug, 0, 100}, {"Sparkplug B", Format::Sparkplug, 0, 20},
    };
    std::printf("| run | changes offered/s | delivered/s | delivered/offered | last scan delivered after (ms) | "
                "store update p50 (us) | p99 (us) | its CPU p50 (us) | p99 (us) |\n"
                "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const auto& run : runs) mira::bench::Measure(run, seconds, tags);
    std::printf("\n| scan period | changes delivered | delay p50 (ms) | p90 | p99 | max |\n|---|---:|---:|---:|---:|---:|\n");
    for (uint32_t period : {100u, 500u}) mira::bench::Latency(period, changes);
    return 0;
}
