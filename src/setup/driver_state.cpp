#include "setup/driver_state.h"

namespace mira {

DriverState InitialDriverState() {
    DriverState s{};
    s.ModelClass = kClassPlc2;
    s.NonStandardBcd = 1;
    s.AltAddressMode = 1;
    s.HasTypePrefix = 1;
    return s;
}

DriverState Driver = InitialDriverState();

void ResetDriverState() { Driver = InitialDriverState(); }

}  // namespace mira
