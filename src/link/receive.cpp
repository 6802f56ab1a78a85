// Placeholder until the receive handler lands.
#include "setup/portkit.h"

extern "C" {
MIRA_API void HandInts(generic_port*) {}
}
