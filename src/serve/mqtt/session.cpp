// What both formats share, and the JSON session.
#include "serve/mqtt/session.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "host/codes.h"
#include "serve/mqtt/json_topics.h"

namespace mira::serve::mqtt {

Sent SentOf(const TagValue& value) { return {true, value.value, value.quality, value.errorCode}; }

bool WorthPublishing(const TagValue& now, const Sent& last, double deadband) {
    if (now.version == 0) return false;  // the store's mark of a tag never read
    if (!last.valid || now.quality != last.quality || now.errorCode != last.errorCode) return true;
    const auto number = [](const Value& v) -> std::optional<double> {
        if (const auto* i = std::get_if<int32_t>(&v)) return *i;
        if (const auto* d = std::get_if<double>(&v)) return *d;
        return std::nullopt;
    };
    const auto a = number(now.value), b = number(last.value);
    if (a && b && std::isfinite(*a) && std::isfinite(*b) && now.value.index() == last.value.index())
        return *a != *b && std::fabs(*a - *b) >= deadband;
    return now.value != last.value;
}

double DeadbandOf(const TagInfo& info) {
    const auto face = info.faces.find("mqtt");
    if (face == info.faces.end()) return 0;
    return face->value("deadband", 0.0);
}

bool IsLinkError(int32_t code) {
    const host::Cause cause = host::CauseOf(code);
    return cause == host::Cause::NoReply || cause == host::Cause::Line;
}

namespace {

// Tag names have this many levels.
size_t Levels(const std::string& name) { return 1 + static_cast<size_t>(std::count(name.begin(), name.end(), '/')); }

class JsonSession final : public Session {
public:
    JsonSession(const Settings& s, TagStore& store) : s_(s), store_(store) {}

    Will NextWill() override { return {s_.prefix + "/status", "offline", 1, true}; }

    std::vector<size_t> Begin(Publisher& out) override {
        out.Publish(s_.prefix + "/status", "online", 1, true);
        LineChanged(out);
        return Resubscribe(out, true);
    }

    std::vector<size_t> TagsReplaced(Publisher& out) override {
        // A tag that is gone leaves no retained value behind.
        std::set<std::string> now;
        for (const TagInfo& t : *store_.Tags()) now.insert(t.name);
        if (tags_)
            for (const TagInfo& t : *tags_)
                if (!now.count(t.name)) out.Publish(TagTopic(t.name), "", s_.qos, true);
        return Resubscribe(out, false);
    }

    void LineChanged(Publisher& out) override {
        const LineStatus line = store_.Line();
        out.Publish(s_.prefix + "/line", nlohmann::json({{"state", LineStateName(line.state)}}).dump(), s_.qos, true);
    }

    void Rebirth(Publisher&) override {}

    void Events(Publisher& out, const std::vector<Event>& events) override {
        for (const Event& e : events)
            if (!out.Room() || !out.Publish(s_.prefix + "/unsolicited", EventPayload(e), s_.qos, false))
                ++out.counters().droppedEvents;
    }

    std::vector<size_t> TagsChanged(Publisher& out, const std::vector<size_t>& tags) override {
        std::shared_ptr<const std::vector<TagInfo>> now;
        const std::vector<TagValue> values = store_.Values(tags, &now);
        if (now != tags_) return {};  // replaced: TagsReplaced comes next and publishes them all
        for (size_t n = 0; n < tags.size(); ++n) {
            const size_t i = tags[n];
            if (!out.Room()) return {tags.begin() + static_cast<ptrdiff_t>(n), tags.end()};
            const TagInfo& info = (*tags_)[i];
            if (!WorthPublishing(values[n], sent_[i], deadband_[i])) continue;
            if (out.Publish(TagTopic(info.name), TagPayload(info, values[n]), s_.qos, true)) sent_[i] = SentOf(values[n]);
        }
        return {};
    }

    void End(Publisher& out) override { out.Publish(s_.prefix + "/status", "offline", 1, true); }

    void Incoming(const std::string& topic, std::string_view payload,
                  const std::shared_ptr<Inbound>& inbound) override {
        const std::optional<std::string> name = SetTopicTag(s_.prefix, topic);
        if (!name) {
            ++inbound->counters().unknownTopics;
            return;
        }
        const std::string result = s_.prefix + "/tags/" + *name + "/result";
        SetRequest request = ParseSet(payload);
        if (!request.problem.empty()) {
            ++(payload.size() > kMaxIncoming ? inbound->counters().oversized : inbound->counters().malformed);
            inbound->Reply(result, RefusedPayload(nullptr, request.problem));
            return;
        }
        store_.Write(*name, request.value, [inbound, result, id = request.id](const WriteResult& r) {
            inbound->Reply(result, ResultPayload(id, r));
        });
    }

private:
    std::string TagTopic(const std::string& name) const { return s_.prefix + "/tags/" + name; }

    // Takes the store's tags, subscribes to their set topics, and forgets
    // what was published of them (everything): returns every tag.
    std::vector<size_t> Resubscribe(Publisher& out, bool always) {
        tags_ = store_.Tags();
        sent_.assign(tags_->size(), Sent{});
        deadband_.clear();
        size_t levels = 1;
        for (const TagInfo& t : *tags_) {
            levels = std::max(levels, Levels(t.name));
            deadband_.push_back(DeadbandOf(t));
        }
        if (always || levels + 1 > levels_) out.Subscribe(SetSubscriptions(s_.prefix, levels + 1));
        levels_ = levels + 1;
        std::vector<size_t> all(tags_->size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        return all;
    }

    const Settings s_;
    TagStore& store_;
    std::shared_ptr<const std::vector<TagInfo>> tags_;
    std::vector<Sent> sent_;
    std::vector<double> deadband_;
    size_t levels_ = 0;
};

}  // namespace

std::unique_ptr<Session> MakeJsonSession(const Settings& settings, TagStore& store) {
    return std::make_unique<JsonSession>(settings, store);
}

}  // namespace mira::serve::mqtt
