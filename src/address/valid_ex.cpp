// Placeholder until extended address validation lands.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvValidAddressEx(char16_t*) { return 0; }
}
