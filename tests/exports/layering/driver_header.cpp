// Compiled with the include path of a target that must not see the driver's
// records: the build of this file is expected to fail.
#include "setup/driver_state.h"
