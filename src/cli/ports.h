// The serial ports of a machine, as `mira ports` lists them.
#pragma once

#include <cstdio>
#include <string>

namespace mira::cli {

// Writes one line per serial device found under root ("" for this machine):
// its /dev path and its /dev/serial/by-id name, with a warning under a USB
// adapter whose latency timer holds received bytes for more than 2 ms. With
// json, one object per device instead: port, stable (or null), latency_ms
// (or null where the device has no latency timer).
void ListPorts(const std::string& root, FILE* out, bool json);

}  // namespace mira::cli
