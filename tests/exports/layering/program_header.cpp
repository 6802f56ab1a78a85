// Compiled with the gateway's include path: a program on top sees the host
// library, never another program's headers, so the build of this file is
// expected to fail.
#include "cli/args.h"
