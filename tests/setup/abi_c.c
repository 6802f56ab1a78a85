/* The host headers are usable from C: they compile, their own layout checks
 * included, and a host can fill their records. */
#include "mira/mira.h"
#include "mira/portkit_codes.h"

int main(void) {
    HostValue value = {0};
    DriverSettings settings = {0};
    value.valueType = 1;
    settings.baud = 19200;
    return value.valueType == 1 && settings.baud == 19200 ? 0 : 1;
}
