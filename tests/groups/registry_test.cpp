#include "groups/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        test::ResetFake();
        table_.assign(kGroupHandles, nullptr);
        Driver.GroupTable = table_.data();
    }
    void TearDown() override {
        UDrvRemoveAllGroups();
        ResetDriverState();
    }
    std::vector<GroupRecord*> table_;
};

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
        SCOPED_TRACE(handle);
        const int32_t count = itemCount == -1 ? int32_t(items.size()) : itemCount;
        EXPECT_EQ(UDrvAddGroup(handle, u"1", header, items.data(), count), result);
        const GroupRecord* g = FindGroup(handle);
        EXPECT_EQ(g != nullptr, result == 1);
        EXPECT_EQ(g != nullptr ? g->itemCount : count, count);
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

    UDrvRemoveGroup(7);  // empty: nothing happens
    UDrvRemoveGroup(-1);
    UDrvRemoveGroup(16384);
    UDrvRemoveGroup(6);
    EXPECT_EQ(FindGroup(6), nullptr);
    ASSERT_EQ(UDrvAddGroup(9, u"1", u"N7:0", one, 1), 1);
    UDrvRemoveAllGroups();
    for (GroupRecord* entry : table_) ASSERT_EQ(entry, nullptr);

    // Before open there is no table: every call does nothing.
    Driver.GroupTable = nullptr;
    EXPECT_EQ(UDrvAddGroup(1, u"1", u"N7:0", one, 1), 0);
    UDrvRemoveGroup(1);
    UDrvRemoveAllGroups();
    EXPECT_EQ(FindGroup(1), nullptr);
}

}  // namespace
}  // namespace mira
