// The search of `mira scan` over a fake line with a simulated controller at its far end, on a
// clock the line steps: what it finds, how it identifies, and bad lines that must end it in time.
#include "cli/scan.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "sim/simulator.h"

namespace mira::cli {
namespace {

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at + 1 < text.size(); at += 3) out.push_back(uint8_t(std::stoul(text.substr(at, 2), nullptr, 16)));
    return out;
}

// Status bytes as the command reference lays them out, one processor a row.
TEST(ScanIdentity, DiagnosticStatusOfEachFamily) {
    const struct { const char* name; const char* data; Family family; const char* processor, *series, *revision; bool
        ofInterface; } rows[] = {
        {"SLC 5/03", "00 EE 34 49 42 35 2F 30 33 20 20 20 20 20 20 20 00 00 1E 00 00 00 10 FC", Family::Slc500,
         "SLC 5/03", "C", "3", false},
        {"SLC fixed", "00 EE 1F 1A 21 35 30 30 2D 32 30 00 00 00 00 00", Family::Slc500, "SLC 500 fixed controller",
         "B", "2", false},
        {"SLC by its name", "00 EE 34 7F 00 35 2F 30 35 00", Family::Slc500, "5/05", "A", "1", false},
        {"SLC unnamed", "00 EE 34 7F 00 01", Family::Slc500, "processor type 0x7F", "A", "1", false},
        {"MicroLogix", "00 EE 34 58 20", Family::Slc500, "MicroLogix 1000", "B", "1", false},
        {"PLC-5/40E", "02 EB 4B 00 C0 00 00 83 01 FD 00 0A 00 0A 00 00 00 00", Family::Plc5, "PLC-5/40E", "E", "D",
         false},
        {"PLC-5 unknown", "02 EB 99 00 C0 00 00 00", Family::Plc5, "processor type 0x99", "A", "A", false},
        {"PLC-2/30 on a KG", "02 74 00 10 00 00 00 00 01 06", Family::Plc2, "PLC-2/30", "A", "B", true},
        {"Mini-PLC-2 on a KF2", "00 33 00 00 00 00 00 00 21", Family::Plc2, "Mini-PLC-2", "B", "B", true},
        {"PLC-2 short", "02 14", Family::Plc2, "PLC-2", "", "", false},
        // Interface modules and computers answering for themselves, and replies too short.
        {"interface", "00 FE 24 00 00", Family::Unknown, "", "", "", false},
        {"computer", "00 F3 00 00", Family::Unknown, "", "", "", false},
        {"PLC-5 cut", "02 EB 15 00 C0", Family::Unknown, "", "", "", false},
        {"SLC cut", "00 EE 34", Family::Unknown, "", "", "", false}, {"empty", "", Family::Unknown, "", "", "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::vector<uint8_t> data = FromHex(r.data);
        Identity id;
        EXPECT_EQ(DecodeDiagnosticStatus(data.data(), data.size(), &id), r.family != Family::Unknown);
        EXPECT_EQ(std::tie(id.family, id.processor, id.series, id.revision, id.ofInterface),
                  std::make_tuple(r.family, std::string(r.processor), std::string(r.series), std::string(r.revision),
                                  r.ofInterface));
    }
}

Options Parsed(const std::string& line) {
    std::vector<std::string> words;
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 1) words.push_back(line.substr(at, (end = line.find(' ', at)) - at));
    std::vector<const char*> argv = {"mira"};
    for (const auto& w : words) argv.push_back(w.c_str());
    Options o;
    std::string error;
    EXPECT_TRUE(ParseArgs(int(argv.size()), argv.data(), &o, &error)) << error;
    return o;
}

// A line whose far end is a simulated controller at one speed and parity. At another it hears
// broken characters and answers with a garbled DLE NAK, as `mira sim` does; the bad lines add
// their own bytes. Time passes only as the search waits or reads.
class FakeLine final : public ScanWire {
public:
    enum class Bad { None, Silent, Noise, DleFlood, HalfReply };

    FakeLine(sim::Family family, uint8_t station, LineSetting at, Bad bad = Bad::None, uint64_t latencyMs = 0)
        : at_(at), bad_(bad), latencyMs_(latencyMs), sim_(Make(family, station, at.crc, &nowMs_)) {}

    sim::Simulator& sim() { return sim_; }

    int32_t Open(const LineSetting& s, std::string*) override {
        heard_ = s.baud == 0 || (s.baud == at_.baud && s.parity == at_.parity);
        return 0;
    }
    void Close() override {}
    bool Send(const uint8_t* bytes, size_t count) override {
        in_.clear();
        sentMs_ = nowMs_;
        // Silence and noise come from a line with no controller on it.
        if (bad_ == Bad::Silent || bad_ == Bad::Noise || bad_ == Bad::DleFlood) return true;
        if (heard_) sim_.FromMaster(bytes, count);
        else in_ = {0x88, 0x8A};
        return true;
    }
    size_t Receive(uint8_t* out, size_t capacity, uint32_t waitMs) override {
        if (nowMs_ < sentMs_ + latencyMs_) {  // nothing has come back yet
            nowMs_ += std::min<uint64_t>(waitMs, sentMs_ + latencyMs_ - nowMs_);
            return 0;
        }
        uint8_t chunk[512];
        const size_t got = sim_.ToMaster(chunk, sizeof chunk);
        std::vector<uint8_t> bytes(chunk, chunk + got);
        if (bad_ == Bad::HalfReply)
            for (size_t i = 0; i + 1 < bytes.size(); ++i)
                if (bytes[i] == 0x10 && bytes[i + 1] == 0x02) bytes.resize(i + (bytes.size() - i) / 2);
        if (heard_) in_.insert(in_.end(), bytes.begin(), bytes.end());
        if (bad_ == Bad::Noise)
            for (int i = 0; i < 64; ++i) in_.push_back(uint8_t(noise_()));
        if (bad_ == Bad::DleFlood) in_.insert(in_.end(), 64, 0x10);
        if (in_.empty()) {
            nowMs_ += waitMs;
            return 0;
        }
        nowMs_ += 1;
        const size_t n = std::min(capacity, in_.size());
        std::copy(in_.begin(), in_.begin() + ptrdiff_t(n), out);
        in_.erase(in_.begin(), in_.begin() + ptrdiff_t(n));
        return n;
    }
    uint64_t NowMs() override { return nowMs_; }

private:
    static sim::Options Make(sim::Family family, uint8_t station, bool crc, const uint64_t* nowMs) {
        sim::Options o;
        o.family = family;
        o.station = station;
        o.crc = crc;
        o.clockUs = [nowMs] { return *nowMs * 1000; };
        return o;
    }

    uint64_t nowMs_ = 1000, sentMs_ = 0;
    LineSetting at_;
    Bad bad_;
    uint64_t latencyMs_;
    bool heard_ = false;
    std::vector<uint8_t> in_;
    std::minstd_rand noise_;
    sim::Simulator sim_;
};

// A controller that refuses diagnostic status is named by the typed read it accepts.
TEST(Scan, TypedReadNamesAFamilyWhereDiagnosticStatusIsRefused) {
    const std::tuple<sim::Family, Family, const char*> rows[] = {
        {sim::Family::Slc500, Family::Slc500, "N7:0"}, {sim::Family::Plc5, Family::Plc5, "N7:0"},
        {sim::Family::Plc2, Family::Plc2, "U:0 W0"}};
    for (const auto& [simFamily, family, address] : rows) {
        SCOPED_TRACE(ModelFor(family));
        FakeLine line(simFamily, 1, {2400, 2, false});
        // The echo that finds the station passes; the diagnostic status after it is refused.
        line.sim().InjectFault({.kind = sim::FaultKind::Status, .every = 2, .times = 1, .sts = 0x10});
        const ScanPlan plan = PlanScan(Parsed("scan -p /dev/ttyS0"));
        const ScanResult r = Scan(line, plan, nullptr);
        ASSERT_EQ(r.found.size(), 1u);
        EXPECT_EQ(std::tie(r.found[0].identity.family, r.found[0].identity.source, r.found[0].station),
                  std::make_tuple(family, std::string("typed read"), 1u));
        EXPECT_EQ(ReachCommand("/dev/ttyS0", plan, r.found[0]),
                  std::string("mira read -p /dev/ttyS0 -b 2400 -P even --bcc --model ") + ModelFor(family) +
                      " --dst 1 " + address);
    }
}

// A line whose every answer comes later than the first DLE ENQ waits (4 characters + 50 ms) is
// heard by the second (+ 150 ms), and its pace stretches every wait after it: the controller is
// found all the same.
TEST(Scan, ASlowLineIsWaitedFor) {
    for (const uint64_t latencyMs : {20u, 120u, 140u}) {
        SCOPED_TRACE(latencyMs);
        FakeLine line(sim::Family::Slc500, 1, {9600, 2, false}, FakeLine::Bad::None, latencyMs);
        const ScanResult r = Scan(line, PlanScan(Parsed("scan -p /dev/ttyS0")), nullptr);
        ASSERT_EQ(r.found.size(), 1u);
        EXPECT_EQ(std::tie(r.found[0].setting.baud, r.found[0].setting.parity, r.found[0].setting.crc),
                  std::make_tuple(9600u, 2u, false));
    }
}

// Bad lines end the search with nothing found, within the bound of a whole search (time on the
// line's own clock): the link probes of every setting (about 5.1 s), and where a station search
// runs, its 30 s and one last station's exchange.
TEST(Scan, BadLinesEndTheSearchInTimeWithNothingFound) {
    using Bad = FakeLine::Bad;
    const struct { const char* name; Bad bad; const char* options; uint8_t station; uint64_t boundMs; const char* why; }
        rows[] = {
            {"silent", Bad::Silent, "", 1, 30000, "the line was silent (40 of 40 settings"},
            {"noise", Bad::Noise, "", 1, 30000, "the line answered only with noise"},
            {"DLE flood", Bad::DleFlood, "", 1, 30000, "the line answered only with noise"},
            {"reply cut in half", Bad::HalfReply, " --station 1", 1, 30000,
             "the line acknowledges frames, but station 1 did not answer"},
            {"station beyond the search", Bad::None, "", 250, 5100 + 30000 + 1000,
             "the line acknowledges frames, but stations 1, 0, 2 to "},
        };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        FakeLine line(sim::Family::Slc500, r.station, {19200, 0, true}, r.bad);
        const ScanPlan plan = PlanScan(Parsed(std::string("scan -p /dev/ttyS0") + r.options));
        const ScanResult result = Scan(line, plan, nullptr);
        EXPECT_TRUE(result.found.empty());
        EXPECT_LE(result.elapsedMs, r.boundMs);
        EXPECT_NE(NothingFound(plan, result).find(r.why), std::string::npos) << NothingFound(plan, result);
    }
}

// Options narrow the search; a device server or the built-in simulator has no speed of ours.
TEST(Scan, PlansFollowTheOptionsGiven) {
    const struct { const char* line; bool speed; uint32_t settings; std::vector<uint32_t> firstStations; } rows[] = {
        {"scan", false, 2, {1, 0, 2}},
        {"scan -p /dev/ttyUSB0", true, 40, {1, 0, 2}},
        {"scan -p /dev/ttyUSB0 -b 9600 -P even --bcc --station 7", true, 1, {7}},
        {"scan -p /dev/ttyUSB0 -P odd --dst 3 --crc", true, 10, {3}},
        {"scan -p socket://10.0.0.5:4001 --bcc", false, 1, {1, 0, 2}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        const ScanPlan plan = PlanScan(Parsed(r.line));
        EXPECT_EQ(std::make_tuple(plan.lineHasSpeed, plan.Settings()), std::make_tuple(r.speed, r.settings));
        ASSERT_GE(plan.stations.size(), r.firstStations.size());
        EXPECT_TRUE(std::equal(r.firstStations.begin(), r.firstStations.end(), plan.stations.begin()));
        EXPECT_EQ(plan.stations.size(), r.firstStations.size() == 1 ? 1u : 255u);
    }
}

}  // namespace
}  // namespace mira::cli
