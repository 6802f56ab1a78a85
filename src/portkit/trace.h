// The trace sink shared by PkTrace and Portkit's own lines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mira::portkit {

// True when a sink is set (cheap; lets callers skip formatting).
bool TraceOn();

// Writes one line (UTF-8, no line feed) with its time stamp to the sink.
void TraceLine(const char* text);

// Formats "Tx:" and "%02X " per byte, at most the first 84 bytes, as the
// driver formats its "Rx:" lines. out holds at least 4 + 3 * 84 + 1 bytes.
inline constexpr size_t kTxTraceBytes = 84;
inline constexpr size_t kTxTraceCapacity = 4 + 3 * kTxTraceBytes + 1;
void FormatTx(const uint8_t* bytes, size_t count, char* out);

}  // namespace mira::portkit
