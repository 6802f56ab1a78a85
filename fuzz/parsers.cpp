// The header, item and whole-address parsers. Byte 0 picks the model class (and, above 2, octal
// I/O and the alternative address mode); the rest, as 16-bit code units split at '\n', is the
// header (or whole address) and the item text, in buffers exactly as long as given so that the
// sanitizers catch a read past the terminator. A text a request would be built from must reprint,
// through the address checks' canonical form, to a text taken as the same address.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "address/checks.h"
#include "address/tables.h"
#include "address/taken.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

using namespace mira;

namespace {

// A check's rewrite of a text, in a buffer of the size the checks document.
template <class Check>
std::vector<char16_t> Canonical(const char16_t* text, Check check) {
    std::vector<char16_t> buffer(MIRA_CHECKED_TEXT_BUFFER, 0);
    std::copy(text, text + wide::wcsnlen(text, MIRA_MAX_CHECKED_TEXT), buffer.begin());
    (void)check(buffer.data());
    return buffer;
}

// What a request is built from (no element or slot named is 0), and what the item takes of it.
auto Named(const PlcAddress& h, const ItemRequest& i) {
    return std::tuple(h.fileType, h.fileNumber, std::max(h.slot, 0), std::max(h.elementBase, 0), i.kind, i.element,
                      i.hasBit ? i.bit : -1, IsWholeElementFile(h.fileType) ? i.mnemonic : 0, i.kind == 3 ? i.size : 0);
}

void Reprints(const char16_t* headerText, const char16_t* itemText) {
    PlcAddress h = FreshHeader(), again = FreshHeader();
    ItemRequest item{}, itemAgain{};
    if (TakeHeader(&h, u"0", headerText).code != 0) return;
    if (TakeHeader(&again, u"0", Canonical(headerText, UDrvValidHeader).data()).code != 0 ||
        Named(again, item) != Named(h, item))
        __builtin_trap();
    if (TakeItem(&h, &item, itemText).code != 0) return;
    const auto canon = Canonical(itemText, [&](char16_t* b) { return UDrvValidAddress(headerText, b); });
    if (TakeItem(&h, &itemAgain, canon.data()).code != 0 || Named(h, itemAgain) != Named(h, item)) __builtin_trap();
}

void AddressReprints(const char16_t* text) {
    if (TakeAddress(text) != 0) return;
    const auto canon = Canonical(text, UDrvValidAddressEx);
    PlcAddress h = FreshHeader(), again = FreshHeader();
    ItemRequest item{}, itemAgain{};
    ParseFullAddress(&h, &item, u"0", text);
    ParseFullAddress(&again, &itemAgain, u"0", canon.data());
    if (TakeAddress(canon.data()) != 0 || Named(again, itemAgain) != Named(h, item)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ResetDriverState();
    test::ResetFake();
    static constexpr uint32_t kClasses[] = {kClassSlc500, kClassPlc5, kClassPlc2};
    const uint32_t modelClass = kClasses[data[0] % 3];
    Driver.ModelClass = modelClass;
    Driver.Plc5Family = modelClass == kClassPlc5 ? 1 : 0;
    Driver.OctalIo = Driver.Plc5Family == 1 && data[0] / 3 % 2 == 1 ? 1 : 0;
    Driver.AltAddressMode = data[0] / 6 % 2;
    std::vector<char16_t> units;
    for (size_t i = 1; i + 1 < size; i += 2) units.push_back(char16_t(data[i] | (data[i + 1] << 8)));

    std::vector<char16_t> first, second;
    size_t i = 0;
    for (; i < units.size() && units[i] != u'\n'; ++i) first.push_back(units[i]);
    for (++i; i < units.size(); ++i) second.push_back(units[i]);
    first.push_back(0);
    second.push_back(0);

    PlcAddress header{};
    ItemRequest item{};
    (void)ParseHeader(&header, second.data(), first.data(), modelClass);
    (void)ParseItem(&header, &item, second.data());
    ParseFullAddress(&header, &item, second.data(), first.data());
    (void)ParseItem(&header, &item, first.data());

    Reprints(first.data(), second.data());
    AddressReprints(first.data());

    std::vector<char16_t> trimmed = first;
    TrimBlanks(trimmed.data());
    // The stored station text stays terminated within its 80 characters.
    if (wide::wcsnlen(header.stationText, 82) > 80) __builtin_trap();
    return 0;
}
