#pragma once

#include <cstdint>

#include "mira/mira.h"

namespace mira {

// BCD digits of a word to their number. With NonStandardBcd 1 and a record,
// the thousands digit is not added but stored as the record's quality.
int32_t DecodeBcd(uint16_t word, HostValue* record);

// A number to the BCD word the writes send (12345 -> 0x9345).
uint16_t EncodeBcd(int32_t value);

}  // namespace mira
