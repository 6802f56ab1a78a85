// Typed texts with a typo reach no path that builds a request, and the address checks say so; the
// forms the grammar gives for one address go out as one request.
#include "commands/command_support.h"
#include "support/typo_texts.h"

namespace mira::test {
namespace {

std::u16string Wide(const char* text) { return std::u16string(text, text + std::strlen(text)); }

class TypoTexts : public ReadFixture {
protected:
    // A fresh driver of the row's model, with a controller's write stored under `key`.
    void Fresh(TypoModel model, const std::u16string& key = u"") {
        SetUp();
        SetModel(model == TypoModel::Slc ? kSlc : model == TypoModel::Plc5Octal ? kPlc5Octal : kPlc2);
        unsolRows.assign(kItemTableRows, ItemRequest{});
        slots.assign(kUnsolSlotCount, UnsolSlot{});
        Driver.UnsolItemTable = unsolRows.data();
        Driver.UnsolSlots = slots.data();
        std::copy(key.begin(), key.end(), slots[0].KeyText);
        const Bytes frame = FromHex("00 01 08 00 34 12 50 00 09 00 10 03 00");
        std::copy(frame.begin(), frame.end(), slots[0].FrameBytes);
        slots[0].FrameLength = uint32_t(frame.size());
        slots[0].InUse = 1;
        // Should a text get through, the controller refuses what it sends: no start waits for ever.
        for (int k = 0; k < 8; ++k) Script(0x10, {});
    }
    void TearDown() override {
        UDrvRemoveAllGroups();
        ReadFixture::TearDown();
    }
    std::vector<ItemRequest> unsolRows;
    std::vector<UnsolSlot> slots;
};

TEST_F(TypoTexts, EveryPathRefusesThemBeforeSendingAndTheChecksAgree) {
    for (const Typo& t : kTypos) {
        SCOPED_TRACE(std::string(t.header) + " " + t.item);
        const std::u16string header = Wide(t.header), item = Wide(t.item);
        Fresh(t.model, header + u"\t1");
        const char16_t* items[] = {item.c_str()};
        HostValueCore value{MIRA_VALUE_INTEGER, 0, {}};
        int32_t read = 0, group = 0, single = 0, unsolicited = 0;
        EXPECT_EQ(UDrvReadGroupStart(u"1", header.c_str(), items, 1, &read), 0);
        EXPECT_EQ(UDrvWriteGroupStart(u"1", header.c_str(), items, &value, 1, &group), 0);
        EXPECT_EQ(UDrvWriteItemStart(u"1", header.c_str(), item.c_str(), &value, &single), 0);
        EXPECT_EQ(UDrvAddGroup(1, u"1", header.c_str(), items, 1), 0);
        EXPECT_EQ(UDrvProcessUnsolicitedReadMessage(0, header.c_str(), u"1", items, &value, 1, &unsolicited), 0);
        EXPECT_EQ(std::tuple(read, group, single, unsolicited), std::tuple(t.code, t.code, t.code, t.code));
        EXPECT_TRUE(Fake().sends.empty());
        EXPECT_EQ(slots[0].InUse, 1u);  // unanswered, still there to be discarded
        // The checks: the header's verdict is its own, the item's that of the pair.
        char16_t h[MIRA_CHECKED_TEXT_BUFFER] = {}, i[MIRA_CHECKED_TEXT_BUFFER] = {};
        std::copy(header.begin(), header.end(), h);
        std::copy(item.begin(), item.end(), i);
        const int32_t headerVerdict = UDrvValidHeader(h);
        EXPECT_TRUE(headerVerdict == 0 || headerVerdict == t.code) << headerVerdict;
        EXPECT_EQ(UDrvValidAddress(header.c_str(), i), t.code);
    }
}

TEST_F(TypoTexts, FormsOfOneAddressSendOneRequest) {
    // model, as typed, the same address in its plain form
    const std::tuple<TypoModel, const char*, const char*, const char*, const char*> pairs[] = {
        {S, "N7:05", "w5", "N7:5", "W5"},      {S, "  n7:0\t", " W005 ", "N7:0", "W5"},
        {S, "T4:0", "0/acc", "T4:0", "0.ACC"}, {S, "I:1.0", "0.3", "I:1.0", "0/3"},
        {S, "N7:2", "W-2", "N7:0", "W0"},      {S, "INTEGER/0:7:00", "5", "integer/0:7:0", "5"},
        {S, "F8:0", "f1", "F8:0", "1"},        {P5, "i:0.010", "07/017", "I:0.10", "7/17"},
        {P2, "u:40", "w0", "U:40", "W0"},
    };
    for (const auto& [model, header, item, plainHeader, plainItem] : pairs) {
        SCOPED_TRACE(std::string(header) + " " + item);
        std::string sent[2];
        for (const auto& [h, i, out] : {std::tuple(header, item, &sent[0]), std::tuple(plainHeader, plainItem, &sent[1])}) {
            Fresh(model);
            const std::u16string ht = Wide(h), it = Wide(i);
            const char16_t* items[] = {it.c_str()};
            int32_t error = 0;
            EXPECT_EQ(UDrvReadGroupStart(u"1", ht.c_str(), items, 1, &error), 1) << error;
            *out = Fake().sends.empty() ? "" : Hex(Message(0));
            char16_t copy[MIRA_CHECKED_TEXT_BUFFER] = {};
            std::copy(it.begin(), it.end(), copy);
            EXPECT_EQ(UDrvValidAddress(ht.c_str(), copy), 0);
        }
        EXPECT_EQ(sent[0], sent[1]);
    }
}

}  // namespace
}  // namespace mira::test
