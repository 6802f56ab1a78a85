#include "mira/df1_frame.h"

namespace mira {

void CrcStep(uint16_t* crc, uint8_t byte) {
    uint16_t c = static_cast<uint16_t>(*crc ^ byte);
    for (int i = 0; i < 8; ++i) c = (c & 1u) ? static_cast<uint16_t>((c >> 1) ^ 0xA001u) : static_cast<uint16_t>(c >> 1);
    *crc = c;
}

void EncodeFrame(const uint8_t* message, int32_t length, bool useCrc, uint8_t* out, int32_t* outLength) {
    int32_t w = 0;
    out[w++] = kDLE;
    out[w++] = kSTX;
    uint32_t sum = 0;
    uint16_t crc = 0;
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = message[i];
        out[w++] = b;
        if (useCrc)
            CrcStep(&crc, b);
        else
            sum += b;
        if (b == kDLE) out[w++] = kDLE;
    }
    out[w++] = kDLE;
    out[w++] = kETX;
    if (useCrc) {
        CrcStep(&crc, kETX);
        out[w++] = static_cast<uint8_t>(crc & 0xFFu);
        out[w++] = static_cast<uint8_t>(crc >> 8);
    } else {
        out[w++] = static_cast<uint8_t>((256u - (sum & 0xFFu)) & 0xFFu);
    }
    *outLength = w;
}

}  // namespace mira
