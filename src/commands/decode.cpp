// BCD words: the decoding of reads and the encoding the writes send.
#include "commands/decode.h"

#include "setup/driver_state.h"

namespace mira {

int32_t DecodeBcd(uint16_t word, HostValue* record) {
    const int32_t d0 = word & 0xF;
    const int32_t d1 = (word >> 4) & 0xF;
    const int32_t d2 = (word >> 8) & 0xF;
    const int32_t d3 = (word >> 12) & 0xF;
    // Nibbles above 9 are taken at face value: the controller's own BCD
    // instructions never produce them, and refusing them would hide a value.
    int32_t number = d0 + 10 * d1 + 100 * d2;
    if (Driver.NonStandardBcd == 0 || record == nullptr)
        number += 1000 * d3;
    else if (d3 != 0)
        // The non-standard mode carries the thousands digit in the quality
        // word, so the host sees 1..15 there for a value above 999.
        record->quality = static_cast<uint16_t>(d3);
    return number;
}

uint16_t EncodeBcd(int32_t value) {
    int32_t thousands = value / 1000;
    if (thousands > 9) thousands = 9;
    const int32_t rest = value - (value / 1000) * 1000;
    const int32_t hundreds = rest / 100;
    const int32_t rest2 = rest - 100 * hundreds;
    const int32_t tens = rest2 / 10;
    const int32_t units = rest2 - 10 * tens;
    const uint32_t word = (static_cast<uint32_t>(thousands) << 12) + (static_cast<uint32_t>(hundreds) << 8) +
                          (static_cast<uint32_t>(tens) << 4) + static_cast<uint32_t>(units);
    return static_cast<uint16_t>(word);
}

}  // namespace mira
