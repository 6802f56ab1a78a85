#include "groups/unsolicited.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

using test::Bytes;
using test::FromHex;
using test::Hex;

class UnsolicitedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        slots.assign(kUnsolSlotCount, UnsolSlot{});
        rows.assign(kItemTableRows, ItemRequest{});
        Driver.UnsolSlots = slots.data();
        Driver.UnsolItemTable = rows.data();
        Driver.ItemTable = rows.data();
        Driver.Port = &test::Fake().port;
        Driver.ModelClass = kClassPlc2;
        Driver.LocalStation = 0;
    }
    void TearDown() override { ResetDriverState(); }

    // Stores a message as the receive handler would: the bytes after DLE STX
    // up to the frame's end (DLE ETX and the BCC follow the message).
    void Store(int32_t index, const std::u16string& key, const std::string& messageHex, bool inUse = true) {
        UnsolSlot& s = slots[size_t(index)];
        const Bytes m = FromHex(messageHex);
        for (size_t i = 0; i < m.size(); ++i) s.FrameBytes[i] = m[i];
        s.FrameBytes[m.size()] = 0x10;
        s.FrameBytes[m.size() + 1] = 0x03;
        s.FrameBytes[m.size() + 2] = 0x00;
        s.FrameLength = uint32_t(m.size() + 3);
        for (size_t i = 0; i < key.size() && i < 64; ++i) s.KeyText[i] = key[i];
        s.InUse = inUse ? 1 : 0;
    }

    int32_t Process(const char16_t* key, const std::vector<const char16_t*>& items, int32_t* error) {
        values.assign(items.size() + 1, HostValueCore{});
        return UDrvProcessUnsolicitedReadMessage(0, key, u"3", items.data(), values.data(), int32_t(items.size()),
                                                 error);
    }

    std::vector<UnsolSlot> slots;
    std::vector<ItemRequest> rows;
    std::vector<HostValueCore> values;
};

TEST_F(UnsolicitedTest, KeyMatchIsExactCaseSensitiveAndLowestFirst) {
    Store(0, u"U:512\t3", "00 03 08 00 01 00 00 02", false);  // free: never matches
    Store(2, u"integer/0:7:5\t4", "00 04 0F 00 02 00");
    Store(3, u"U:512\t3", "00 03 08 00 03 00 00 02");
    Store(5, u"U:512\t9", "00 09 08 00 04 00 00 02");
    Store(6, u"U:51", "00 09 08 00 04 00 00 02");
    const struct {
        const char16_t* key;
        int32_t slot;
    } cases[] = {
        {u"U:512", 3},        {u"u:512", -1}, {u"U:51", 6},   {u"U:5", -1},
        {u"U:5120", -1},      {u"", -1},      {u"U:512\t3", -1},
        {u"integer/0:7:5", 2}, {u"INTEGER/0:7:5", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(FindUnsolicitedSlot(c.key), c.slot) << test::Narrow(c.key);
    EXPECT_EQ(FindUnsolicitedSlot(nullptr), -1);
    // A key text that fills all 64 characters without terminator still ends.
    std::u16string full(64, u'K');
    Store(7, full, "00 01 08 00 00 00 00 00");
    EXPECT_EQ(FindUnsolicitedSlot(full.c_str()), 7);
    EXPECT_EQ(FindUnsolicitedSlot((full + u"K").c_str()), -1);
}

TEST_F(UnsolicitedTest, DataWordsComeOnlyFromTheFrame) {
    const struct {
        const char* name;
        uint32_t model;
        std::string message;
        std::vector<uint32_t> words;
    } cases[] = {
        {"plc2_write", kClassPlc2, "00 03 08 00 34 12 00 02 34 12 00 00 78 56", {0x1234, 0, 0x5678}},
        {"plc2_odd_byte_dropped", kClassPlc2, "00 03 08 00 34 12 00 02 34 12 99", {0x1234}},
        {"plc2_no_data", kClassPlc2, "00 03 08 00 34 12 00 02", {}},
        {"short_frame", kClassPlc2, "00 03", {}},
        // SLC typed write: AA, byte count, file 7, type 89, element 5, sub 0.
        {"slc_typed_write", kClassSlc500, "00 04 0F 00 02 00 AA 04 07 89 05 00 01 00 02 00", {1, 2}},
        {"slc_escaped_fields", kClassSlc500, "00 04 0F 00 02 00 AA 02 FF 07 01 89 FF 2C 01 00 09 00", {9}},
        {"slc_fields_cut_short", kClassSlc500, "00 04 0F 00 02 00 AA 02 07 89 FF 2C", {}},
        {"slc_other_command_from_8", kClassSlc500, "00 04 08 00 02 00 00 00 05 00", {5}},
    };
    for (const auto& c : cases) {
        Driver.ModelClass = c.model;
        Store(0, u"k", c.message);
        const UnsolData data = UnsolicitedData(slots[0]);
        ASSERT_EQ(data.words, int32_t(c.words.size())) << c.name;
        for (size_t k = 0; k < c.words.size(); ++k) EXPECT_EQ(data.word[k], c.words[k]) << c.name << " " << k;
    }
    // A FrameLength past the slot is bounded by the slot.
    slots[0].FrameLength = 0xFFFFFFFFu;
    EXPECT_EQ(UnsolicitedData(slots[0]).words, kUnsolDataWords);
    // With CRC the check takes two bytes.
    Driver.UseCrc = 1;
    Driver.ModelClass = kClassPlc2;
    Store(0, u"k", "00 03 08 00 34 12 00 02 34 12 78 56");
    slots[0].FrameLength += 1;
    EXPECT_EQ(UnsolicitedData(slots[0]).words, 2);
}

TEST_F(UnsolicitedTest, DiscardFreesTheSlotAndAlwaysReports280) {
    Store(4, u"U:512\t3", "00 03 08 00 34 12 00 02 34 12");
    int32_t error = -1;
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:999", u"3", nullptr, nullptr, 0, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
    EXPECT_EQ(slots[4].InUse, 1u);
    error = -1;
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", nullptr, nullptr, 0, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
    EXPECT_EQ(slots[4].InUse, 0u);
    EXPECT_EQ(slots[4].KeyText[0], u'U');  // the key text is left
    EXPECT_TRUE(test::Fake().sends.empty());
}

TEST_F(UnsolicitedTest, DeliveryRefusalsLeaveTheSlot) {
    Store(1, u"U:512\t3", "00 03 08 00 34 12 00 02 34 12 00 00");
    int32_t error = 0;
    const char16_t* items[] = {u"W0"};
    // No slot for the key.
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:513", u"3", items, values.data(), 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
    values.assign(4, HostValueCore{});
    const struct {
        const char* name;
        const char16_t* const* items;
        HostValueCore* values;
        int32_t count;
    } cases[] = {
        {"negative_count", items, values.data(), -1},
        {"too_many", items, values.data(), kItemTableRows + 1},
        {"no_values", items, nullptr, 1},
        {"no_texts", nullptr, values.data(), 1},
        {"zero_with_values", items, values.data(), 0},
    };
    for (const auto& c : cases) {
        error = 0;
        EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", c.items, c.values, c.count, &error), 0)
            << c.name;
        EXPECT_EQ(error, MIRA_ERR_RANGE) << c.name;
        EXPECT_EQ(slots[1].InUse, 1u) << c.name;
    }
    EXPECT_TRUE(test::Fake().sends.empty());
    // Before open there are no slots at all.
    Driver.UnsolSlots = nullptr;
    EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, u"U:512", u"3", items, values.data(), 1, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
}

}  // namespace
}  // namespace mira

namespace mira {
namespace {

class UnsolicitedDeliveryTest : public UnsolicitedTest {};

TEST_F(UnsolicitedDeliveryTest, Plc2WriteDeliversWordsAndAnswers) {
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
    // The reply: CMD | 0x40, STS 0, the stored TNS, sent without the lock.
    ASSERT_EQ(test::Fake().sends.size(), 1u);
    EXPECT_EQ(Hex(test::Fake().sends[0]), "10 02 03 00 48 00 34 12 10 03 6F");
    EXPECT_EQ(Driver.ChannelBusy, 0u);
    EXPECT_EQ(slots[2].InUse, 0u);
    EXPECT_EQ(slots[2].KeyText[0], 0);
    // Consumed: the same key finds nothing now.
    EXPECT_EQ(Process(u"U:512", {u"W0"}, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_NO_UNSOLICITED);
}

TEST_F(UnsolicitedDeliveryTest, BcdIgnoresTheNonStandardMode) {
    Driver.NonStandardBcd = 1;
    Store(0, u"U:0\t1", "00 01 08 00 01 00 00 00 34 12");
    int32_t error = -1;
    ASSERT_EQ(Process(u"U:0", {u"B0"}, &error), 1);
    EXPECT_EQ(values[0].value.integer, 1234);
}

TEST_F(UnsolicitedDeliveryTest, NonzeroStatusStaysInItsSlot) {
    Store(0, u"U:512\t3", "00 03 08 10 34 12 00 02 34 12");
    int32_t error = 0;
    EXPECT_EQ(Process(u"U:512", {u"W0"}, &error), 1);
    EXPECT_EQ(error, MIRA_ERR_CONTROLLER_STATUS);
    EXPECT_EQ(slots[0].InUse, 1u);
    EXPECT_TRUE(test::Fake().sends.empty());
    EXPECT_EQ(values[0].valueType, 0u);
}

TEST_F(UnsolicitedDeliveryTest, ItemsPastTheFrameAreRefused) {
    Store(0, u"U:512\t3", "00 03 08 00 34 12 00 02 34 12 00 00");
    int32_t error = 0;
    EXPECT_EQ(Process(u"U:512", {u"W0", u"W2"}, &error), 0);
    EXPECT_EQ(error, MIRA_ERR_RANGE);
    EXPECT_EQ(slots[0].InUse, 1u);
    EXPECT_TRUE(test::Fake().sends.empty());
    EXPECT_EQ(values[0].valueType, 0u);  // nothing delivered in part
}

TEST_F(UnsolicitedDeliveryTest, SlcTypedWriteStartsAtItsData) {
    Driver.ModelClass = kClassSlc500;
    Store(0, u"integer/0:7:5\t4", "00 04 0F 00 02 00 AA 04 07 89 05 00 01 00 02 00");
    int32_t error = -1;
    ASSERT_EQ(Process(u"integer/0:7:5", {u"W0", u"W1"}, &error), 1) << error;
    EXPECT_EQ(values[0].value.integer, 1);
    EXPECT_EQ(values[1].value.integer, 2);
    ASSERT_EQ(test::Fake().sends.size(), 1u);
    EXPECT_EQ(Hex(test::Fake().sends[0]).substr(0, 23), "10 02 03 00 4F 00 02 00");
}

TEST_F(UnsolicitedDeliveryTest, FramesFromTheLineAreDeliveredLowestSlotFirst) {
    // Two PLC-2 writes to word address 512 from station 3, TNS 1 and 2.
    for (uint8_t tns : {1, 2}) {
        const Bytes message = {0x00, 0x03, 0x08, 0x00, tns, 0x00, 0x00, 0x02, tns, 0x00};
        Bytes frame(size_t(FrameCapacity(int32_t(message.size()))));
        int32_t n = 0;
        EncodeFrame(message.data(), int32_t(message.size()), frame.data(), &n);
        frame.resize(size_t(n));
        test::Fake().Feed(frame);
    }
    ASSERT_EQ(slots[0].InUse, 1u);
    ASSERT_EQ(slots[1].InUse, 1u);
    test::Fake().sends.clear();
    int32_t error = -1;
    ASSERT_EQ(Process(u"U:512", {u"W0"}, &error), 1) << error;
    EXPECT_EQ(values[0].value.integer, 1);
    ASSERT_EQ(Process(u"U:512", {u"W0"}, &error), 1) << error;
    EXPECT_EQ(values[0].value.integer, 2);
    ASSERT_EQ(test::Fake().sends.size(), 2u);
    EXPECT_EQ(test::Fake().sends[1][6], 2);  // TNS low of the second command
}

TEST_F(UnsolicitedDeliveryTest, ArbitraryItemsAndFramesStayInBounds) {
    uint32_t seed = 99;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const char16_t* texts[] = {u"W0", u"W255", u"W256", u"W-1", u"B7", u"W1/15", u"W1/99", u"", u"W", u"S0.4",
                               u"W2147483647", u"F3"};
    for (int round = 0; round < 2000; ++round) {
        UnsolSlot& s = slots[0];
        for (auto& b : s.FrameBytes) b = uint8_t(next());
        s.FrameLength = next() % 1400;
        s.KeyText[0] = u'U';
        s.KeyText[1] = u':';
        s.KeyText[2] = u'1';
        s.KeyText[3] = 0;
        s.InUse = 1;
        Driver.ModelClass = (next() % 2) ? kClassSlc500 : kClassPlc2;
        std::vector<const char16_t*> items;
        for (int i = 0, n = 1 + int(next() % 5); i < n; ++i) items.push_back(texts[next() % 12]);
        int32_t error = 0;
        (void)Process(u"U:1", items, &error);
    }
}

}  // namespace
}  // namespace mira
