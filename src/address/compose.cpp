// Placeholder until header address composition and comparison lands.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvGetHeaderAddress(const char16_t*, const char16_t*, const char16_t*, const char16_t*, char16_t*,
                                      char16_t*) {
    return 0;
}
MIRA_API int32_t UDrvCompareAddress(const char16_t*, const char16_t*, const char16_t*, const char16_t*) { return 0; }
}
