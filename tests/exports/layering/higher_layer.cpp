// Compiled with the setup layer's include path: the link layer sits above
// it, so the build of this file is expected to fail.
#include "link/channel.h"
