// The header, item and whole-address parsers. Byte 0 picks the model class; the rest, as
// 16-bit code units split at '\n', is the header (or whole address) and the item text, in
// buffers exactly as long as given so that the sanitizers catch a read past the terminator.
#include <cstdint>
#include <cstring>
#include <vector>

#include "address/parser.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

using namespace mira;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    test::ResetFake();
    static constexpr uint32_t kClasses[] = {kClassSlc500, kClassPlc5, kClassPlc2};
    const uint32_t modelClass = kClasses[data[0] % 3];
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

    std::vector<char16_t> trimmed = first;
    TrimBlanks(trimmed.data());
    // The stored station text stays terminated within its 80 characters.
    if (wide::wcsnlen(header.stationText, 82) > 80) __builtin_trap();
    return 0;
}
