// The subcommands that work without the driver.
#pragma once

#include <atomic>

#include "cli/args.h"

namespace mira::cli {

// Runs the simulator on a pseudo-terminal or a TCP port until stop is set.
int RunSim(const Options& options, const std::atomic<bool>& stop);

// Lists the serial ports and warns about slow USB adapters.
int RunPorts(const Options& options);

// Finds the controller on --port: its speed, parity, frame check, station
// and family (scan.h).
int RunScan(const Options& options);

// The gateway: loads, plans and serves a configuration (mira serve).
int RunServe(const Options& options);

}  // namespace mira::cli
