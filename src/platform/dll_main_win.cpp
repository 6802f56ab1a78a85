// The library's entry point: nothing beyond the runtime's own start-up. The
// driver keeps no per-thread state, so thread attach and detach calls are
// turned off.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
