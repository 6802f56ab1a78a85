// The serial ports of a machine, as `mira ports` lists them.
#pragma once

#include <cstdio>
#include <string>

namespace mira::cli {

// Writes one line per serial device found under root ("" for this machine):
// its /dev path and its /dev/serial/by-id name, with a warning under a USB
// adapter whose latency timer holds received bytes for more than 2 ms.
void ListPorts(const std::string& root, FILE* out);

}  // namespace mira::cli
