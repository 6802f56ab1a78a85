// Placeholder until the read starts land.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvReadGroupStart(const char16_t*, const char16_t*, const char16_t* const*, int32_t, int32_t*) {
    return 0;
}
MIRA_API int32_t UDrvReadGroupStartEx2(int32_t, int32_t*) { return 0; }
}
