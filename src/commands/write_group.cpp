// Placeholder until the group writes land.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvWriteGroupStart(const char16_t*, const char16_t*, const char16_t* const*, HostValueCore*, int32_t,
                                     int32_t*) {
    return 0;
}
MIRA_API int32_t UDrvWriteGroupFinish(int32_t*) { return 0; }
}
