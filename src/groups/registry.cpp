// Placeholder until the group registry lands.
#include "groups/registry.h"
#include "mira/mira.h"

extern "C" {
MIRA_API int32_t UDrvAddGroup(int32_t, const char16_t*, const char16_t*, const char16_t* const*, int32_t) { return 0; }
MIRA_API void UDrvRemoveGroup(int32_t) {}
MIRA_API void UDrvRemoveAllGroups(void) {}
}
