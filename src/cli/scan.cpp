#include "cli/scan.h"

#include <algorithm>
#include <cstdio>

#include "host/text.h"
#include "mira/df1_frame.h"
#include "mira/errors.h"

namespace mira::cli {

using host::JsonString;
namespace {

// ---- What a diagnostic status reply says ----

// A byte of series and revision: the series in bits 5 to 7, the revision in
// bits 0 to 4, both counted from 0 (series A, revision A or release 1).
std::string SeriesOf(uint8_t b) { return std::string(1, static_cast<char>('A' + (b >> 5))); }
std::string RevisionLetter(uint8_t b) { return std::string(1, static_cast<char>('A' + (b & 0x1F))); }

struct Named {
    uint8_t code;
    const char* name;
};

// The SLC 500 class's extended processor types (status byte 4).
constexpr Named kSlcProcessors[] = {
    {0x1A, "SLC 500 fixed controller"}, {0x18, "SLC 5/01"}, {0x25, "SLC 5/02"},
    {0x49, "SLC 5/03"},                 {0x5B, "SLC 5/04"}, {0x58, "MicroLogix 1000"},
};
// The PLC-5 family's processor expansion byte (status byte 3).
constexpr Named kPlc5Processors[] = {
    {0x15, "PLC-5/40"},  {0x22, "PLC-5/10"},  {0x23, "PLC-5/60"},  {0x28, "PLC-5/40L"}, {0x29, "PLC-5/60L"},
    {0x31, "PLC-5/11"},  {0x32, "PLC-5/20"},  {0x33, "PLC-5/30"},  {0x4A, "PLC-5/20E"}, {0x4B, "PLC-5/40E"},
    {0x59, "PLC-5/80E"},
};
// The PLC-2 family's processor, in the high half of status byte 2 behind a
// serial interface module, whose type sits in the low half.
constexpr Named kPlc2Processors[] = {
    {0x1, "PLC-2"}, {0x2, "PLC-2/20"}, {0x3, "Mini-PLC-2"}, {0x5, "PLC-2/20"}, {0x6, "PLC-2/02, 2/15, 2/16 or 2/17"},
    {0x7, "PLC-2/30"},
};

template <size_t N>
const char* NameOf(const Named (&table)[N], uint8_t code) {
    for (const Named& n : table)
        if (n.code == code) return n.name;
    return nullptr;
}

std::string Hex(uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

// The bulletin name of an SLC 500 class reply (bytes 6 to 16), without the
// blanks or zeros that pad it; empty when it holds anything unprintable.
std::string Bulletin(const uint8_t* data, size_t size) {
    std::string name;
    for (size_t i = 5; i < 16 && i < size && data[i] != 0; ++i) {
        if (data[i] < 0x20 || data[i] > 0x7E) return "";
        name.push_back(static_cast<char>(data[i]));
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

}  // namespace

bool DecodeDiagnosticStatus(const uint8_t* data, size_t size, Identity* out) {
    *out = Identity{};
    if (data == nullptr || size < 2) return false;
    const uint8_t type = data[1];
    if (type == 0xEE) {
        // Extended: interface type, processor type, series/revision, name.
        if (size < 5) return false;
        out->family = Family::Slc500;
        const char* known = NameOf(kSlcProcessors, data[3]);
        const std::string bulletin = Bulletin(data, size);
        out->processor = known != nullptr ? known : !bulletin.empty() ? bulletin : "processor type " + Hex(data[3]);
        out->series = SeriesOf(data[4]);
        out->revision = std::to_string((data[4] & 0x1F) + 1);
        return true;
    }
    if (type == 0xEB) {
        // A PLC-5 processor (B) with its expansion byte (E); series and
        // revision in byte 8.
        if (size < 8) return false;
        out->family = Family::Plc5;
        const char* known = NameOf(kPlc5Processors, data[2]);
        out->processor = known != nullptr ? known : "processor type " + Hex(data[2]);
        out->series = SeriesOf(data[7]);
        out->revision = RevisionLetter(data[7]);
        return true;
    }
    // A PLC-2 family processor behind a serial interface; the series and
    // revision in byte 9 are the interface's.
    const char* plc2 = NameOf(kPlc2Processors, static_cast<uint8_t>(type >> 4));
    const uint8_t module = type & 0x0F;
    if (plc2 == nullptr || (module > 5 && module != 0x0D)) return false;
    out->family = Family::Plc2;
    out->processor = plc2;
    if (size >= 9) {
        out->series = SeriesOf(data[8]);
        out->revision = RevisionLetter(data[8]);
        out->ofInterface = true;
    }
    return true;
}

const char* FamilyText(Family family) {
    switch (family) {
        case Family::Slc500: return "SLC 500 class";
        case Family::Plc5: return "PLC-5 family";
        case Family::Plc2: return "PLC-2 family";
        default: return "a controller of unknown family";
    }
}

const char* ModelFor(Family family) {
    switch (family) {
        case Family::Plc5: return "PLC5";
        case Family::Plc2: return "PLC2";
        default: return "SLC500";
    }
}

uint32_t ScanPlan::Settings() const {
    const size_t lines = lineHasSpeed ? bauds.size() * parities.size() : 1;
    return static_cast<uint32_t>(lines * checks.size());
}

ScanPlan PlanScan(const Options& o) {
    const auto given = [&](const char* name) {
        return std::find(o.given.begin(), o.given.end(), name) != o.given.end();
    };
    ScanPlan plan;
    // A device server's line and the built-in simulator have no speed mira sets.
    plan.lineHasSpeed = !(o.port == "sim" || o.port.rfind("sim:", 0) == 0 || o.port.rfind("socket://", 0) == 0);
    // The field's order: the most common settings first.
    plan.bauds = given("baud") ? std::vector<uint32_t>{o.baud}
                               : std::vector<uint32_t>{19200, 9600, 38400, 2400, 1200, 4800, 57600, 115200, 300, 600};
    plan.parities = given("parity") ? std::vector<uint32_t>{o.parity} : std::vector<uint32_t>{0, 2};
    plan.checks = given("crc") || given("bcc") ? std::vector<bool>{o.crc} : std::vector<bool>{true, false};
    plan.stationGiven = given("station") || given("dst");
    if (plan.stationGiven) {
        plan.stations = {given("station") ? o.station : o.dst};
    } else {
        // Station 1 is where controllers leave the factory; 0 next.
        plan.stations = {1, 0};
        for (uint32_t s = 2; s <= 254; ++s) plan.stations.push_back(s);
    }
    plan.dataBits = o.dataBits;
    plan.stopBits = o.stopBits;
    return plan;
}

namespace {

// ---- The search ----

constexpr uint8_t kOwnStation = 0;
// A far end's time to answer a link sequence or a frame once it has heard
// it, USB adapters' latency both ways (up to 16 ms each) included. Where the
// line's answers, garbled ones too, come slower (a busy host, a radio
// modem), the search waits three times the slowest, up to the maximum.
constexpr uint64_t kTurnaroundMs = 50;
constexpr uint64_t kMaxTurnaroundMs = 300;
// A controller's time to carry out a command it has acknowledged and begin
// its reply.
constexpr uint64_t kCommandMs = 300;
// DLE ENQs per setting: a controller left inside a broken frame by the
// bytes of an earlier setting takes the first for the end of that frame.
constexpr int kLinkTries = 2;
// How long a search over stations may run when no station was given.
constexpr uint64_t kStationSearchMs = 30000;
// The longest reply frame the search waits for: a message of 6 + 64 bytes,
// every byte doubled, and the framing.
constexpr size_t kLongestReplyChars = 2 * (6 + 64) + 6;
// A line without a speed of ours is timed as a slow device server's.
constexpr uint32_t kNominalBaud = 2400;

struct Timing {
    uint32_t baud;
    uint32_t bits;  // per character: start, data, parity, stop
    uint64_t Chars(size_t n) const { return (n * bits * 1000u + baud - 1) / baud; }
};

// Takes the line's bytes one at a time: DLE ACK, DLE NAK and frames whose
// check is good are answers; whatever else comes is noise.
class Reader {
public:
    enum class Event { None, Ack, Nak, Frame, Noise };

    explicit Reader(bool crc) : crc_(crc) {}

    Event Feed(uint8_t b) {
        switch (state_) {
            case State::Idle:
                if (b == kDLE) state_ = State::Dle;
                return b == kDLE ? Event::None : Event::Noise;
            case State::Dle:
                state_ = State::Idle;
                if (b == kACK) return Event::Ack;
                if (b == kNAK) return Event::Nak;
                if (b != kSTX) return Event::Noise;
                message_.clear();
                state_ = State::Data;
                return Event::None;
            case State::Data:
                if (b == kDLE) {
                    state_ = State::DataDle;
                    return Event::None;
                }
                return Take(b);
            case State::DataDle:
                if (b == kDLE) {
                    state_ = State::Data;
                    return Take(b);
                }
                if (b == kETX) {
                    check_.clear();
                    state_ = State::Check;
                    return Event::None;
                }
                state_ = State::Idle;
                return Event::Noise;
            case State::Check: {
                check_.push_back(b);
                if (check_.size() < (crc_ ? 2u : 1u)) return Event::None;
                state_ = State::Idle;
                // The check the frame codec gives these message bytes.
                uint8_t frame[FrameCapacity(kMaxMessage)];
                int32_t length = 0;
                EncodeFrame(message_.data(), static_cast<int32_t>(message_.size()), crc_, frame, &length);
                const bool good = std::equal(check_.begin(), check_.end(), frame + length - check_.size());
                return good ? Event::Frame : Event::Noise;
            }
        }
        return Event::None;
    }

    const std::vector<uint8_t>& message() const { return message_; }

private:
    static constexpr int32_t kMaxMessage = 511;
    enum class State { Idle, Dle, Data, DataDle, Check };

    Event Take(uint8_t b) {
        if (message_.size() >= static_cast<size_t>(kMaxMessage)) {
            state_ = State::Idle;
            return Event::Noise;
        }
        message_.push_back(b);
        return Event::None;
    }

    bool crc_;
    State state_ = State::Idle;
    std::vector<uint8_t> message_, check_;
};

// How long the far end took to answer anything, learnt as the search goes.
struct Pace {
    uint64_t slowestMs = 0;
    uint64_t Turnaround() const { return std::clamp<uint64_t>(3 * slowestMs, kTurnaroundMs, kMaxTurnaroundMs); }
};

// One open line: sends, and turns what comes back into the reader's events.
class Session {
public:
    Session(ScanWire& wire, bool crc, Pace* pace, ScanResult* result)
        : wire_(wire), crc_(crc), reader_(crc), pace_(pace), result_(result) {}

    // What was received before is no answer to what is sent now.
    bool Send(const std::vector<uint8_t>& bytes) {
        pending_.clear();
        at_ = 0;
        reader_ = Reader(crc_);
        sentMs_ = wire_.NowMs();
        heard_ = false;
        return wire_.Send(bytes.data(), bytes.size());
    }

    uint64_t Turnaround() const { return pace_->Turnaround(); }

    // The next event, or None once `until` has passed.
    Reader::Event Next(uint64_t until) {
        for (;;) {
            while (at_ < pending_.size()) {
                const Reader::Event e = reader_.Feed(pending_[at_++]);
                if (e != Reader::Event::None) return e;
            }
            const uint64_t now = wire_.NowMs();
            if (now >= until) return Reader::Event::None;
            uint8_t chunk[256];
            const size_t n = wire_.Receive(chunk, sizeof chunk, static_cast<uint32_t>(std::min<uint64_t>(until - now, 50)));
            if (n > 0) {
                lastByteMs_ = wire_.NowMs();
                if (!heard_) pace_->slowestMs = std::max(pace_->slowestMs, lastByteMs_ - sentMs_);
                heard_ = true;
            }
            result_->received += n;
            pending_.assign(chunk, chunk + n);
            at_ = 0;
        }
    }

    const std::vector<uint8_t>& message() const { return reader_.message(); }
    uint64_t lastByteMs() const { return lastByteMs_; }
    uint64_t Now() { return wire_.NowMs(); }

private:
    ScanWire& wire_;
    bool crc_;
    Reader reader_;
    Pace* pace_;
    ScanResult* result_;
    std::vector<uint8_t> pending_;
    size_t at_ = 0;
    uint64_t lastByteMs_ = 0, sentMs_ = 0;
    bool heard_ = false;
};

// Whether a DLE ENQ draws a link answer; noise ends the setting at once.
// The second DLE ENQ waits three times as long as the first, so that a
// line slower than the search has seen yet is heard, and paces the rest.
enum class Link { Answered, Silent, Noise };

Link ProbeLink(Session& s, const Timing& t) {
    for (int attempt = 0; attempt < kLinkTries; ++attempt) {
        if (!s.Send({kDLE, kENQ})) return Link::Silent;
        const uint64_t until = s.Now() + t.Chars(4) + s.Turnaround() * (attempt == 0 ? 1u : 3u);
        for (;;) {
            const Reader::Event e = s.Next(until);
            if (e == Reader::Event::Ack || e == Reader::Event::Nak) return Link::Answered;
            if (e == Reader::Event::Noise) return Link::Noise;
            if (e == Reader::Event::None) break;
        }
    }
    return Link::Silent;
}

enum class Outcome { Reply, AckOnly, Nak, Silent, Noise };

// Sends one command and waits for its DLE ACK, then for its reply (any
// status), which it acknowledges as a DF1 master must.
class Exchanger {
public:
    Exchanger(Session& s, const Timing& t, bool crc, uint16_t* tns) : s_(s), t_(t), crc_(crc), tns_(tns) {}

    Outcome Run(uint8_t station, uint8_t cmd, const std::vector<uint8_t>& body, std::vector<uint8_t>* reply) {
        const uint16_t tns = (*tns_)++;
        std::vector<uint8_t> message = {station, kOwnStation, cmd, 0, static_cast<uint8_t>(tns & 0xFF),
                                        static_cast<uint8_t>(tns >> 8)};
        message.insert(message.end(), body.begin(), body.end());
        std::vector<uint8_t> frame(static_cast<size_t>(FrameCapacity(static_cast<int32_t>(message.size()))));
        int32_t length = 0;
        EncodeFrame(message.data(), static_cast<int32_t>(message.size()), crc_, frame.data(), &length);
        frame.resize(static_cast<size_t>(length));
        if (!s_.Send(frame)) return Outcome::Silent;

        const uint64_t acked = s_.Now() + t_.Chars(frame.size() + 2) + s_.Turnaround();
        for (bool waiting = true; waiting;) {
            switch (s_.Next(acked)) {
                case Reader::Event::Ack: waiting = false; break;
                case Reader::Event::Nak: return Outcome::Nak;
                case Reader::Event::Noise: return Outcome::Noise;
                case Reader::Event::None: return Outcome::Silent;
                case Reader::Event::Frame: break;  // an earlier exchange's late reply
            }
        }
        // The reply begins within the command's time; once it flows, each
        // byte may take a character time more, up to the longest reply.
        const uint64_t start = s_.Now();
        const uint64_t cap = start + kCommandMs + s_.Turnaround() + t_.Chars(kLongestReplyChars);
        uint64_t until = start + kCommandMs + s_.Turnaround() + t_.Chars(16);
        for (;;) {
            const Reader::Event e = s_.Next(until);
            if (e == Reader::Event::Frame) {
                const std::vector<uint8_t> m = s_.message();
                (void)s_.Send({kDLE, kACK});
                if (m.size() >= 6 && m[1] == station && m[2] == (cmd | 0x40) && m[4] == (tns & 0xFF) &&
                    m[5] == (tns >> 8)) {
                    *reply = m;
                    return Outcome::Reply;
                }
                continue;
            }
            if (e != Reader::Event::None) continue;
            const uint64_t flowing = s_.lastByteMs() + t_.Chars(8) + s_.Turnaround();
            if (flowing <= until || until >= cap) return Outcome::AckOnly;
            until = std::min(flowing, cap);
        }
    }

private:
    Session& s_;
    Timing t_;
    bool crc_;
    uint16_t* tns_;
};

// The echo (diagnostic loop) that asks for a station: its data hold a DLE,
// so the doubling is tried too.
const std::vector<uint8_t> kEcho = {0x00, kDLE, kSTX, 0x55, 0xAA};
constexpr uint8_t kDiagnostic = 0x06;
constexpr uint8_t kIllegalCommand = 0x10;

// Asks the controller at station what it is: diagnostic status, then the
// typed read of each family in turn, the first one it does not refuse as an
// illegal command naming its family.
Identity Identify(Exchanger& x, uint8_t station) {
    Identity id;
    std::vector<uint8_t> reply;
    if (x.Run(station, kDiagnostic, {0x03}, &reply) == Outcome::Reply && reply[3] == 0 &&
        DecodeDiagnosticStatus(reply.data() + 6, reply.size() - 6, &id)) {
        id.source = "diagnostic status";
        return id;
    }
    const struct {
        Family family;
        uint8_t cmd;
        std::vector<uint8_t> body;
    } reads[] = {
        // A protected typed logical read of N7:0 with three address fields.
        {Family::Slc500, 0x0F, {0xA2, 0x02, 0x07, 0x89, 0x00, 0x00}},
        // A typed read of one element of N7:0, its address in binary form.
        {Family::Plc5, 0x0F, {0x68, 0x00, 0x00, 0x01, 0x00, 0x06, 0x07, 0x00, 0x01, 0x00}},
        // An unprotected read of the two bytes at byte address 0.
        {Family::Plc2, 0x01, {0x00, 0x00, 0x02}},
    };
    for (const auto& r : reads) {
        if (x.Run(station, r.cmd, r.body, &reply) == Outcome::Reply && reply[3] != kIllegalCommand) {
            id = Identity{};
            id.family = r.family;
            id.source = "typed read";
            return id;
        }
    }
    id = Identity{};
    return id;
}

// What one frame check found at an answering speed and parity.
enum class Stations { Found, CheckRefused, NoneAnswered };

Stations AskStations(Exchanger& x, Session& s, const ScanPlan& plan, const std::function<void(int32_t)>& asking,
                     ScanResult* r, uint32_t* found) {
    const uint64_t start = s.Now();
    for (size_t i = 0; i < plan.stations.size(); ++i) {
        if (!plan.stationGiven && i > 0 && s.Now() - start >= kStationSearchMs) break;
        const auto station = static_cast<uint8_t>(plan.stations[i]);
        asking(station);
        std::vector<uint8_t> reply;
        const Outcome o = x.Run(station, kDiagnostic, kEcho, &reply);
        if (o == Outcome::Reply) {
            *found = station;
            return Stations::Found;
        }
        // The first frame tells whether the check is right: acknowledged,
        // it is; refused or unheard, it is not.
        if (i == 0 && o != Outcome::AckOnly) return Stations::CheckRefused;
        r->stationsAsked = true;
        r->lastStation = station;
    }
    return Stations::NoneAnswered;
}

}  // namespace

ScanResult Scan(ScanWire& wire, const ScanPlan& plan, const ScanProgress& progress) {
    ScanResult r;
    const uint64_t start = wire.NowMs();
    const uint32_t total = plan.Settings();
    // Transaction numbers start from the clock, so that a controller that
    // drops repeated commands never takes one for the last run's.
    auto tns = static_cast<uint16_t>(start * 7);
    Pace pace;
    std::vector<LineSetting> lines;
    if (plan.lineHasSpeed) {
        for (uint32_t baud : plan.bauds)
            for (uint32_t parity : plan.parities) lines.push_back({baud, parity, plan.checks.front()});
    } else {
        lines.push_back({0, 0, plan.checks.front()});
    }
    for (const LineSetting& line : lines) {
        if (!r.found.empty()) break;
        const Timing t{line.baud != 0 ? line.baud : kNominalBaud,
                       1 + plan.dataBits + (line.parity != 0 || line.baud == 0 ? 1u : 0u) + plan.stopBits};
        if (progress) progress(r.tried + 1, total, line, -1, wire.NowMs() - start);
        std::string why;
        if (const int32_t code = wire.Open(line, &why); code != 0) {
            r.tried += static_cast<uint32_t>(plan.checks.size());
            // A speed the device does not have is skipped; a device that
            // is missing, busy or forbidden ends the search.
            if (code == MIRA_PK_ERR_SETTINGS) {
                r.openWhy = why;
                continue;
            }
            r.openError = code;
            r.openWhy = why;
            break;
        }
        ++r.opened;
        Session session(wire, plan.checks.front(), &pace, &r);
        const Link link = ProbeLink(session, t);
        if (link != Link::Answered) {
            r.tried += static_cast<uint32_t>(plan.checks.size());
            wire.Close();
            continue;
        }
        ++r.answered;
        for (size_t k = 0; k < plan.checks.size() && r.found.empty(); ++k) {
            LineSetting setting = line;
            setting.crc = plan.checks[k];
            const uint32_t n = ++r.tried;
            const auto asking = [&](int32_t station) {
                if (progress) progress(n, total, setting, station, wire.NowMs() - start);
            };
            Session checked(wire, setting.crc, &pace, &r);
            Exchanger x(checked, t, setting.crc, &tns);
            uint32_t station = 0;
            const Stations s = AskStations(x, checked, plan, asking, &r, &station);
            if (s == Stations::CheckRefused) continue;
            if (s == Stations::Found) {
                r.found.push_back({setting, station, Identify(x, static_cast<uint8_t>(station))});
                break;
            }
            // A right check whose stations stay silent leaves the other
            // check nothing to find.
            r.tried += static_cast<uint32_t>(plan.checks.size() - k - 1);
            break;
        }
        wire.Close();
    }
    r.elapsedMs = wire.NowMs() - start;
    return r;
}

namespace {

const char* ParityText(uint32_t parity) { return parity == 2 ? "even" : parity == 1 ? "odd" : "none"; }

}  // namespace

std::string ReachCommand(const std::string& port, const ScanPlan& plan, const Found& f) {
    std::string line = "mira read -p " + port;
    if (plan.lineHasSpeed) {
        line += " -b " + std::to_string(f.setting.baud) + " -P " + ParityText(f.setting.parity);
        if (plan.dataBits != 8) line += " -d " + std::to_string(plan.dataBits);
        if (plan.stopBits != 1) line += " -s " + std::to_string(plan.stopBits);
    }
    line += f.setting.crc ? " --crc" : " --bcc";
    line += std::string(" --model ") + ModelFor(f.identity.family) + " --dst " + std::to_string(f.station);
    // Under a U: header every item needs its type letter.
    line += f.identity.family == Family::Plc2 ? " U:0 W0" : " N7:0";
    return line;
}

namespace {

std::string IdentityText(const Identity& id) {
    if (id.family == Family::Unknown) return "a controller of unknown family (it refused every question of identity)";
    std::string text = FamilyText(id.family);
    if (!id.processor.empty()) text += ", " + id.processor;
    if (!id.series.empty())
        text += std::string(id.ofInterface ? ", interface" : ",") + " series " + id.series +
                (id.family == Family::Slc500 ? " firmware release " : " revision ") + id.revision;
    return text + ", by " + id.source;
}

std::string JsonText(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

std::string FoundLine(const std::string& port, const ScanPlan& plan, const Found& f) {
    std::string where = "station " + std::to_string(f.station);
    if (plan.lineHasSpeed)
        where += ", " + std::to_string(f.setting.baud) + " baud, parity " + ParityText(f.setting.parity);
    where += f.setting.crc ? ", CRC" : ", BCC";
    return IdentityText(f.identity) + "; " + where + ": " + ReachCommand(port, plan, f);
}

std::string FoundJson(const std::string& port, const ScanPlan& plan, const Found& f) {
    const Identity& id = f.identity;
    std::string json = "{\"port\":" + JsonString(port);
    json += ",\"baud\":" + (plan.lineHasSpeed ? std::to_string(f.setting.baud) : std::string("null"));
    json += ",\"parity\":" + (plan.lineHasSpeed ? JsonString(ParityText(f.setting.parity)) : std::string("null"));
    json += std::string(",\"check\":\"") + (f.setting.crc ? "CRC" : "BCC") + "\"";
    json += ",\"station\":" + std::to_string(f.station);
    json += ",\"family\":" + JsonString(FamilyText(id.family)) + ",\"model\":" + JsonString(ModelFor(id.family));
    json += ",\"processor\":" + JsonText(id.processor) + ",\"series\":" + JsonText(id.series);
    json += ",\"revision\":" + JsonText(id.revision);
    json += ",\"seriesOf\":" + (id.series.empty() ? std::string("null") : id.ofInterface ? "\"interface\"" : "\"processor\"");
    json += ",\"identifiedBy\":" + JsonText(id.source);
    return json + ",\"command\":" + JsonString(ReachCommand(port, plan, f)) + "}";
}

std::string NothingFound(const ScanPlan& plan, const ScanResult& r) {
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", static_cast<double>(r.elapsedMs) / 1000.0);
    const std::string tried = std::to_string(r.tried) + " of " + std::to_string(plan.Settings()) + " settings in " + took;
    if (r.opened == 0) return "the line could not be opened at any setting (" + r.openWhy + ")";
    if (r.answered == 0 && r.received == 0) return "the line was silent (" + tried + ")";
    if (r.answered == 0)
        return "the line answered only with noise: " + std::to_string(r.received) + " bytes that were no DF1 answer (" +
               tried + ")";
    if (!r.stationsAsked)
        return "the line answers DLE ENQ, but no frame check drew a DLE ACK (" + tried + ")";
    std::string stations = plan.stationGiven ? "station " + std::to_string(plan.stations[0])
                                             : "stations 1, 0, 2 to " + std::to_string(r.lastStation);
    if (!plan.stationGiven && r.lastStation < 2) stations = "stations 1 and 0";
    return "the line acknowledges frames, but " + stations + " did not answer (" + tried + ")" +
           (plan.stationGiven ? "" : "; give --station N to ask another");
}

const char* const kScanHelp = R"(
Tries the line's settings in the order the field uses them: baud rates
19200, 9600, 38400, 2400, 1200, 4800, 57600, 115200, 300, 600; parity none,
then even; frame check CRC, then BCC. -b, -P, --crc or --bcc and --station
(or --dst) narrow the search to what is given. Each speed and parity gets a
DLE ENQ first, so a silent or garbled setting costs tens of milliseconds;
where the line answers, an echo command finds the frame check and the
station (1, 0, 2, 3 ... 254, for at most 30 s), and the diagnostic status
command, or the typed read the controller accepts, its family and processor.
Nothing is written to the controller. On a device server (socket://) or the
built-in simulator only the frame check and the station are searched.

Prints one line per controller found, with the mira read command line that
reaches it (--json: one object); exit 0 when one was found, 3 when none.
While it searches, stderr shows the setting and the time when it is a
terminal.)";

}  // namespace mira::cli
