// The two records texts are parsed into: a header (PlcAddress) and an item
// (ItemRequest). Their layouts are fixed: groups and tables store them by
// the thousand, and ItemTable rows are 28 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace mira {

// One parsed header.
struct PlcAddress {
    int32_t station;          // destination station (DST byte)
    char16_t stationText[82]; // station text, at most 80 characters, terminated
    int32_t fileNumber;       // -1 when none was parsed
    int32_t fileType;         // PCCC file type code, -1 when none was recognised
    int32_t fileLetter;       // row of FileLetterTable (letter syntax only)
    int32_t slot;             // I/O slot, or the leading number of type/slot:file:element
    int32_t elementBase;      // element the header names, -1 when none
    int32_t startElement;     // first element of the last request (builders only)
    int32_t elementCount;     // elements or words of that request (builders only)
};

// One parsed item.
struct ItemRequest {
    int32_t kind;        // 0 word, 1 BCD, 2 float, 3 string, 4 none
    int32_t element;     // offset from the header's elementBase
    int32_t size;        // string length in characters
    int32_t hasBit;      // 1 when the item names a bit
    int32_t bit;         // the bit number, when hasBit is 1
    int32_t mnemonic;    // row of the file type's mnemonic table
    char16_t separator;  // '/' or '.', typed between element and bit
};

static_assert(std::is_standard_layout_v<PlcAddress> && std::is_trivially_copyable_v<PlcAddress>);
static_assert(std::is_standard_layout_v<ItemRequest> && std::is_trivially_copyable_v<ItemRequest>);
static_assert(sizeof(ItemRequest) == 28);
static_assert(offsetof(ItemRequest, separator) == 24);
static_assert(offsetof(PlcAddress, stationText) == 4);
static_assert(offsetof(PlcAddress, fileNumber) == 168);
static_assert(sizeof(PlcAddress) == 196);

}  // namespace mira
