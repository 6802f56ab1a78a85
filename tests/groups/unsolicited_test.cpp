#include "groups/unsolicited.h"

#include <algorithm>

#include "link/link_fixture.h"

namespace mira::test {
namespace {

class UnsolicitedTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        slots = Driver.UnsolSlots;
        Driver.UnsolItemTable = rows.data();
    }

    // A slot as the receive handler fills it: the message, DLE ETX, a BCC.
    void Store(int32_t index, const std::u16string& key, const std::string& messageHex, bool inUse = true) {
        UnsolSlot& s = slots[index];
        Bytes m = FromHex(messageHex);
        m.insert(m.end(), {0x10, 0x03, 0x00});
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
    ASSERT_EQ(Process(u"U:512", {u"W0", u"W2", u"W0/4", u"W3/4", u"W3/20", u"B0"}, &error), 1) << error;
    EXPECT_EQ(error, 0);
    const int32_t expected[] = {0x1234, 0x5678, 1, 1, 0, 1234};
    for (size_t i = 0; i < 6; ++i) {
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
        SCOPED_TRACE(message);
        Store(0, u"U:512\t3", message);
        int32_t error = 0;
        EXPECT_EQ(Process(u"U:512", items, &error), result);
        EXPECT_EQ(error, code);
        EXPECT_EQ(slots[0].InUse, 1u);
        EXPECT_EQ(values[0].valueType, 0u);  // nothing delivered in part
    }
    EXPECT_TRUE(Fake().sends.empty());
}

}  // namespace
}  // namespace mira::test
