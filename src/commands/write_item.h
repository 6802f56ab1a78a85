// The single-item write request.
#pragma once

#include <cstdint>

#include "commands/element_layout.h"
#include "mira/mira.h"

namespace mira {

// The words of a write that are prepared before the request is built: W
// (and H, the high word of a float), or the words of a timer, counter or
// control element in the controller's order (the element layout's: CON,
// PRE/LEN, ACC/POS; a PLC-5 timer CON, PRE, EX1, ACC, EX2).
struct ItemWords {
    int32_t w = 0;
    uint16_t h = 0;
    uint16_t element[kMaxElementWords] = {};
};

// Builds the write request for CurrentHeader and ItemTable row 0 from the
// prepared words and the host value (whose text a string write cuts and
// rewrites in place), into message (kMaxRequestBytes). Advances TnsCounter
// only when built. Returns 0, or 32001 (string on PLC-2), -34 (a bit of a
// timer, counter or control element) or -39 (address or data too large).
[[nodiscard]] int32_t BuildItemWrite(const ItemWords& words, HostValueCore& value, uint8_t* message,
                                     int32_t* length);

// UDrvWriteItemStart on an open driver: a bit or a timer, counter or control
// sub-element is read first (a whole read, to its end), then the write goes
// out. 1 when it did, else 0 with *error set.
[[nodiscard]] int32_t StartItemWrite(const char16_t* stationRef, const char16_t* headerText,
                                     const char16_t* itemText, HostValueCore* value, int32_t* error);

}  // namespace mira
