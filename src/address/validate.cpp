// Placeholder until header and address validation lands.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvValidHeader(char16_t*) { return 0; }
MIRA_API int32_t UDrvValidAddress(const char16_t*, char16_t*) { return 0; }
MIRA_API int32_t UDrvValidString1(const char16_t*) { return 0; }
}
