// DF1 data frames: the codec is declared in mira/df1_frame.h, where the
// frame tool sees it too; the driver frames with the check UseCrc chooses.
#pragma once

#include "mira/df1_frame.h"
#include "setup/driver_state.h"

namespace mira {

// The frame of a message with the driver's own check.
inline void EncodeDriverFrame(const uint8_t* message, int32_t length, uint8_t* out, int32_t* outLength) {
    EncodeFrame(message, length, Driver.UseCrc != 0, out, outLength);
}

}  // namespace mira
