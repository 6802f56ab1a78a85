// What a host of MIRA's Portkit may call besides the operations the driver
// imports (setup/portkit.h): where trace lines go, and texts for the codes.
//
// Thread safety: the trace functions may be called from any thread; a line
// being written while the sink changes goes to the old or the new sink.
#pragma once

#include <cstdint>

extern "C" {

// Receives each trace line, already time-stamped, without a line feed. Runs on
// whichever thread traced (often the receive thread): copy and return.
using PkTraceCallback = void (*)(void* context, const char* line);

// Sends trace lines to a file (appended), or to stderr when path is "-".
// Returns 1, or 0 when the file cannot be opened (tracing is then off).
int32_t PkTraceToFile(const char* path);

// Sends trace lines to a host callback; a null callback turns tracing off.
void PkTraceToCallback(PkTraceCallback callback, void* context);

// Turns tracing off and closes a trace file.
void PkTraceOff();

// How many bytes the lines of this process have received since the library
// was loaded. A host tells a silent controller from one that answered with
// something, even only a DLE ACK, by the count moving.
uint64_t PkReceivedBytes();

// The meaning of a Portkit code (mira/portkit_codes.h), or null for others.
const char* PkCodeText(uint32_t code);

// A human description of why the last PkPortOpen on this thread failed, for
// instance "/dev/ttyUSB0: No such file or directory"; "" after a success.
const char* PkLastOpenError();

}  // extern "C"
