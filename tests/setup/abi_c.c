/* The host headers are usable from C: they compile, and the records keep the
 * byte layout a host compiled in C relies on. */
#include <stddef.h>
#include <stdio.h>

#include "mira/mira.h"
#include "mira/portkit_codes.h"

_Static_assert(sizeof(HostValue) == 192, "HostValue");
_Static_assert(sizeof(HostValueCore) == 176, "HostValueCore");
_Static_assert(offsetof(HostValue, quality) == 176, "quality");
_Static_assert(offsetof(HostValue, timestamp) == 180, "timestamp");
_Static_assert(offsetof(DriverSettings, StationText) == 44, "StationText");
_Static_assert(offsetof(DriverSettings, ErrorCheckOption) == 540, "ErrorCheckOption");

int main(void) {
    HostValue value = {0};
    DriverSettings settings = {0};
    value.valueType = 1;
    settings.baud = 19200;
    printf("HostValue %u DriverSettings %u\n", (unsigned)sizeof value, (unsigned)sizeof settings);
    return value.valueType == 1 && settings.baud == 19200 ? 0 : 1;
}
