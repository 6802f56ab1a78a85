// The receive side of the DF1 link. HandInts itself is exported (mira.h).
#pragma once

#include <cstdint>

namespace mira {

// Receive states of the port's RxState.
enum RxStateValue : uint32_t {
    StIdle = 0,      // waiting for a DLE
    StDle = 1,       // the byte after that DLE
    StData = 2,      // a message byte, or a DLE
    StDataDle = 3,   // the byte after a DLE inside a frame
    StCheck = 4,     // the BCC byte, or the high CRC byte
    StCrcFirst = 5,  // the low CRC byte
};

}  // namespace mira
