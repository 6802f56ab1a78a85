// Placeholder until unsolicited delivery lands.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvProcessUnsolicitedReadMessage(int32_t, const char16_t*, const char16_t*, const char16_t* const*,
                                                   HostValueCore*, int32_t, int32_t*) {
    return 0;
}
}
