// Placeholder: the open/close work lands with the addressing issue.
#include "setup/driver_state.h"

extern "C" {

MIRA_API int32_t UDrvOpen(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                          int32_t* error) {
    mira::ApplySettings(window, settings, versionText, error);
    return 0;
}

MIRA_API int32_t UDrvClose(void) { return 0; }

MIRA_API int32_t UDrvGetType(const char16_t*, const char16_t*) { return 0; }

}  // extern "C"
