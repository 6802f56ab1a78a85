// The window through which a host on Windows hears of unsolicited frames, as
// an HMI does: a message-only window with its message loop on a thread of its
// own. The loop hands each message 0x600 to the line's MiraWindow record, the
// way the window bridge calls it on Linux.
#pragma once

#include "mira/mira.h"

namespace mira::host::windows {

// Starts the loop and returns the window's HWND as a handle for UDrvOpen, or 0
// when no window or thread could be made.
MiraWindowHandle OpenHostWindow(const MiraWindow* record);

// Returns once every message posted to the window so far was handed on; the
// messages after it are dropped (UDrvClose is about to free their key texts).
void DrainHostWindow();

// Ends the loop and destroys the window; nothing when none is open.
void CloseHostWindow();

}  // namespace mira::host::windows
