// Until the Linux Portkit lands, every port open fails cleanly.
#include <cstdlib>

#include "mira/portkit_codes.h"
#include "setup/portkit.h"

extern "C" {
generic_port* PkPortOpen(MiraWindowHandle, const DriverSettings*, int32_t* error) {
    *error = MIRA_PK_ERR_SETTINGS;
    return nullptr;
}
int32_t PkPortClose(generic_port*) { return 0; }
void PkRegisterHandler(generic_port*, PkReceiveHandler) {}
int32_t PkReceiveByte(generic_port*, uint8_t*) { return 0; }
void PkSend(generic_port*, const uint8_t*, int32_t) {}
int32_t PkOutputDone(generic_port*) { return 1; }
void PkYield() {}
void PkStatusUpdate(generic_port*) {}
void PkTrace(const char16_t*) {}
void PkStationText(generic_port*, const char16_t*, char16_t* buffer, int32_t) { buffer[0] = 0; }
void* PkTableAlloc(int32_t count, int32_t recordSize) {
    return std::calloc(static_cast<size_t>(count), static_cast<size_t>(recordSize));
}
void PkTableFree(void* block) { std::free(block); }
void PkStringStep(generic_port*) {}
}
