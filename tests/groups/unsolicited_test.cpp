#include "groups/unsolicited.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "address/parser.h"
#include "link/frame.h"
#include "support/fake_portkit.h"

namespace mira::test {
namespace {

class UnsolicitedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
        Driver.UnsolSlots = slots.data();
        Driver.UnsolItemTable = rows.data();
        Driver.Port = &Fake().port;
        Driver.ModelClass = kClassPlc2;
    }
    void TearDown() override { ResetDriverState(); }

    // A slot as the receive handler fills it: the message, DLE ETX, a BCC.
    void Store(int32_t index, const std::u16string& key, const std::string& messageHex, bool inUse = true) {
        UnsolSlot& s = slots[size_t(index)];
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

    std::vector<UnsolSlot> slots = std::vector<UnsolSlot>(kUnsolSlotCount);
    std::vector<ItemRequest> rows = std::vector<ItemRequest>(kItemTableRows);
    std::vector<HostValueCore> values;
};

TEST_F(UnsolicitedTest, KeyMatchIsExactCaseSensitiveAndLowestFirst) {
    Store(0, u"U:512\t3", "00 03 08 00 01 00 00 02", false);  // free: never matches
    Store(2, u"integer/0:7:5\t4", "00 04 0F 00 02 00");
    Store(3, u"U:512\t3", "00 03 08 00 03 00 00 02");
    Store(5, u"U:512\t9", "00 09 08 00 04 00 00 02");
    Store(6, u"U:51", "00 09 08 00 04 00 00 02");
    const std::u16string full(64, u'K');  // no terminator within the key
    Store(7, full, "00 01 08 00 00 00 00 00");
    const struct {
        std::u16string key;
        int32_t slot;
    } cases[] = {{u"U:512", 3},     {u"u:512", -1},        {u"U:51", 6},
                 {u"U:5", -1},      {u"U:5120", -1},       {u"U:512\t3", -1},
                 {u"", -1},         {u"integer/0:7:5", 2}, {full, 7},
                 {full + u"K", -1}, {u"INTEGER/0:7:5", -1}};
    for (const auto& c : cases) EXPECT_EQ(FindUnsolicitedSlot(c.key.c_str()), c.slot) << Narrow(c.key);
    EXPECT_EQ(FindUnsolicitedSlot(nullptr), -1);
}

TEST_F(UnsolicitedTest, DataWordsComeOnlyFromTheFrame) {
    const struct {
        uint32_t model;
        std::string message;
        std::vector<uint32_t> words;
    } cases[] = {
        {kClassPlc2, "00 03 08 00 34 12 00 02 34 12 00 00 78 56", {0x1234, 0, 0x5678}},
        {kClassPlc2, "00 03 08 00 34 12 00 02 34 12 99", {0x1234}},  // odd byte dropped
        {kClassPlc2, "00 03", {}},
        // SLC typed write: AA, count, file, type, element, sub-element, data.
        {kClassSlc500, "00 04 0F 00 02 00 AA 04 07 89 05 00 01 00 02 00", {1, 2}},
        {kClassSlc500, "00 04 0F 00 02 00 AA 02 FF 07 01 89 FF 2C 01 00 09 00", {9}},
        {kClassSlc500, "00 04 0F 00 02 00 AA 02 07 89 FF 2C", {}},
        {kClassSlc500, "00 04 08 00 02 00 00 00 05 00", {5}},  // not typed: from byte 8
    };
    for (const auto& c : cases) {
        Driver.ModelClass = c.model;
        Store(0, u"k", c.message);
        const UnsolData data = UnsolicitedData(slots[0]);
        EXPECT_EQ(std::vector<uint32_t>(data.word, data.word + data.words), c.words) << c.message;
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
    PlcAddress probe{};
    if (ParseHeader(&probe, u"3", u"U:512", 500).code != 0) GTEST_SKIP() << "address parser not built in";
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
    EXPECT_TRUE(std::none_of(slots.begin(), slots.end(), [](const UnsolSlot& s) { return s.InUse != 0; }));
    EXPECT_EQ(Process(u"U:512", {u"W0"}, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
}

TEST_F(UnsolicitedTest, StatusOrMissingWordsKeepTheSlot) {
    PlcAddress probe{};
    if (ParseHeader(&probe, u"3", u"U:512", 500).code != 0) GTEST_SKIP() << "address parser not built in";
    const struct {
        std::string message;
        std::vector<const char16_t*> items;
        int32_t result, code;
    } cases[] = {
        {"00 03 08 10 34 12 00 02 34 12", {u"W0"}, 1, MIRA_ERR_CONTROLLER_STATUS},
        // STS 0xF0 whose EXT STS the message does not carry: the trailer
        // after it is no status.
        {"00 03 08 F0 34 12", {u"W0"}, 1, MIRA_ERR_CONTROLLER_STATUS},
        {"00 03 08 00 34 12 00 02 34 12 00 00", {u"W0", u"W2"}, 0, MIRA_ERR_RANGE},
    };
    for (const auto& c : cases) {
        Store(0, u"U:512\t3", c.message);
        int32_t error = 0;
        EXPECT_EQ(Process(u"U:512", c.items, &error), c.result) << c.message;
        EXPECT_EQ(error, c.code) << c.message;
        EXPECT_EQ(slots[0].InUse, 1u);
        EXPECT_EQ(values[0].valueType, 0u);  // nothing delivered in part
    }
    EXPECT_TRUE(Fake().sends.empty());
}

TEST_F(UnsolicitedTest, FramesFromTheLineGoLowestSlotFirst) {
    PlcAddress probe{};
    if (ParseHeader(&probe, u"3", u"U:512", 500).code != 0) GTEST_SKIP() << "address parser not built in";
    for (uint8_t tns : {1, 2}) {  // PLC-2 writes to word 512 from station 3
        const Bytes message = {0x00, 0x03, 0x08, 0x00, tns, 0x00, 0x00, 0x02, tns, 0x00};
        Bytes frame(size_t(FrameCapacity(int32_t(message.size()))));
        int32_t n = 0;
        EncodeDriverFrame(message.data(), int32_t(message.size()), frame.data(), &n);
        Fake().Feed(Bytes(frame.begin(), frame.begin() + n));
    }
    Fake().sends.clear();
    for (int32_t tns : {1, 2}) {
        int32_t error = -1;
        ASSERT_EQ(Process(u"U:512", {u"W0"}, &error), 1) << error;
        EXPECT_EQ(values[0].value.integer, tns);
        EXPECT_EQ(Fake().sends.back()[6], tns);
    }
}

}  // namespace
}  // namespace mira::test
