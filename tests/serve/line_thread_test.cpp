// The line thread against the built-in simulator through the real libmira
// and Portkit: what the scans store, how each kind of tag is written and
// read back, one-shot requests by address, reloads and late scans.
#include <atomic>
#include <mutex>

#include "mira/portkit_codes.h"
#include "served.h"

namespace mira::serve {
namespace {

std::string Tag(const std::string& name, const std::string& address, const std::string& more = "") {
    return "[[tag]]\nname = \"" + name + "\"\naddress = \"" + address + "\"\n" + more;
}

TEST(LineThread, ScansStoreTheSimulatorsValuesAtTheDriversQualityAndTime) {
    const struct {
        const char* name;
        const char* address;
        nlohmann::json value;
    } kTags[] = {
        {"word", "N7:0", 100},   {"header_item", "N7:0 W2", -300}, {"float", "F8:0", 3.14159},
        {"timer", "T4:0.ACC", 250}, {"counter", "C5:0.ACC", 3},    {"text", "ST9:0", "MIRA"},
    };
    std::string text = "[line]\ntimeout = \"300ms\"\n";
    for (const auto& t : kTags) text += Tag(t.name, t.address);
    // A station the simulator is not: its group fails, the others do not.
    text += Tag("elsewhere", "N7:1", "station = 9\n");
    Served g(text);
    ASSERT_TRUE(g.started);
    ASSERT_TRUE(g.AllRead());
    for (const auto& t : kTags) {
        SCOPED_TRACE(t.name);
        const TagSnapshot s = *g.store.Find(t.name);
        EXPECT_EQ(s.value.quality, kQualityGood);
        EXPECT_NE(s.value.time, 0u);
        const nlohmann::json v = ValueJson(s.value.value);
        if (t.value.is_number_float())
            EXPECT_NEAR(v.get<double>(), t.value.get<double>(), 1e-5);
        else
            EXPECT_EQ(v, t.value);
    }
    const TagSnapshot lost = *g.store.Find("elsewhere");
    EXPECT_EQ(lost.value.quality, 0);
    EXPECT_EQ(lost.value.errorCode, MIRA_PK_ERR_TIMEOUT);
    EXPECT_EQ(lost.value.errorMessage.rfind("no reply within the reply time-out", 0), 0u) << lost.value.errorMessage;
    EXPECT_EQ(g.store.Line().state, LineState::Up);
    EXPECT_GT(g.store.Counters().readErrors.at(MIRA_PK_ERR_TIMEOUT), 0u);
}

// Each kind goes through the call that can write it (a timer's preset
// through the group write is refused with -40), and is read back; a text
// with a letter beyond ASCII comes back as the UTF-8 it was written in.
TEST(LineThread, WritesAreMadeAndReadBackBeforeTheyAnswer) {
    const struct {
        const char* name;
        const char* address;
        nlohmann::json value, readBack;
    } kWrites[] = {
        {"word", "N7:10", -5, -5},        {"bit", "B3:0/7", true, 1},        {"float", "F8:1", 2.5, 2.5},
        {"preset", "T4:0.PRE", 900, 900}, {"bcd", "N7:0 B12", 1234, 1234}, {"text", "ST9:1", "Caf\xC3\xA9!", "Caf\xC3\xA9!"},
    };
    std::string text;
    for (const auto& w : kWrites) text += Tag(w.name, w.address, "writable = true\n");
    Served g(text);
    ASSERT_TRUE(g.started);
    for (const auto& w : kWrites) {
        SCOPED_TRACE(w.name);
        const WriteResult r = g.store.WriteAndWait(w.name, w.value, kBound);
        ASSERT_EQ(r.outcome, WriteOutcome::Written) << r.message;
        EXPECT_EQ(r.readBack.quality, kQualityGood);
        EXPECT_EQ(ValueJson(r.readBack.value), w.readBack);
        EXPECT_EQ(ValueJson(g.store.Find(w.name)->value.value), w.readBack) << "stored before the answer";
    }
    EXPECT_EQ(g.store.Counters().writes.at("written"), std::size(kWrites));
}

// Addresses of one header are read in one request, as `mira read` reads
// its items: a refusal of one is the refusal of all under that header.
TEST(LineThread, OneShotReadsByAddressAsMiraReadMakesThem) {
    Served g(Tag("word", "N7:0"));
    ASSERT_TRUE(g.started);
    const struct {
        const char* address;
        nlohmann::json value;
        int32_t code;
        const char* cause;
    } kReads[] = {
        {"N7:0 W1", 200, 0, ""},
        {"N7:2", -300, 0, ""},
        {" F8:0 F0 ", 3.14159, 0, ""},
        {"N7:W5x", nullptr, -1, "refused"},               // a likely typo, refused before the line
        {"N7:1 F0/3", nullptr, MIRA_ERR_BAD_MNEMONIC, "refused"},  // the driver's own refusal
        {"N77:0 W0", nullptr, 6, "status"},              // a file the controller does not have
    };
    AddressRequest request;
    for (const auto& r : kReads) request.items.push_back(r.address);
    const AddressAnswer a = g.store.RequestAndWait(request, kBound);
    ASSERT_EQ(a.outcome, WriteOutcome::Written);
    ASSERT_EQ(a.results.size(), std::size(kReads));
    for (size_t k = 0; k < std::size(kReads); ++k) {
        SCOPED_TRACE(kReads[k].address);
        const AddressResult& r = a.results[k];
        EXPECT_EQ(r.item, kReads[k].address);
        EXPECT_EQ(r.errorCode, kReads[k].code) << r.errorMessage;
        EXPECT_EQ(r.cause, kReads[k].cause);
        const nlohmann::json v = ValueJson(r.value);
        if (kReads[k].value.is_number_float())
            EXPECT_NEAR(v.get<double>(), kReads[k].value.get<double>(), 1e-5);
        else
            EXPECT_EQ(v, kReads[k].value);
        EXPECT_EQ(r.quality, r.errorCode == 0 ? kQualityGood : 0);
    }
}

// A write by header and items is made only where each item is a writable
// tag, compared as the driver reads both: 0/5 is the tag B3:0/5.
TEST(LineThread, OneShotWritesNameWritableTagsOnly) {
    Served g(Tag("bit", "B3:0/5", "writable = true\n") + Tag("words", "N7:0 W3", "writable = true\n") +
              Tag("next", "N7:4", "writable = true\n") + Tag("locked", "N7:5"));
    ASSERT_TRUE(g.started);
    using K = AddressRequest::Kind;
    const struct {
        K kind;
        const char* header;
        std::vector<std::string> items, texts;
        WriteOutcome outcome;
        const char* message;
    } kWrites[] = {
        {K::WriteItem, "B3:0", {"0/5"}, {"1"}, WriteOutcome::Written, ""},
        {K::WriteGroup, "N7:3", {"W0", "W1"}, {"-7", "8"}, WriteOutcome::Written, ""},
        {K::WriteGroup, "N7:0", {"W3", "W5"}, {"1", "2"}, WriteOutcome::NotWritable,
         "N7:0 W5 (station 1) is no writable tag of this gateway, which writes its tags marked writable = true only"},
        {K::WriteGroup, "N7:0", {"W3"}, {"70000"}, WriteOutcome::BadValue,
         "W3: expected a whole number from -32768 to 32767, got \"70000\""},
        {K::WriteGroup, "N7:0", {"W3"}, {}, WriteOutcome::BadValue, "expected items and a value for each"},
    };
    for (const auto& w : kWrites) {
        SCOPED_TRACE(w.message);
        AddressRequest request{w.kind, w.header, w.items, w.texts, std::nullopt};
        const AddressAnswer a = g.store.RequestAndWait(request, kBound);
        EXPECT_EQ(a.outcome, w.outcome);
        EXPECT_EQ(a.message, w.message);
    }
    EXPECT_EQ(ValueJson(g.store.Find("bit")->value.value), 1);
    EXPECT_EQ(ValueJson(g.store.Find("words")->value.value), -7);
    EXPECT_EQ(ValueJson(g.store.Find("next")->value.value), 8);
}

TEST(LineThread, AReloadTakesNewTagsOrKeepsTheOldOnesWithoutReopening) {
    std::mutex mutex;
    std::atomic<int> loads{0};
    std::string next = Tag("a", "N7:W5x");  // a problem: the tags stay
    Served g(Tag("a", "N7:0"), false, [&](std::string* problems) {
        std::lock_guard<std::mutex> lock(mutex);
        ++loads;
        return ParseConfig(next, "test.toml", AllFaces(), problems);
    });
    ASSERT_TRUE(g.started);
    ASSERT_TRUE(g.AllRead());
    const uint64_t resets = g.store.Line().counters.lineResets;
    g.line.Reload();
    // The reload is made between scans: two scans later it is over.
    ASSERT_TRUE(WaitFor([&] { return loads.load() == 1; }));
    const uint64_t scans = g.store.Scans()[0].scans;
    ASSERT_TRUE(WaitFor([&] { return g.store.Scans()[0].scans >= scans + 2; }));
    EXPECT_EQ(g.store.Tags()->size(), 1u);
    EXPECT_EQ(ValueJson(g.store.Find("a")->value.value), 100);
    {
        std::lock_guard<std::mutex> lock(mutex);
        next = Tag("a", "N7:0") + Tag("b", "N7:1") + "[[scan]]\nname = \"other\"\nevery = \"50ms\"\n";
    }
    g.line.Reload();
    ASSERT_TRUE(WaitFor([&] { return g.store.Find("b") && g.store.Find("b")->value.quality == kQualityGood; }));
    EXPECT_EQ(ValueJson(g.store.Find("b")->value.value), 200);
    EXPECT_EQ(g.store.ScanNames(), std::vector<std::string>{"other"});
    EXPECT_EQ(g.store.Line().counters.lineResets, resets) << "no second open";
}

// A string read takes the simulator longer than a period of 1 ms: every
// scan after the first starts a whole period late and runs once.
TEST(LineThread, ALateScanRunsOnceAndCountsAnOverrun) {
    Served g("[[scan]]\nname = \"busy\"\nevery = \"1ms\"\n" + Tag("text", "ST9:0"));
    ASSERT_TRUE(g.started);
    ASSERT_TRUE(WaitFor([&] { return g.store.Scans()[0].scans >= 4; }));
    const ScanStats s = g.store.Scans()[0];
    EXPECT_GE(s.overruns, 1u);
    EXPECT_LT(s.overruns, s.scans);  // the first ran on time
    EXPECT_GE(s.longestSeconds, s.meanSeconds);
    EXPECT_GE(s.meanSeconds, 0.001);
}

}  // namespace
}  // namespace mira::serve
