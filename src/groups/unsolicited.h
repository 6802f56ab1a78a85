// Delivery of the commands a controller sent on its own, stored by the
// receive handler in UnsolSlots.
#pragma once

#include <cstdint>

#include "setup/driver_state.h"

namespace mira {

// Data words a delivery can hand out.
inline constexpr int32_t kUnsolDataWords = 256;

// Of the slots in use whose key text, up to its tab, equals key exactly
// (case-sensitive), the one stored first, or -1. Frames under one key are
// thus taken in the order their window messages were posted, whichever slot
// each found free.
int32_t FindUnsolicitedSlot(const char16_t* key);

// The data words of a stored command that actually came with the frame:
// from byte 8 (the PLC-2 style write), or after the address fields of an SLC
// typed write; at most kUnsolDataWords.
struct UnsolData {
    int32_t words = 0;
    uint32_t word[kUnsolDataWords] = {};
};
UnsolData UnsolicitedData(const UnsolSlot& slot);

// UDrvProcessUnsolicitedReadMessage: hands the words of the frame stored
// under headerText to the host as values, answers the controller and frees
// the slot; with itemCount 0 and values null the frame is discarded (0, 280).
[[nodiscard]] int32_t ProcessUnsolicited(const char16_t* headerText, const char16_t* stationRef,
                                         const char16_t* const* itemTexts, HostValueCore* values,
                                         int32_t itemCount, int32_t* error);

}  // namespace mira
