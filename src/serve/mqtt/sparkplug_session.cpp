// The Sparkplug B session. The line is the edge node; each controller
// station with tags is a device "station<N>". One sequence number runs
// 0 to 255 over NBIRTH, NDATA, DBIRTH, DDATA and DDEATH; the NBIRTH starts
// it at 0. The birth/death number bdSeq grows by one for every connection,
// and the NDEATH that the broker holds as the connection's will carries the
// same number as the NBIRTH published on it.
#include <algorithm>
#include <map>
#include <mutex>

#include "serve/mqtt/session.h"
#include "serve/mqtt/sparkplug.h"
#include "serve/mqtt/utc.h"

namespace mira::serve::mqtt {
namespace {

using spb::Metric;
using spb::Payload;

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";

// Aliases: the node's metrics 1 to 99, tag i 100 + i; unique across the
// node, as its devices share one host's view.
constexpr uint64_t kAliasBdSeq = 1, kAliasRebirth = 2, kAliasLineState = 3, kAliasCounters = 4;
constexpr uint64_t kTagAliasBase = 100;

// The line's counters as node metrics, in the order of their aliases.
constexpr struct {
    const char* name;
    uint64_t PkLinkCounters::*field;
} kCounterMetrics[] = {
    {"Line/Frames Sent", &PkLinkCounters::framesSent},
    {"Line/Frames Received", &PkLinkCounters::framesReceived},
    {"Line/Bytes Sent", &PkLinkCounters::bytesSent},
    {"Line/Bytes Received", &PkLinkCounters::bytesReceived},
    {"Line/NAKs Received", &PkLinkCounters::naksReceived},
    {"Line/ENQs Sent", &PkLinkCounters::enqsSent},
    {"Line/Retransmissions", &PkLinkCounters::retransmissions},
    {"Line/Bad Checks", &PkLinkCounters::badChecks},
    {"Line/Reply Timeouts", &PkLinkCounters::replyTimeouts},
    {"Line/Lines Lost", &PkLinkCounters::linesLost},
    {"Line/Reconnects", &PkLinkCounters::reconnects},
};

std::string DeviceName(uint32_t station) { return "station" + std::to_string(station); }

class SparkplugSession final : public Session {
public:
    SparkplugSession(const Settings& s, TagStore& store) : s_(s), store_(store) {}

    Will NextWill() override {
        bdSeq_ = nextBdSeq_;
        nextBdSeq_ = (nextBdSeq_ + 1) & 0xFF;
        return {Topic("NDEATH"), DeathPayload(), 1, false};
    }

    std::vector<size_t> Begin(Publisher& out) override {
        out.Subscribe({Topic("NCMD"), Topic("DCMD") + "/+"});
        Births(out);
        return {};
    }

    std::vector<size_t> TagsReplaced(Publisher& out) override {
        for (auto& [station, device] : devices_)
            if (device.born) Death(out, station);
        Births(out);
        return {};
    }

    void LineChanged(Publisher& out) override {
        if (!nodeBorn_) return;
        Payload p = Stamped();
        LineMetrics(&p, false);
        p.seq = NextSeq();
        out.Publish(Topic("NDATA"), spb::Encode(p), 0, false);
        for (auto& [station, device] : devices_) Settle(out, station);
    }

    void Rebirth(Publisher& out) override { Births(out); }

    void Events(Publisher&, const std::vector<Event>&) override {}

    std::vector<size_t> TagsChanged(Publisher& out, const std::vector<size_t>& tags) override {
        if (!nodeBorn_) return {};
        // Stations first come alive or die; a birth carries its tags.
        std::map<uint32_t, std::vector<size_t>> byStation;
        for (size_t i : tags)
            if (i < tags_->size()) byStation[(*tags_)[i].station].push_back(i);
        std::vector<uint32_t> born;
        for (const auto& [station, list] : byStation)
            if (Settle(out, station)) born.push_back(station);
        std::vector<size_t> left;
        for (const auto& [station, list] : byStation) {
            if (!devices_[station].born || std::find(born.begin(), born.end(), station) != born.end()) continue;
            if (!out.Room()) {
                left.insert(left.end(), list.begin(), list.end());
                continue;
            }
            std::shared_ptr<const std::vector<TagInfo>> now;
            const std::vector<TagValue> values = store_.Values(list, &now);
            if (now != tags_) return {};  // replaced: the births come next
            Payload p = Stamped();
            for (size_t n = 0; n < list.size(); ++n) {
                const size_t i = list[n];
                if (!WorthPublishing(values[n], sent_[i], deadband_[i])) continue;
                Metric m = TagMetric(i, values[n], false);
                if (values[n].quality == kQualityGood && sent_[i].quality != kQualityGood)
                    m.quality = spb::kQualityGoodCode;  // good again
                p.metrics.push_back(std::move(m));
                sent_[i] = SentOf(values[n]);
            }
            if (p.metrics.empty()) continue;
            p.seq = NextSeq();
            out.Publish(Topic("DDATA", station), spb::Encode(p), 0, false);
        }
        return left;
    }

    void End(Publisher& out) override {
        if (nodeBorn_) out.Publish(Topic("NDEATH"), DeathPayload(), 1, false);
        nodeBorn_ = false;
    }

    void Incoming(const std::string& topic, std::string_view payload,
                  const std::shared_ptr<Inbound>& inbound) override {
        Counters& counters = inbound->counters();
        const std::string ncmd = Topic("NCMD"), dcmd = Topic("DCMD") + "/";
        const bool node = topic == ncmd;
        if (!node && topic.compare(0, dcmd.size(), dcmd) != 0) {
            ++counters.unknownTopics;
            return;
        }
        if (payload.size() > kMaxIncoming) {
            ++counters.oversized;
            return;
        }
        Payload p;
        if (!spb::Decode(payload, &p)) {
            ++counters.malformed;
            return;
        }
        std::shared_ptr<const std::map<uint64_t, std::string>> names;
        {
            std::lock_guard<std::mutex> lock(aliasMutex_);
            names = aliases_;
        }
        for (const Metric& m : p.metrics) {
            std::string name = m.name.value_or("");
            if (name.empty() && m.alias && names) {
                const auto it = names->find(*m.alias);
                if (it != names->end()) name = it->second;
            }
            if (node) {
                const bool rebirth = (name == kRebirth || m.alias == kAliasRebirth) &&
                                     std::holds_alternative<bool>(m.value) && std::get<bool>(m.value);
                if (rebirth)
                    inbound->Rebirth();
                else
                    ++counters.refusedCommands;
                continue;
            }
            const auto tag = store_.Find(name);
            const auto value = tag ? spb::WriteValue(tag->info.kind, m) : std::nullopt;
            if (!tag || dcmd + DeviceName(tag->info.station) != topic || !value) {
                ++counters.refusedCommands;
                continue;
            }
            store_.Write(name, *value, [inbound](const WriteResult& r) {
                if (r.outcome != WriteOutcome::Written) ++inbound->counters().refusedCommands;
            });
        }
    }

private:
    struct Device {
        std::vector<size_t> tags;
        bool born = false;
    };

    std::string Topic(const char* type) const { return std::string(kNamespace) + "/" + s_.group + "/" + type + "/" + s_.edgeNode; }
    std::string Topic(const char* type, uint32_t station) const { return Topic(type) + "/" + DeviceName(station); }

    uint64_t NextSeq() {
        const uint64_t seq = seq_;
        seq_ = (seq_ + 1) & 0xFF;
        return seq;
    }

    Payload Stamped() const {
        Payload p;
        p.timestamp = static_cast<uint64_t>(UnixMillisNow());
        return p;
    }

    std::string DeathPayload() const {
        Payload p = Stamped();
        Metric m;
        m.name = "bdSeq";
        m.timestamp = p.timestamp;
        m.datatype = spb::kUInt64;
        m.value = static_cast<uint64_t>(bdSeq_);
        p.metrics.push_back(std::move(m));
        return spb::Encode(p);
    }

    // The line's state and counters; named in a birth, by alias in data.
    void LineMetrics(Payload* p, bool birth) const {
        const LineStatus line = store_.Line();
        auto add = [&](const char* name, uint64_t alias, uint32_t datatype, spb::MetricValue value) {
            Metric m;
            if (birth) {
                m.name = name;
                m.datatype = datatype;
            }
            m.alias = alias;
            m.timestamp = p->timestamp;
            m.value = std::move(value);
            p->metrics.push_back(std::move(m));
        };
        add("Line/State", kAliasLineState, spb::kString, std::string(LineStateName(line.state)));
        uint64_t alias = kAliasCounters;
        for (const auto& c : kCounterMetrics) add(c.name, alias++, spb::kUInt64, line.counters.*c.field);
    }

    Metric TagMetric(size_t i, const TagValue& value, bool birth) const {
        const TagInfo& info = (*tags_)[i];
        Metric m;
        if (birth) {
            m.name = info.name;
            m.datatype = spb::DataTypeOf(info.kind);
        }
        m.alias = kTagAliasBase + i;
        m.timestamp = static_cast<uint64_t>(value.time != 0 ? UnixMillisOfLocal(value.time) : UnixMillisNow());
        spb::SetValue(info.kind, value.value, &m);
        if (value.quality != kQualityGood) m.quality = spb::kQualityBad;
        return m;
    }

    // NBIRTH, then a DBIRTH for every station that answers.
    void Births(Publisher& out) {
        tags_ = store_.Tags();
        sent_.assign(tags_->size(), Sent{});
        deadband_.clear();
        for (const TagInfo& t : *tags_) deadband_.push_back(DeadbandOf(t));
        devices_.clear();
        auto names = std::make_shared<std::map<uint64_t, std::string>>();
        (*names)[kAliasRebirth] = kRebirth;
        for (size_t i = 0; i < tags_->size(); ++i) {
            devices_[(*tags_)[i].station].tags.push_back(i);
            (*names)[kTagAliasBase + i] = (*tags_)[i].name;
        }
        {
            std::lock_guard<std::mutex> lock(aliasMutex_);
            aliases_ = std::move(names);
        }
        seq_ = 0;
        Payload p = Stamped();
        p.seq = NextSeq();
        Metric bdSeq;
        bdSeq.name = "bdSeq";
        bdSeq.alias = kAliasBdSeq;
        bdSeq.timestamp = p.timestamp;
        bdSeq.datatype = spb::kUInt64;
        bdSeq.value = static_cast<uint64_t>(bdSeq_);
        Metric rebirth;
        rebirth.name = kRebirth;
        rebirth.alias = kAliasRebirth;
        rebirth.timestamp = p.timestamp;
        rebirth.datatype = spb::kBoolean;
        rebirth.value = false;
        p.metrics = {std::move(bdSeq), std::move(rebirth)};
        LineMetrics(&p, true);
        out.Publish(Topic("NBIRTH"), spb::Encode(p), 0, false);
        nodeBorn_ = true;
        for (auto& [station, device] : devices_) Settle(out, station);
    }

    // Births or buries the station as it now answers or not; true when born
    // now. A station answers while the line is up, every one of its tags has
    // been read once (so that its birth carries values, not nulls), and not
    // every one of them failed on the line.
    bool Settle(Publisher& out, uint32_t station) {
        Device& device = devices_[station];
        std::shared_ptr<const std::vector<TagInfo>> now;
        const std::vector<TagValue> values = store_.Values(device.tags, &now);
        if (now != tags_) return false;  // replaced: the births come next
        const bool read = std::all_of(values.begin(), values.end(), [](const TagValue& v) { return v.version != 0; });
        const bool answers = read && store_.Line().state == LineState::Up &&
                             std::any_of(values.begin(), values.end(), [](const TagValue& v) {
                                 return v.quality == kQualityGood || !IsLinkError(v.errorCode);
                             });
        if (answers == device.born) return false;
        if (!answers) {
            Death(out, station);
            return false;
        }
        Payload p = Stamped();
        for (size_t n = 0; n < device.tags.size(); ++n) {
            p.metrics.push_back(TagMetric(device.tags[n], values[n], true));
            sent_[device.tags[n]] = SentOf(values[n]);
        }
        p.seq = NextSeq();
        out.Publish(Topic("DBIRTH", station), spb::Encode(p), 0, false);
        device.born = true;
        return true;
    }

    void Death(Publisher& out, uint32_t station) {
        Payload p = Stamped();
        p.seq = NextSeq();
        out.Publish(Topic("DDEATH", station), spb::Encode(p), 0, false);
        devices_[station].born = false;
    }

    const Settings s_;
    TagStore& store_;
    uint8_t bdSeq_ = 0, nextBdSeq_ = 0;
    uint64_t seq_ = 0;
    bool nodeBorn_ = false;
    std::shared_ptr<const std::vector<TagInfo>> tags_;
    std::vector<Sent> sent_;
    std::vector<double> deadband_;
    std::map<uint32_t, Device> devices_;
    // What the aliases of the last births name, for commands.
    std::mutex aliasMutex_;
    std::shared_ptr<const std::map<uint64_t, std::string>> aliases_;
};

}  // namespace

std::unique_ptr<Session> MakeSparkplugSession(const Settings& settings, TagStore& store) {
    return std::make_unique<SparkplugSession>(settings, store);
}

}  // namespace mira::serve::mqtt
