#include <algorithm>

#include "groups/registry.h"
#include "groups/unsolicited.h"
#include "link/link_fixture.h"

namespace mira::test {
namespace {

class UnsolicitedTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        slots = Driver.UnsolSlots;
        Driver.UnsolItemTable = rows.data();
        Driver.GroupTable = groups.data();
    }
    void TearDown() override {
        UDrvRemoveAllGroups();
        LinkFixture::TearDown();
    }

    // A slot as the receive handler fills it: the message, DLE ETX, a BCC.
    void Store(int32_t index, const std::u16string& key, const std::string& messageHex, bool inUse = true) {
        UnsolSlot& s = slots[index];
        const Bytes m = FromHex(messageHex + " 10 03 00");
        std::copy(m.begin(), m.end(), s.FrameBytes);
        s.FrameLength = uint32_t(m.size());
        std::copy(key.begin(), key.begin() + std::min<size_t>(key.size(), 64), s.KeyText);
        s.InUse = inUse ? 1 : 0;
    }
    int32_t Process(const char16_t* key, std::vector<const char16_t*> items, int32_t* error) {
        values.assign(items.size() + 1, HostValueCore{});
        return UDrvProcessUnsolicitedReadMessage(0, key, u"3", items.data(), values.data(),
                                                 int32_t(items.size()), error);
    }

    UnsolSlot* slots = nullptr;
    std::vector<ItemRequest> rows = std::vector<ItemRequest>(kItemTableRows);
    std::vector<HostValueCore> values;
    std::vector<GroupRecord*> groups = std::vector<GroupRecord*>(kGroupHandles);
};

TEST_F(UnsolicitedTest, KeyMatchIsExactCaseSensitiveAndLowestFirst) {
    Store(0, u"U:512\t3", "00 03 08 00 01 00 00 02", false);  // free: never matches
    Store(3, u"U:512\t3", "00 03 08 00 03 00 00 02");
    Store(5, u"U:512\t9", "00 09 08 00 04 00 00 02");
    Store(6, u"U:51", "00 09 08 00 04 00 00 02");
    const std::u16string full(64, u'K');  // no terminator within the key
    Store(7, full, "00 01 08 00 00 00 00 00");
    const std::pair<std::u16string, int32_t> cases[] = {{u"U:512", 3}, {u"u:512", -1},  {u"U:51", 6},
                                                        {u"U:5", -1},  {u"U:5120", -1}, {u"U:512\t3", -1},
                                                        {u"", -1},     {full, 7},       {full + u"K", -1}};
    for (const auto& [key, slot] : cases) EXPECT_EQ(FindUnsolicitedSlot(key.c_str()), slot) << Narrow(key);
    EXPECT_EQ(FindUnsolicitedSlot(nullptr), -1);
}

TEST_F(UnsolicitedTest, DataWordsComeOnlyFromTheFrame) {
    const std::tuple<uint32_t, std::string, std::vector<uint32_t>> cases[] = {
        {kClassPlc2, "00 03 08 00 34 12 00 02 34 12 00 00 78 56", {0x1234, 0, 0x5678}},
        {kClassPlc2, "00 03 08 00 34 12 00 02 34 12 99", {0x1234}},  // odd byte dropped
        {kClassPlc2, "00 03", {}},
        // SLC typed write: AA, count, file, type, element, sub-element, data.
        {kClassSlc500, "00 04 0F 00 02 00 AA 04 07 89 05 00 01 00 02 00", {1, 2}},
        {kClassSlc500, "00 04 0F 00 02 00 AA 02 FF 07 01 89 FF 2C 01 00 09 00", {9}},
        {kClassSlc500, "00 04 0F 00 02 00 AA 02 07 89 FF 2C", {}},
        {kClassSlc500, "00 04 08 00 02 00 00 00 05 00", {5}},  // not typed: from byte 8
    };
    for (const auto& [model, message, words] : cases) {
        Driver.ModelClass = model;
        Store(0, u"k", message);
        const UnsolData data = UnsolicitedData(slots[0]);
        EXPECT_EQ(std::vector<uint32_t>(data.word, data.word + data.words), words) << message;
    }
    slots[0].FrameLength = 0xFFFFFFFFu;  // bounded by the slot and the 256 words
    EXPECT_EQ(UnsolicitedData(slots[0]).words, kUnsolDataWords);
}

TEST_F(UnsolicitedTest, DiscardAndRefusals) {
    Store(4, u"U:512\t3", "00 03 08 00 34 12 00 02 34 12");
    int32_t error = -1;
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:999", u"3", nullptr, nullptr, 0, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
    const char16_t* items[] = {u"W0"};
    HostValueCore value{};
    for (int32_t count : {-1, 0, kItemTableRows + 1}) {
        EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", items, &value, count, &error), 0);
        EXPECT_EQ(error, MIRA_ERR_RANGE);
    }
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", items, nullptr, 1, &error), 0);
    EXPECT_EQ(slots[4].InUse, 1u);
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", nullptr, nullptr, 0, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
    EXPECT_EQ(slots[4].InUse, 0u);
    EXPECT_EQ(slots[4].KeyText[0], u'U');  // a discard leaves the key text
    EXPECT_TRUE(Fake().sends.empty());
}

TEST_F(UnsolicitedTest, Plc2WriteIsDeliveredAndAnswered) {
    Store(2, u"U:512\t3", "00 03 08 00 34 12 00 02 34 12 00 00 78 56 10 00");
    int32_t error = -1;
    ASSERT_EQ(Process(u"U:512", {u"W0", u"W2", u"W0/4", u"W3/4", u"B0"}, &error), 1) << error;
    EXPECT_EQ(error, 0);
    const int32_t expected[] = {0x1234, 0x5678, 1, 1, 1234};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(values[i].valueType, uint32_t(MIRA_VALUE_INTEGER)) << i;
        EXPECT_EQ(values[i].value.integer, expected[i]) << i;
    }
    EXPECT_EQ(Driver.UnsolHeader.elementCount, 4);
    ASSERT_EQ(Fake().sends.size(), 1u);  // CMD | 0x40, STS 0, the stored TNS
    EXPECT_EQ(Hex(Fake().sends[0]), "10 02 03 00 48 00 34 12 10 03 6F");
    EXPECT_EQ(Driver.ChannelBusy, 0u);
    EXPECT_EQ(slots[2].InUse, 0u);
    EXPECT_EQ(slots[2].KeyText[0], 0);
    Fake().Feed(Fake().sends[0]);  // an echoing line hands the answer back: not a command to store
    EXPECT_EQ(SlotsInUse(), 0);
}

TEST_F(UnsolicitedTest, StatusOrMissingWordsKeepTheSlot) {
    const std::tuple<std::string, std::vector<const char16_t*>, int32_t, int32_t> cases[] = {
        {"00 03 08 10 34 12 00 02 34 12", {u"W0"}, 1, MIRA_ERR_CONTROLLER_STATUS},
        // STS 0xF0 whose EXT STS the message does not carry: the trailer after it is no status.
        {"00 03 08 F0 34 12", {u"W0"}, 1, MIRA_ERR_CONTROLLER_STATUS},
        {"00 03 08 00 34 12 00 02 34 12 00 00", {u"W0", u"W2"}, 0, MIRA_ERR_RANGE},
    };
    for (const auto& [message, items, result, code] : cases) {
        Store(0, u"U:512\t3", message);
        int32_t error = 0;
        EXPECT_EQ(Process(u"U:512", items, &error), result) << message;
        EXPECT_EQ(error, code) << message;
        EXPECT_EQ(slots[0].InUse, 1u);
        EXPECT_EQ(values[0].valueType, 0u);  // nothing delivered in part
    }
    EXPECT_TRUE(Fake().sends.empty());
}

// Two frames under one key wait; the host takes the first, a third arrives in the slot it freed, and only
// then are the other messages read, as a window's queue hands them over late: each names its own frame.
// A message's key is its own, whatever becomes of the slot.
TEST_F(UnsolicitedTest, EachMessageNamesTheFrameItAnnounces) {
    std::vector<const char16_t*> keys;  // appended on the bridge's thread, read after each flush
    window_ = {[](void* c, uint32_t, uintptr_t, intptr_t key) {
                   static_cast<std::vector<const char16_t*>*>(c)->push_back(reinterpret_cast<const char16_t*>(key));
               },
               &keys};
    const auto arrive = [](const std::string& n) {  // TNS n, word n at U:512
        Fake().Feed(Framed(FromHex("01 02 08 00 0" + n + " 00 00 02 0" + n + " 00")));
        FlushWindowMessages();
    };
    const auto take = [&](size_t k) {
        const std::u16string key = std::u16string(keys.at(k)).substr(0, 5);
        int32_t error = 0;
        const int32_t result = Process(key.c_str(), {u"W0"}, &error);
        return Narrow(key) + " " + std::to_string(result) + " " + std::to_string(error) + " " +
               std::to_string(values[0].value.integer);
    };
    arrive("1"), arrive("2");
    EXPECT_EQ(take(0), "U:512 1 0 1");
    arrive("3");
    EXPECT_EQ(take(1), "U:512 1 0 2");
    EXPECT_EQ(take(2), "U:512 1 0 3");
    arrive("4");  // discarded unread, its slot taken by a frame of another key: the message still names it
    int32_t error = 0;
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", nullptr, nullptr, 0, &error), 0);
    Fake().Feed(Framed(FromHex("01 02 08 00 05 00 02 02 05 00")));
    FlushWindowMessages();
    EXPECT_EQ(Narrow(keys.at(3)), "U:512\t2");
}

using Registry = UnsolicitedTest;

TEST_F(Registry, AddRefusesWhatCannotBeRead) {
    // Handle, header, items, their count (-1: the size of items), result.
    const std::tuple<int32_t, const char16_t*, std::vector<const char16_t*>, int32_t, int32_t> cases[] = {
        {0, u"N7:0", {u"W1", u"W2"}, -1, 1},
        {16383, u"T4:0", {u"0.DN"}, -1, 1},
        {3, u"N7:0", {}, 0, 1},  // a group without items registers
        {-1, u"N7:0", {u"W1"}, -1, 0},
        {16384, u"N7:0", {u"W1"}, -1, 0},
        {4, u"Q7:0", {u"W1"}, -1, 0},
        {4, u"T4:0", {u"0.DN", u"5"}, -1, 0},
        {4, u"N7:0", {u"W1", nullptr}, -1, 0},
        {4, u"N7:0", {u"W1"}, -3, 0},
        {4, u"N7:0", {u"W1"}, 4097, 0},
        {4, nullptr, {u"W1"}, -1, 0},
    };
    for (const auto& [handle, header, items, itemCount, result] : cases) {
        const int32_t count = itemCount == -1 ? int32_t(items.size()) : itemCount;
        EXPECT_EQ(UDrvAddGroup(handle, u"1", header, items.data(), count), result) << handle;
        const GroupRecord* g = FindGroup(handle);
        EXPECT_EQ(g != nullptr, result == 1) << handle;
        EXPECT_EQ(g != nullptr ? g->itemCount : count, count) << handle;
    }
    EXPECT_EQ(FindGroup(0)->items[1].element, 2);
}

TEST_F(Registry, ReplaceRemoveAndStationText) {
    const char16_t* one[] = {u"W1"};
    const char16_t* bad[] = {u"W1", u"0.XX"};
    const char16_t* three[] = {u"W1", u"W2", u"W3"};
    ASSERT_EQ(UDrvAddGroup(5, u"1", u"N7:0", one, 1), 1);
    ASSERT_EQ(UDrvAddGroup(5, u"2", u"N7:0", three, 3), 1);
    EXPECT_EQ(FindGroup(5)->itemCount, 3);
    EXPECT_EQ(UDrvAddGroup(5, u"1", u"T4:0", bad, 2), 0);
    EXPECT_EQ(FindGroup(5), nullptr);  // a failed replacement leaves the handle empty

    const std::u16string longRef = std::u16string(80, u'7') + u"99";
    ASSERT_EQ(UDrvAddGroup(6, longRef.c_str(), u"N7:0", one, 1), 1);
    EXPECT_EQ(std::u16string(FindGroup(6)->header.stationText), std::u16string(80, u'7'));

    for (int32_t handle : {7, -1, 16384}) UDrvRemoveGroup(handle);  // empty or out of range: nothing happens
    UDrvRemoveGroup(6);
    EXPECT_EQ(FindGroup(6), nullptr);
    ASSERT_EQ(UDrvAddGroup(9, u"1", u"N7:0", one, 1), 1);
    UDrvRemoveAllGroups();
    for (GroupRecord* entry : groups) ASSERT_EQ(entry, nullptr);

    // Before open there is no table: every call does nothing.
    Driver.GroupTable = nullptr;
    EXPECT_EQ(UDrvAddGroup(1, u"1", u"N7:0", one, 1), 0);
    UDrvRemoveGroup(1);
    UDrvRemoveAllGroups();
    EXPECT_EQ(FindGroup(1), nullptr);
}

}  // namespace
}  // namespace mira::test
