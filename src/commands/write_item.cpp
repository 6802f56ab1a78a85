// Placeholder until the item writes land.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvWriteItemStart(const char16_t*, const char16_t*, const char16_t*, HostValueCore*, int32_t*) {
    return 0;
}
MIRA_API int32_t UDrvWriteItemFinish(int32_t*) { return 0; }
}
