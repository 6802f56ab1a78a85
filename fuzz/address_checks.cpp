// The six address checks with any texts. Byte 0 picks the model class; the rest, split at
// '\n', gives up to four texts (0xFF and two bytes: one code unit beyond ASCII). Every
// output buffer is sized for the longest text its check may write, then guard units.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mira/mira.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace {

constexpr char16_t kGuard = 0xA5A5;
constexpr size_t kGuards = 16;

struct Buffer {
    std::vector<char16_t> units;
    size_t room;
    Buffer(const std::u16string& typed, size_t maxChars)
        : units(std::max(typed.size(), maxChars) + 1 + kGuards, kGuard),
          room(std::max(typed.size(), maxChars) + 1) {
        std::copy(typed.begin(), typed.end(), units.begin());
        units[typed.size()] = 0;
    }
    // Guards intact and the text terminated within the room it was given.
    void Check() const {
        for (size_t i = room; i < units.size(); ++i)
            if (units[i] != kGuard) std::abort();
        size_t n = 0;
        while (n < room && units[n] != 0) ++n;
        if (n == room) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace mira;
    ResetDriverState();
    test::ResetFake();
    static constexpr uint32_t kClasses[] = {kClassSlc500, kClassPlc5, kClassPlc2};
    Driver.ModelClass = kClasses[(size > 0 ? data[0] : 0) % 3];
    std::vector<std::u16string> t(4);
    size_t f = 0;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == '\n') {
            if (++f == t.size()) break;
        } else if (data[i] == 0xFF && i + 2 < size) {
            t[f] += char16_t(data[i + 1] | (data[i + 2] << 8));
            i += 2;
        } else {
            t[f] += char16_t(data[i]);
        }
    }
    for (auto& s : t)
        for (auto& c : s)
            if (c == 0) c = u' ';
    Buffer h(t[0], MIRA_VALID_HEADER_MAX);
    UDrvValidHeader(h.units.data());
    h.Check();
    Buffer a(t[1], MIRA_VALID_ADDRESS_MAX);
    UDrvValidAddress(t[0].c_str(), a.units.data());
    a.Check();
    const int32_t m = UDrvValidString1(t[0].c_str());
    if (m != 0 && m != 3) std::abort();
    const int32_t c = UDrvCompareAddress(t[2].c_str(), t[0].c_str(), t[3].c_str(), t[1].c_str());
    if (c < -1 || c > 1) std::abort();
    Buffer hh(u"", MIRA_HEADER_ADDRESS_HEADER_MAX), hi(u"", MIRA_HEADER_ADDRESS_ITEM_MAX);
    const int32_t g = UDrvGetHeaderAddress(t[2].c_str(), t[0].c_str(), t[3].c_str(), t[1].c_str(),
                                           hh.units.data(), hi.units.data());
    if (g != 0 && g != 1) std::abort();
    hh.Check();
    hi.Check();
    Buffer e(t[1], MIRA_VALID_ADDRESS_EX_MAX);
    UDrvValidAddressEx(e.units.data());
    e.Check();
    return 0;
}
