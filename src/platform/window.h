// The bridge that delivers window messages to the host. On Windows the
// handle is an HWND; here it is the address of the host's MiraWindow record.
#pragma once

#include <cstdint>

#include "mira/mira.h"

namespace mira {

// Posts message to the host's window; a zero handle posts nothing.
// Returns true when the message was handed on.
bool PostMessageW(MiraWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

}  // namespace mira
