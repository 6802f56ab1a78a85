// Parsers that turn the host's header, item and whole-address texts into
// PlcAddress and ItemRequest records.
#pragma once

#include <cstdint>

#include "setup/records.h"

namespace mira {

// Reads a header text (N7:0, T4, I:1.2, ST20:0, U:40, integer/7:0,
// timer/1:4:0). 0 when good, -37 when not; a refused text leaves the fields
// set before the refusal. Sets LetterSyntax.
[[nodiscard]] int32_t ParseHeader(PlcAddress* header, const char16_t* stationText, const char16_t* headerText);

// Reads an item text (5, W5, 3/7, 0.DN, S0.10) under a parsed header.
// 0, -34 (mnemonic) or -37 (no prefix under U). Sets HasTypePrefix.
[[nodiscard]] int32_t ParseItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText);

// Reads one text holding header and item (N7:W5, T4:W0.DN, I:1.W0). Callers
// judge the outcome by the records and the flags alone.
void ParseFullAddress(PlcAddress* header, ItemRequest* item, const char16_t* stationText,
                      const char16_t* addressText);

// Removes white space at both ends of a writable text in place.
void TrimBlanks(char16_t* text);

}  // namespace mira
