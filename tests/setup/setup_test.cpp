#include <gtest/gtest.h>

#include <string>

#include "mira/portkit_codes.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {
namespace {

class OpenCloseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
    }
    void TearDown() override {
        (void)UDrvClose();
        ResetDriverState();
    }
    int32_t Open() { return UDrvOpen(0, &settings, version, &error); }
    FakeClock clock;
    DriverSettings settings{};
    char16_t version[8]{};
    int32_t error = -1;
};

TEST_F(OpenCloseTest, OpenThenCloseInOrder) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Hex(Fake().AllSent()), "00 10 05 10 05 10 05 10 05");  // wake byte, four resets
    EXPECT_EQ(Fake().handler, &HandInts);
    const std::vector<std::pair<int32_t, int32_t>> sizes = {{4096, 28}, {4096, 28}, {20, 1160}, {255, 90}};
    EXPECT_EQ(Fake().allocs, sizes);
    for (int32_t i = 0; i < kGroupHandles; ++i) ASSERT_EQ(Driver.GroupTable[i], nullptr);
    const auto blocks = Fake().allocBlocks;
    Fake().closeResult = 42;
    EXPECT_EQ(UDrvClose(), 42);
    EXPECT_EQ(Fake().frees, blocks);
    EXPECT_TRUE(!Driver.GroupTable && !Driver.ItemTable && !Driver.UnsolSlots && !Driver.StringSlots);
    EXPECT_EQ(UDrvClose(), 0);  // nothing left: nothing released twice
    EXPECT_EQ(Fake().closeCalls, 1);
    ASSERT_EQ(Open(), 1);  // and it opens again
}

TEST_F(OpenCloseTest, FailedOpensTouchNothing) {
    // A null port, the port's open error, a failed table allocation; the error reported.
    const std::tuple<bool, int32_t, bool, int32_t> rows[] = {
        {true, 0, false, 0},
        {false, MIRA_PK_ERR_BUSY, false, MIRA_PK_ERR_BUSY},
        {false, 0, true, MIRA_PK_ERR_RESOURCES}};
    for (const auto& [null, openError, failAlloc, reported] : rows) {
        SetUp();
        Fake().openReturnsNull = null;
        Fake().openError = openError;
        Fake().failTableAlloc = failAlloc;
        settings.ErrorCheckOption = 1;
        EXPECT_EQ(Open(), 0);
        EXPECT_EQ(error, reported);
        EXPECT_EQ(Driver.UseCrc, 1u);  // the settings apply all the same
        EXPECT_EQ(std::u16string(version), u"10.3");
        EXPECT_EQ(Fake().handler, nullptr);
        EXPECT_EQ(Fake().sends.size(), failAlloc ? 1u : 0u);
        EXPECT_TRUE(!Driver.ItemTable && !Driver.UnsolSlots);
        EXPECT_TRUE(!failAlloc || Driver.Port == nullptr);
    }
    EXPECT_EQ(UDrvOpen(0, nullptr, nullptr, nullptr), 0);
}

TEST_F(OpenCloseTest, TypeQueryFollowsTheItemKind) {
    const std::tuple<const char16_t*, const char16_t*, int32_t> cases[] = {
        {u"N7:0", u"W5", 1},
        {u"N7:0", u"F5", 2},
        {u"F8:0", u"5", 2},
        {u"ST20:0", u"1", 3},
        // Refused texts still answer with the kind the item was left with.
        {u"U:0", u"5", 1},
        {u"", u"F1", 2},
        {nullptr, nullptr, 1},
    };
    for (const auto& [header, item, type] : cases) EXPECT_EQ(UDrvGetType(header, item), type);  // before open
}

int32_t Apply(const DriverSettings& settings, MiraWindowHandle window = 0) {
    char16_t version[8]{};
    int32_t error = -1;
    ApplySettings(window, &settings, version, &error);
    EXPECT_EQ(std::u16string(version), u"10.3");
    return error;
}

// Only the bare "5" row reads a number after ':'; no row matches a text with blanks around it.
struct SettingsCase {
    const char16_t *model, *mode, *station;
    int32_t errorCheck, addressOption;
    // ModelClass, Plc5Family, OctalIo, NonStandardBcd, UseCrc, AltAddressMode, LocalStation.
    std::tuple<uint32_t, uint32_t, uint32_t, uint8_t, uint32_t, uint32_t, uint32_t> fields;
};

TEST(ApplySettings, SetsTheFields) {
    const SettingsCase cases[] = {
        {u"5", u"Standard", u"5", 0, 0, {5, 1, 0, 0, 0, 0, 5}},
        {u"plc5 with i/o octal", u"Standard ", u"x", -1, -7, {5, 1, 1, 1, 0, 1, 0}},
        {u"5:1", u"", u"-3", 2, 0, {5, 1, 1, 1, 1, 0, 0xFFFFFFFDu}},
        {u"5:0", u"Non-standard", u"", 0x7FFFFFFF, 0, {5, 1, 0, 1, 1, 0, 0}},
        {u"PLC5:1", u"sTaNdArD", u"  12", 1, 1, {5, 1, 0, 0, 1, 1, 12}},
        {u"", u"Standard", u"5", 0, 0, {500, 0, 0, 0, 0, 0, 5}},
        {u" 5", u"Standard", u"5", 0, 0, {500, 0, 0, 0, 0, 0, 5}},
        {u"SLC500 ", u"Standard", u"5", 0, 0, {500, 0, 0, 0, 0, 0, 5}},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(&c - cases);
        ResetDriverState();
        DriverSettings settings{};
        std::u16string(c.model).copy(settings.ModelText, 81);
        std::u16string(c.mode).copy(settings.ModeText, 81);
        std::u16string(c.station).copy(settings.StationText, 81);
        settings.ErrorCheckOption = c.errorCheck;
        settings.AddressOption = c.addressOption;
        // Leftovers of an earlier open must not survive.
        Driver.OctalIo = 1;
        Driver.Plc5Family = 1;
        Driver.ChannelBusy = 1;
        EXPECT_EQ(Apply(settings, 0x1234), 0);
        EXPECT_EQ(std::make_tuple(Driver.ModelClass, Driver.Plc5Family, Driver.OctalIo, Driver.NonStandardBcd,
                                  Driver.UseCrc, Driver.AltAddressMode, Driver.LocalStation),
                  c.fields);
        EXPECT_EQ(Driver.ChannelBusy, 0u);
        EXPECT_EQ(Driver.NotifyWindow, 0x1234u);
    }
}

// Every text field full to its last unit and no zero after it: a copy past a field overflows under ASan.
TEST(ApplySettings, UnterminatedFieldsAreReadWithinTheirBounds) {
    ResetDriverState();
    DriverSettings settings{};
    for (char16_t& c : settings.StationText) c = u'9';
    for (char16_t& c : settings.ModelText) c = u'5';
    for (char16_t& c : settings.ModeText) c = u'S';
    settings.AddressOption = 0x00410041;
    settings.ErrorCheckOption = 0x00410041;
    for (char16_t& c : settings.portName) c = u'A';
    EXPECT_EQ(Apply(settings), 0);
    EXPECT_EQ(Driver.ModelClass, 500u);  // 82 fives match no row
}

}  // namespace
}  // namespace mira::test
