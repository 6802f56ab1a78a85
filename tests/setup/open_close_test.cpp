#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/frame.h"
#include "link/receive.h"
#include "mira/portkit_codes.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

using test::Bytes;
using test::Fake;
using test::FromHex;
using test::Hex;
using test::ResetFake;

class OpenCloseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
        std::memset(&settings, 0, sizeof settings);
        const std::u16string station = u"4";
        for (size_t i = 0; i < station.size(); ++i) settings.StationText[i] = station[i];
    }
    void TearDown() override {
        if (Driver.Port != nullptr) (void)UDrvClose();
        ResetDriverState();
        ResetFake();
    }
    test::FakeClock clock;
    DriverSettings settings{};
    char16_t version[8]{};
    int32_t error = -1;
};

TEST_F(OpenCloseTest, OpenSendsWakeByteThenFourEnquiries) {
    ASSERT_EQ(UDrvOpen(0, &settings, version, &error), 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(std::u16string(version), u"10.3");
    EXPECT_EQ(Driver.Port, &Fake().port);
    EXPECT_EQ(Hex(Fake().AllSent()), "00 10 05 10 05 10 05 10 05");
    EXPECT_EQ(Driver.ChannelBusy, 0u);
    EXPECT_EQ(Driver.LocalStation, 4u);
    EXPECT_EQ(Fake().handler, &HandInts);
    const std::vector<std::pair<int32_t, int32_t>> sizes = {{4096, 28}, {4096, 28}, {20, 1160}, {255, 90}};
    EXPECT_EQ(Fake().allocs, sizes);
    ASSERT_NE(Driver.GroupTable, nullptr);
    for (int32_t i = 0; i < kGroupHandles; ++i) ASSERT_EQ(Driver.GroupTable[i], nullptr);
    for (int32_t i = 0; i < kUnsolSlotCount; ++i) EXPECT_EQ(Driver.UnsolSlots[i].InUse, 0u);
}

TEST_F(OpenCloseTest, OpenLeavesAWorkingReceiver) {
    ASSERT_EQ(UDrvOpen(0, &settings, version, &error), 1);
    Fake().Feed(FromHex("10 02 01 02 08 00 11 00 00 02 10 03 E2"));
    EXPECT_EQ(Driver.UnsolSlots[0].InUse, 1u);
}

struct FailCase {
    const char* name;
    bool returnsNull;
    int32_t openError;
};

const FailCase kFails[] = {
    {"NullPort", true, 0},
    {"ErrorCode", false, MIRA_PK_ERR_BUSY},
    {"NullAndError", true, MIRA_PK_ERR_NO_DEVICE},
};

class OpenFailTest : public OpenCloseTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(OpenFailTest, TouchesNothingAfterAFailedPortOpen) {
    const FailCase& c = GetParam();
    Fake().openReturnsNull = c.returnsNull;
    Fake().openError = c.openError;
    settings.ErrorCheckOption = 1;
    EXPECT_EQ(UDrvOpen(0, &settings, version, &error), 0);
    EXPECT_EQ(error, c.openError);
    EXPECT_EQ(Driver.Port, c.returnsNull ? nullptr : &Fake().port);
    EXPECT_EQ(Driver.UseCrc, 1u);  // the settings apply all the same
    EXPECT_EQ(std::u16string(version), u"10.3");
    EXPECT_TRUE(Fake().sends.empty());
    EXPECT_TRUE(Fake().allocs.empty());
    EXPECT_EQ(Fake().handler, nullptr);
    Driver.Port = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Fails, OpenFailTest, ::testing::ValuesIn(kFails),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenCloseTest, RefusedTableAllocationFailsTheOpen) {
    Fake().failTableAlloc = true;
    EXPECT_EQ(UDrvOpen(0, &settings, version, &error), 0);
    EXPECT_EQ(error, MIRA_PK_ERR_RESOURCES);
    EXPECT_EQ(Driver.Port, nullptr);
    EXPECT_EQ(Driver.ItemTable, nullptr);
    EXPECT_EQ(Driver.UnsolSlots, nullptr);
    EXPECT_EQ(Fake().closeCalls, 1);
    EXPECT_EQ(Fake().handler, nullptr);
}

TEST_F(OpenCloseTest, NullArgumentsDoNotCrash) {
    EXPECT_EQ(UDrvOpen(0, nullptr, version, &error), 0);
    EXPECT_NE(error, 0);
    EXPECT_EQ(std::u16string(version), u"10.3");
    EXPECT_EQ(UDrvOpen(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Fake().openCalls, 0);
    EXPECT_EQ(UDrvOpen(0, &settings, nullptr, nullptr), 1);
}

TEST_F(OpenCloseTest, CloseReleasesInOrderAndReturnsPortClose) {
    ASSERT_EQ(UDrvOpen(0, &settings, version, &error), 1);
    const std::vector<void*> blocks = Fake().allocBlocks;
    Fake().closeResult = 42;
    EXPECT_EQ(UDrvClose(), 42);
    EXPECT_EQ(Fake().frees, blocks);
    EXPECT_EQ(Driver.GroupTable, nullptr);
    EXPECT_EQ(Driver.ItemTable, nullptr);
    EXPECT_EQ(Driver.UnsolItemTable, nullptr);
    EXPECT_EQ(Driver.UnsolSlots, nullptr);
    EXPECT_EQ(Driver.StringSlots, nullptr);
    EXPECT_EQ(Fake().closeCalls, 1);
    EXPECT_EQ(Driver.LocalStation, 4u);  // settings keep their values
    // A second close has nothing left to release.
    EXPECT_EQ(UDrvClose(), 0);
    EXPECT_EQ(Fake().closeCalls, 1);
    EXPECT_EQ(Fake().frees.size(), blocks.size());
}

TEST_F(OpenCloseTest, ReopenAfterClose) {
    ASSERT_EQ(UDrvOpen(0, &settings, version, &error), 1);
    (void)UDrvClose();
    ASSERT_EQ(UDrvOpen(0, &settings, version, &error), 1);
    EXPECT_EQ(Fake().allocs.size(), 8u);
    EXPECT_NE(Driver.UnsolSlots, nullptr);
}

}  // namespace
}  // namespace mira
