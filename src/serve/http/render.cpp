#include "serve/http/render.h"

#include <cmath>
#include <cstdio>

#include "host/line.h"

namespace mira::serve::http {
namespace {

// A label value of the text format: backslash, double quote and line feed
// escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(double v, const char* format = "%.9g") {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

class Families {
public:
    void Family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& name, const std::string& labels, const std::string& value) {
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    void Sample(const std::string& name, const std::string& labels, uint64_t value) {
        Sample(name, labels, std::to_string(value));
    }
    std::string text() const { return text_; }

private:
    std::string text_;
};

// The link's counters as /metrics names them, each with the one of
// host::CounterFields it shows (the line resets taken out, as mira poll
// shows them).
struct LinkMetric {
    const char* name;
    const char* field;
    const char* help;
};
constexpr LinkMetric kLinkMetrics[] = {
    {"mira_link_frames_sent_total", "framesSent", "Frames sent on the line."},
    {"mira_link_frames_received_total", "framesReceived", "Frames received from the line."},
    {"mira_link_bytes_sent_total", "bytesSent", "Bytes sent on the line."},
    {"mira_link_bytes_received_total", "bytesReceived", "Bytes received from the line."},
    {"mira_link_naks_received_total", "naksReceived", "DLE NAKs the controller answered frames with."},
    {"mira_link_enqs_sent_total", "enqsSent", "DLE ENQs sent when a DLE ACK did not come."},
    {"mira_link_retransmissions_total", "retransmissions", "Frames sent again."},
    {"mira_link_bad_checks_total", "badChecks", "Frames received with a bad BCC or CRC."},
    {"mira_link_reply_timeouts_total", "replyTimeouts", "Requests that got no reply within the reply time-out."},
    {"mira_link_lines_lost_total", "linesLost", "Times the device vanished or the connection dropped."},
    {"mira_link_reconnects_total", "reconnects", "Times Portkit opened a lost line again."},
};

uint64_t Field(const std::vector<host::NamedCounter>& fields, const char* name) {
    for (const host::NamedCounter& f : fields)
        if (std::string(f.name) == name) return f.value;
    return 0;
}

}  // namespace

nlohmann::json TagsJson(const std::vector<TagSnapshot>& tags) {
    nlohmann::json out = nlohmann::json::array();
    for (const TagSnapshot& t : tags) out.push_back(TagJson(t.info, t.value));
    return out;
}

nlohmann::json AddressResultJson(const AddressResult& r) {
    nlohmann::json j = {{"address", r.item},
                        {"value", ValueJson(r.value)},
                        {"quality", r.errorCode != 0 ? nlohmann::json() : nlohmann::json(r.quality)},
                        {"time", r.time == 0 ? nlohmann::json() : nlohmann::json(FileTimeText(r.time))},
                        {"error", nullptr}};
    if (r.errorCode != 0) j["error"] = {{"code", r.errorCode}, {"message", r.errorMessage}, {"cause", r.cause}};
    return j;
}

nlohmann::json EventsJson(const std::vector<Event>& events) {
    nlohmann::json out = nlohmann::json::array();
    for (const Event& e : events)
        out.push_back({{"id", e.id}, {"time", FileTimeText(e.time)}, {"key", e.key}, {"words", e.words}});
    return out;
}

nlohmann::json StatusJson(const LineConfig& line, const TagStore& store) {
    const LineStatus status = store.Line();
    static const char* const kParity[] = {"none", "odd", "even"};
    nlohmann::json link = nlohmann::json::object();
    for (const host::NamedCounter& f : host::CounterFields(status.counters)) link[f.name] = f.value;
    nlohmann::json scans = nlohmann::json::array();
    const std::vector<std::string> names = store.ScanNames();
    const std::vector<ScanStats> stats = store.Scans();
    for (size_t s = 0; s < stats.size() && s < names.size(); ++s)
        scans.push_back({{"name", names[s]},
                         {"scans", stats[s].scans},
                         {"overruns", stats[s].overruns},
                         {"last_seconds", stats[s].lastSeconds},
                         {"mean_seconds", stats[s].meanSeconds},
                         {"longest_seconds", stats[s].longestSeconds}});
    const StoreCounters counters = store.Counters();
    nlohmann::json readErrors = nlohmann::json::object();
    for (const auto& [code, n] : counters.readErrors) readErrors[std::to_string(code)] = n;
    return {{"line",
             {{"state", LineStateName(status.state)},
              {"port", line.port},
              {"baud", line.baud},
              {"parity", kParity[line.parity % 3]},
              {"data_bits", line.dataBits},
              {"stop_bits", line.stopBits},
              {"check", line.crc ? "crc" : "bcc"},
              {"model", host::DefaultModel(line)},
              {"mode", line.mode},
              {"station", line.station},
              {"dst", line.dst},
              {"timeout_ms", line.timeoutMs},
              {"ack_timeout_ms", line.ackTimeoutMs},
              {"nak_retries", line.nakRetries},
              {"enq_retries", line.enqRetries}}},
            {"link", link},
            {"scans", scans},
            {"tags", store.Tags()->size()},
            {"read_errors", readErrors},
            {"writes", counters.writes},
            {"unsolicited", counters.unsolicited}};
}

std::string MetricsText(const TagStore& store) {
    const LineStatus status = store.Line();
    const std::vector<host::NamedCounter> fields = host::CounterFields(status.counters);
    Families m;
    m.Family("mira_line_up", "gauge", "1 while the line is open and not lost, else 0.");
    m.Sample("mira_line_up", "", status.state == LineState::Up ? 1 : 0);
    for (const LinkMetric& l : kLinkMetrics) {
        m.Family(l.name, "counter", l.help);
        m.Sample(l.name, "", Field(fields, l.field));
    }
    const std::vector<std::string> names = store.ScanNames();
    const std::vector<ScanStats> stats = store.Scans();
    const auto label = [&](size_t s) { return "scan=\"" + LabelValue(s < names.size() ? names[s] : "") + "\""; };
    m.Family("mira_scans_total", "counter", "Scans run, by scan class.");
    for (size_t s = 0; s < stats.size(); ++s) m.Sample("mira_scans_total", label(s), stats[s].scans);
    m.Family("mira_scan_overruns_total", "counter", "Scans that ran a whole period or more late, by scan class.");
    for (size_t s = 0; s < stats.size(); ++s) m.Sample("mira_scan_overruns_total", label(s), stats[s].overruns);
    m.Family("mira_scan_duration_seconds", "histogram", "How long a scan took, by scan class.");
    for (size_t s = 0; s < stats.size(); ++s) {
        uint64_t cumulative = 0;
        for (size_t b = 0; b < kScanBucketCount; ++b) {
            cumulative += stats[s].buckets[b];
            const std::string le = b + 1 < kScanBucketCount ? Number(kScanBuckets[b], "%g") : "+Inf";
            m.Sample("mira_scan_duration_seconds_bucket", label(s) + ",le=\"" + le + "\"", cumulative);
        }
        m.Sample("mira_scan_duration_seconds_sum", label(s), Number(stats[s].sumSeconds));
        m.Sample("mira_scan_duration_seconds_count", label(s), stats[s].scans);
    }
    const StoreCounters counters = store.Counters();
    m.Family("mira_tag_read_errors_total", "counter", "Tag reads that failed, by the driver's or Portkit's code.");
    for (const auto& [code, n] : counters.readErrors)
        m.Sample("mira_tag_read_errors_total", "code=\"" + std::to_string(code) + "\"", n);
    m.Family("mira_writes_total", "counter", "Writes asked for, by how they ended.");
    for (const auto& [result, n] : counters.writes)
        m.Sample("mira_writes_total", "result=\"" + LabelValue(result) + "\"", n);
    m.Family("mira_unsolicited_messages_total", "counter", "The controller's own writes, answered and kept as events.");
    m.Sample("mira_unsolicited_messages_total", "", counters.unsolicited);
    return m.text();
}

nlohmann::json ErrorJson(int32_t code, const std::string& message) {
    return {{"error", {{"code", code}, {"message", message}}}};
}

}  // namespace mira::serve::http
