// The tag store: changes reach each subscriber once and never wait on it,
// and writes go through one queue to a fake line thread and come back.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "fake_line.h"
#include "serve/face.h"
#include "serve/store.h"

namespace mira::serve {
namespace {

using std::chrono::milliseconds;
// Waits that a change ends at once; the bound only keeps a broken store
// from hanging the test.
constexpr milliseconds kBound{10000};

TagInfo Info(const std::string& name, TagKind kind, bool writable, const std::string& item = "W0") {
    TagInfo t;
    t.name = name;
    t.header = "N7:0";
    t.item = item;
    t.kind = kind;
    t.chars = kind == TagKind::String ? 4 : 0;
    t.writable = writable;
    return t;
}

std::vector<TagInfo> Tags() {
    return {Info("word", TagKind::Word, true), Info("bit", TagKind::Bit, true, "W1/3"),
            Info("text", TagKind::String, true, "S0.4"), Info("locked", TagKind::Word, false)};
}

TagStore::Reading Good(size_t tag, Value v, uint64_t time) { return {tag, std::move(v), kQualityGood, time, 0, ""}; }

TEST(Store, ChangesReachSubscribersOnceWithTheLatestState) {
    TagStore store(Tags(), {"fast"});
    auto sub = store.Subscribe();
    store.Update({Good(0, 5, 100), Good(1, 1, 100)});
    store.Update({Good(0, 6, 200), Good(1, 1, 200)});  // the bit only got a new time
    Changes c = sub->Wait(kBound);
    EXPECT_EQ(c.tags, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(std::get<int32_t>(store.Get(0)->value.value), 6);

    // A failed read keeps the value and its time, with quality 0 and the error.
    store.Update({{0, {}, 0, 0, MIRA_PK_ERR_TIMEOUT, "no reply"}});
    c = sub->Wait(kBound);
    EXPECT_EQ(c.tags, std::vector<size_t>{0});
    const TagValue v = store.Get(0)->value;
    EXPECT_EQ(std::get<int32_t>(v.value), 6);
    EXPECT_EQ(v.time, 200u);
    EXPECT_EQ(v.quality, 0);
    EXPECT_EQ(v.errorCode, MIRA_PK_ERR_TIMEOUT);
    EXPECT_EQ(store.Counters().readErrors.at(MIRA_PK_ERR_TIMEOUT), 1u);
    // The same failure again is no change.
    store.Update({{0, {}, 0, 0, MIRA_PK_ERR_TIMEOUT, "no reply"}});
    EXPECT_TRUE(sub->Wait(milliseconds(0)).empty());

    store.SetLine({LineState::Lost, {}});
    store.AddEvent(300, "integer/7:0", {1, 2});
    c = sub->Wait(kBound);
    EXPECT_TRUE(c.line);
    ASSERT_EQ(c.events.size(), 1u);
    EXPECT_EQ(c.events[0].words, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(c.missed, 0u);

    // A subscriber too slow for the kept events learns how many it missed.
    for (size_t i = 0; i < kEventsKept + 5; ++i) store.AddEvent(400, "k", {});
    c = sub->Wait(kBound);
    EXPECT_EQ(c.events.size(), kEventsKept);
    EXPECT_EQ(c.missed, 5u);

    // New tags: values of the tags that stay are kept.
    std::vector<TagInfo> next = Tags();
    next[1].item = "W2/3";
    store.SetTags(next, {"fast"});
    c = sub->Wait(kBound);
    EXPECT_TRUE(c.tagsReplaced);
    EXPECT_EQ(std::get<int32_t>(store.Get(0)->value.value), 6);
    EXPECT_EQ(store.Get(1)->value.version, 0u);
}

TEST(Store, WritesAreRefusedAtOnceOrAnsweredByTheLine) {
    TagStore store(Tags(), {"fast"});
    test::FakeLine line(store);
    const struct {
        const char* tag;
        nlohmann::json value;
        WriteOutcome outcome;
        const char* message;
    } kCases[] = {
        {"word", 70, WriteOutcome::Written, ""},
        {"word", 7.0, WriteOutcome::Written, ""},
        {"bit", true, WriteOutcome::Written, ""},
        {"text", "abcd", WriteOutcome::Written, ""},
        {"nope", 1, WriteOutcome::UnknownTag, "no tag \"nope\""},
        {"locked", 1, WriteOutcome::NotWritable, "tag \"locked\" is not writable"},
        {"word", 70000, WriteOutcome::BadValue, "W0: expected a whole number from -32768 to 32767, got \"70000\""},
        {"word", 2.5, WriteOutcome::BadValue, "W0: expected a whole number from -32768 to 32767, got \"2.5\""},
        {"word", "7", WriteOutcome::BadValue, "W0: expected a whole number from -32768 to 32767, got \"7\""},
        {"bit", 2, WriteOutcome::BadValue, "W1/3: expected 0 or 1, got \"2\""},
        {"text", "abcde", WriteOutcome::BadValue, "S0.4: expected a string of at most 4 characters, got \"abcde\""},
        {"text", 5, WriteOutcome::BadValue, "S0.4: expected a text, got \"5\""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.tag) + " = " + c.value.dump());
        const WriteResult r = store.WriteAndWait(c.tag, c.value, kBound);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_EQ(r.message, c.message);
        if (c.outcome == WriteOutcome::Written) {
            EXPECT_EQ(r.readBack.quality, kQualityGood);
        }
    }
    EXPECT_EQ(std::get<int32_t>(store.Find("word")->value.value), 7);
    EXPECT_EQ(store.Counters().writes.at("written"), 4u);
    EXPECT_EQ(store.Counters().writes.at("bad_value"), 6u);
}

TEST(Store, StopAnswersEveryWaitingWrite) {
    TagStore store(Tags(), {"fast"});
    std::promise<WriteResult> answer;
    store.Write("word", 1, [&](const WriteResult& r) { answer.set_value(r); });  // no line takes it
    store.Stop();
    EXPECT_EQ(answer.get_future().get().outcome, WriteOutcome::Stopped);
    EXPECT_EQ(store.WriteAndWait("word", 1, kBound).outcome, WriteOutcome::Stopped);
    EXPECT_FALSE(store.WaitForWork(std::chrono::steady_clock::now() + kBound));
}

// A face whose Changed blocks until released.
class StuckFace : public Face {
public:
    bool Start(std::string*) override { return true; }
    void Stop() override {}
    void Changed(const Changes& c) override {
        calls.fetch_add(1);
        for (size_t t : c.tags) seen.fetch_add(t + 1);
        released.wait();
    }
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    std::atomic<size_t> seen{0};
};

TEST(Store, ASlowFaceDelaysNothingButItself) {
    TagStore store(Tags(), {"fast"});
    auto owned = std::make_unique<StuckFace>();
    StuckFace* face = owned.get();
    FaceRunner runner(std::move(owned), store);
    std::string why;
    ASSERT_TRUE(runner.Start(&why));
    store.Update({Good(0, 1, 1)});
    while (face->calls.load() == 0) std::this_thread::yield();
    // The face is stuck in Changed; the line's updates still go through.
    for (int32_t i = 2; i < 1000; ++i) store.Update({Good(2, i, 1), Good(3, i, 1)});
    EXPECT_EQ(std::get<int32_t>(store.Get(3)->value.value), 999);
    face->release.set_value();
    runner.Stop();
    // Tag 0 once, then tags 2 and 3 at most once more each: no backlog.
    EXPECT_LE(face->calls.load(), 2);
    EXPECT_LE(face->seen.load(), 1u + 3u + 4u);
}

}  // namespace
}  // namespace mira::serve
