// mira-frame: prints the DF1 frame of a message given in hex.
//
//   mira-frame [--crc] 01 00 0F 00 2A 00 A2 02 07 89 00 00
//
// The message bytes may be given as separate arguments or as one string;
// anything that is not a hex digit separates bytes.
#include <cstdio>
#include <cstring>
#include <vector>

#include "mira/df1_frame.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    bool crc = false;
    std::vector<uint8_t> message;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--crc") == 0) {
            crc = true;
            continue;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::puts("usage: mira-frame [--crc] HEX...");
            return 0;
        }
        int nibbles = 0, value = 0;
        for (const char* p = argv[i];; ++p) {
            const int v = *p != 0 ? HexValue(*p) : -1;
            if (v >= 0) {
                value = value * 16 + v;
                if (++nibbles == 2) {
                    message.push_back(static_cast<uint8_t>(value));
                    nibbles = value = 0;
                }
                continue;
            }
            if (nibbles == 1) message.push_back(static_cast<uint8_t>(value));
            nibbles = value = 0;
            if (*p == 0) break;
        }
    }
    if (message.size() > 511) {
        std::fputs("mira-frame: a DF1 message holds at most 511 bytes\n", stderr);
        return 2;
    }
    std::vector<uint8_t> frame(static_cast<size_t>(mira::FrameCapacity(static_cast<int32_t>(message.size()))));
    int32_t length = 0;
    mira::EncodeFrame(message.data(), static_cast<int32_t>(message.size()), crc, frame.data(), &length);
    for (int32_t i = 0; i < length; ++i) std::printf(i ? " %02X" : "%02X", frame[static_cast<size_t>(i)]);
    std::printf("\n");
    return 0;
}
