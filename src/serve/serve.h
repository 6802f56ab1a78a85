// `mira serve`: the gateway's entry, called by the mira command line.
#pragma once

#include <string>

namespace mira::serve {

struct Invocation {
    std::string config;    // the TOML file
    bool example = false;  // --example: print the commented example
    bool plan = false;     // --plan: print the scan plan, leave the line closed
};

// Returns mira's exit status: 0, or 2 for a configuration with problems
// (each printed on stderr), before anything opens the line.
int Run(const Invocation& invocation);

}  // namespace mira::serve
