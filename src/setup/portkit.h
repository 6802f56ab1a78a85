// The operations the driver imports from Portkit and the port object whose
// words it reads and writes: declared in mira/portkit.h, where Portkit, which
// defines them, and its hosts see them too.
#pragma once

#include "mira/portkit.h"
