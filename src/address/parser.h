// Parsers that turn the host's header, item and whole-address texts into
// PlcAddress and ItemRequest records. They keep no state: what they find
// besides the records comes back in their results, for the caller to keep
// in DriverState (LetterSyntax, HasTypePrefix) as the driver's rules say.
#pragma once

#include <cstdint>

#include "setup/records.h"

namespace mira {

// What a header parse found besides the record.
struct HeaderResult {
    int32_t code;       // 0 when good, -37 when not
    bool letterSyntax;  // the text was not in the numeric syntax (N7:0 rather than 7:0)
};

// What an item parse found besides the record.
struct ItemResult {
    int32_t code;     // 0, -34 (mnemonic) or -37 (no prefix under U)
    bool typePrefix;  // the item began with its type letter (W5 rather than 5)
};

// What a whole-address parse found besides the records: the syntax of its
// file part and, once the text got as far as an item, that item's letter.
struct AddressResult {
    bool letterSyntax;
    bool itemParsed;
    bool typePrefix;
};

// Reads a header text (N7:0, T4, I:1.2, ST20:0, U:40, integer/7:0,
// timer/1:4:0). A refused text leaves the fields set before the refusal.
// Below model class 5, file numbers 0..8 must name their reserved types.
[[nodiscard]] HeaderResult ParseHeader(PlcAddress* header, const char16_t* stationText,
                                       const char16_t* headerText, uint32_t modelClass);

// Reads an item text (5, W5, 3/7, 0.DN, S0.10) under a parsed header.
[[nodiscard]] ItemResult ParseItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText);

// Reads one text holding header and item (N7:W5, T4:W0.DN, I:1.W0). Callers
// judge the outcome by the records and the flags alone.
AddressResult ParseFullAddress(PlcAddress* header, ItemRequest* item, const char16_t* stationText,
                               const char16_t* addressText);

// Removes white space at both ends of a writable text in place.
void TrimBlanks(char16_t* text);

}  // namespace mira
