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
        {true, MIRA_PK_ERR_NO_DEVICE, false, MIRA_PK_ERR_NO_DEVICE},
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
        Driver.Port = nullptr;
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
    ASSERT_EQ(Open(), 1);
    for (const auto& [header, item, type] : cases)
        EXPECT_EQ(UDrvGetType(header, item), type);  // into ItemTable
}

}  // namespace
}  // namespace mira::test
