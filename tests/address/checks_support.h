// The address checks on host buffers sized exactly for the longest text each may write, guarded after.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {

constexpr char16_t kGuard = 0xA5A5;
constexpr size_t kGuardUnits = 16;

// `typed` with room for max(typed, maxChars) characters and the terminator, then guards no check may touch.
class HostBuffer {
public:
    HostBuffer(const std::u16string& typed, size_t maxChars)
        : room_(std::max(typed.size(), maxChars) + 1), units_(room_ + kGuardUnits, kGuard) {
        std::copy(typed.begin(), typed.end(), units_.begin());
        units_[typed.size()] = 0;
    }
    char16_t* data() { return units_.data(); }
    // The text now in the buffer; fails the test when it is unterminated or a guard was overwritten.
    std::u16string Text() const {
        for (size_t i = room_; i < units_.size(); ++i)
            EXPECT_EQ(units_[i], kGuard) << "written past the buffer";
        const auto end = std::find(units_.begin(), units_.begin() + ptrdiff_t(room_), char16_t(0));
        EXPECT_NE(end, units_.begin() + ptrdiff_t(room_)) << "unterminated";
        return std::u16string(units_.begin(), end);
    }

private:
    size_t room_;
    std::vector<char16_t> units_;
};

// Runs a check that rewrites `typed` in place; its result (whether a read takes the text) is tested
// with the texts a read refuses.
template <class Check>
std::u16string Rewritten(const std::u16string& typed, size_t maxChars, Check check) {
    HostBuffer b(typed, maxChars);
    (void)check(b.data());
    return b.Text();
}
inline std::u16string ValidHeader(const std::u16string& t) {
    return Rewritten(t, MIRA_VALID_HEADER_MAX, UDrvValidHeader);
}
inline std::u16string ValidAddressEx(const std::u16string& t) {
    return Rewritten(t, MIRA_VALID_ADDRESS_EX_MAX, UDrvValidAddressEx);
}
inline std::u16string ValidAddress(const std::u16string& header, const std::u16string& typed) {
    return Rewritten(typed, MIRA_VALID_ADDRESS_MAX, [&](char16_t* b) { return UDrvValidAddress(header.c_str(), b); });
}

struct HeaderAddress {
    int32_t result;
    std::u16string header, item;
};
inline HeaderAddress GetHeaderAddress(const std::u16string& stationA, const std::u16string& a,
                                      const std::u16string& stationB, const std::u16string& b) {
    HostBuffer header(u"", MIRA_HEADER_ADDRESS_HEADER_MAX), item(u"", MIRA_HEADER_ADDRESS_ITEM_MAX);
    const int32_t r = UDrvGetHeaderAddress(stationA.c_str(), a.c_str(), stationB.c_str(), b.c_str(),
                                           header.data(), item.data());
    return {r, header.Text(), item.Text()};
}

// A fresh driver of the given model class; station references read as themselves.
inline void PrepareDriver(uint32_t modelClass) {
    ResetDriverState();
    ResetFake();
    Driver.ModelClass = modelClass;
}

}  // namespace mira::test
