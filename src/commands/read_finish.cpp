// Placeholder until the read finish lands.
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvReadGroupFinishExt(HostValue*, int32_t, int32_t, int32_t*) { return 0; }
}
