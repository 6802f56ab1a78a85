// Compiled with the host library's include path: of Portkit it sees the
// header written for hosts only, so the build of this file is expected to fail.
#include "portkit/line.h"
