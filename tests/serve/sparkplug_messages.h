// Sparkplug B messages as the MQTT tests read them: decoded, looked up by
// topic and metric name, commands made, and the order of seq checked.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "broker.h"
#include "serve/mqtt/sparkplug.h"

namespace mira::test::spb_messages {

namespace spb = serve::mqtt::spb;

inline const std::string kNode = "spBv1.0/plant/";

inline spb::Payload Decoded(const Message& m) {
    spb::Payload p;
    EXPECT_TRUE(spb::Decode(m.payload, &p)) << m.topic;
    return p;
}

// The nth message on spBv1.0/plant/WHAT (NBIRTH/line1, DDATA/line1/station1 ...).
inline spb::Payload Got(Client& c, const std::string& what, size_t n = 0) {
    const Messages m = c.On(kNode + what);
    return n < m.size() ? Decoded(m[n]) : spb::Payload{};
}

// A metric's value by name; nothing when it is not there.
inline spb::MetricValue ValueOf(const spb::Payload& p, const std::string& name) {
    for (const auto& m : p.metrics)
        if (m.name == name) return m.value;
    return {};
}

inline spb::Metric Wants(std::optional<std::string> name, std::optional<uint64_t> alias, spb::MetricValue v) {
    spb::Metric m;
    m.name = std::move(name);
    m.alias = alias;
    m.value = std::move(v);
    return m;
}

inline std::string Command(std::vector<spb::Metric> metrics) { return spb::Encode({1, std::nullopt, std::move(metrics)}); }

// Every message of the node but NDEATH carries seq: 0 in an NBIRTH, else one
// more than the message before, modulo 256.
inline void ExpectSeqInOrder(const Messages& all) {
    std::optional<uint64_t> last;
    for (const Message& m : all) {
        const std::string type = m.topic.substr(kNode.size(), 6);
        if (type == "NDEATH" || type == "NCMD/l" || type == "DCMD/l") continue;
        const auto seq = Decoded(m).seq;
        ASSERT_TRUE(seq) << m.topic;
        if (type == "NBIRTH" || last) {
            EXPECT_EQ(*seq, type == "NBIRTH" ? 0 : (*last + 1) % 256) << m.topic;
        }
        last = seq;
    }
}

}  // namespace mira::test::spb_messages
