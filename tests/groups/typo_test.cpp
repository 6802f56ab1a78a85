// Typed texts with a typo reach no path that builds a request, and the address checks say so; the
// forms the grammar gives for one address go out as one request.
#include "commands/command_support.h"
#include "support/typo_texts.h"

namespace mira::test {
namespace {

std::u16string Wide(const char* text) { return std::u16string(text, text + std::strlen(text)); }

class TypoTexts : public ReadFixture {
protected:
    void SetUp() override {
        ReadFixture::SetUp();
        unsolRows.assign(kItemTableRows, ItemRequest{});
        slots.assign(kUnsolSlotCount, UnsolSlot{});
        Driver.UnsolItemTable = unsolRows.data();
        Driver.UnsolSlots = slots.data();
    }
    void TearDown() override {
        UDrvRemoveAllGroups();
        ReadFixture::TearDown();
    }
    static void Use(TypoModel model) {
        SetModel(model == TypoModel::Slc ? kSlc : model == TypoModel::Plc5Octal ? kPlc5Octal : kPlc2);
    }
    // The read's request of a header and item on a fresh driver.
    Bytes ReadRequest(TypoModel model, const char* header, const char* item) {
        SetUp();
        Use(model);
        const std::u16string h = Wide(header), i = Wide(item);
        const char16_t* items[] = {i.c_str()};
        int32_t error = 0;
        EXPECT_EQ(UDrvReadGroupStart(u"1", h.c_str(), items, 1, &error), 1) << error;
        return Fake().sends.empty() ? Bytes{} : Message(0);
    }

    std::vector<ItemRequest> unsolRows;
    std::vector<UnsolSlot> slots;
};

TEST_F(TypoTexts, EveryPathRefusesThemBeforeSendingAndTheChecksAgree) {
    for (const Typo& t : kTypos) {
        SCOPED_TRACE(std::string(t.header) + " " + t.item);
        SetUp();
        Use(t.model);
        const std::u16string header = Wide(t.header), item = Wide(t.item), key = header + u"\t1";
        const char16_t* items[] = {item.c_str()};
        HostValueCore value{};
        value.valueType = MIRA_VALUE_INTEGER;
        value.value.integer = 1;
        // A stored controller's write under the header as its key.
        std::copy(key.begin(), key.end(), slots[0].KeyText);
        const Bytes frame = FromHex("00 01 08 00 34 12 50 00 09 00 10 03 00");
        std::copy(frame.begin(), frame.end(), slots[0].FrameBytes);
        slots[0].FrameLength = uint32_t(frame.size());
        slots[0].InUse = 1;
        // Should a text get through, the controller refuses what it sends, so no start waits for ever.
        for (int k = 0; k < 8; ++k) Script(0x10, {});

        int32_t read = 0, group = 0, single = 0, unsolicited = 0;
        EXPECT_EQ(UDrvReadGroupStart(u"1", header.c_str(), items, 1, &read), 0);
        EXPECT_EQ(UDrvWriteGroupStart(u"1", header.c_str(), items, &value, 1, &group), 0);
        EXPECT_EQ(UDrvWriteItemStart(u"1", header.c_str(), item.c_str(), &value, &single), 0);
        EXPECT_EQ(UDrvAddGroup(1, u"1", header.c_str(), items, 1), 0);
        EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, header.c_str(), u"1", items, &value, 1, &unsolicited), 0);
        EXPECT_EQ(std::tuple(read, group, single, unsolicited), std::tuple(t.code, t.code, t.code, t.code));
        EXPECT_TRUE(Fake().sends.empty());
        EXPECT_EQ(slots[0].InUse, 1u);  // unanswered, still there to be discarded

        char16_t headerCopy[MIRA_CHECKED_TEXT_BUFFER] = {}, itemCopy[MIRA_CHECKED_TEXT_BUFFER] = {};
        std::copy(header.begin(), header.end(), headerCopy);
        std::copy(item.begin(), item.end(), itemCopy);
        const int32_t headerVerdict = UDrvValidHeader(headerCopy);
        EXPECT_TRUE(headerVerdict == 0 || headerVerdict == t.code) << headerVerdict;
        EXPECT_EQ(UDrvValidAddress(header.c_str(), itemCopy), t.code);
    }
}

TEST_F(TypoTexts, FormsOfOneAddressSendOneRequest) {
    // model, as typed, the same address in its plain form
    const std::tuple<TypoModel, const char*, const char*, const char*, const char*> pairs[] = {
        {S, "N7:05", "w5", "N7:5", "W5"},          {S, "  n7:0\t", " W005 ", "N7:0", "W5"},
        {S, "T4:0", "0/acc", "T4:0", "0.ACC"},     {S, "I:1.0", "0.3", "I:1.0", "0/3"},
        {S, "INTEGER/0:7:00", "5", "integer/0:7:0", "5"}, {S, "N7:2", "W-2", "N7:0", "W0"},
        {S, "F8:0", "f1", "F8:0", "1"},            {P5, "i:0.010", "07/017", "I:0.10", "7/17"},
        {P2, "u:40", "w0", "U:40", "W0"},
    };
    for (const auto& [model, header, item, plainHeader, plainItem] : pairs) {
        SCOPED_TRACE(std::string(header) + " " + item);
        const Bytes typed = ReadRequest(model, header, item);
        EXPECT_FALSE(typed.empty());
        EXPECT_EQ(Hex(typed), Hex(ReadRequest(model, plainHeader, plainItem)));
        char16_t copy[MIRA_CHECKED_TEXT_BUFFER] = {};
        const std::u16string h = Wide(header), i = Wide(item);
        std::copy(i.begin(), i.end(), copy);
        EXPECT_EQ(UDrvValidAddress(h.c_str(), copy), 0);
    }
}

}  // namespace
}  // namespace mira::test
