// Opening and closing the driver, up to the line: the settings, the port, the
// tables and the receive handler's registration, and their release.
#pragma once

#include <cstdint>

#include "mira/mira.h"
#include "setup/portkit.h"

namespace mira {

// Everything UDrvOpen does before it resets the line: 1 when the driver is
// open, 0 with *error as the port open (or a refused table) left it.
// `handler` is registered as the port's receive handler.
[[nodiscard]] int32_t OpenDriver(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                                 int32_t* error, PkReceiveHandler handler);

// Releases the group table, the window bridge and the tables and closes the
// port (the groups are removed first by the caller). Returns what Portkit's
// port close returns, 0 when no port is open.
int32_t CloseDriver();

}  // namespace mira
