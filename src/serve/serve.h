// `mira serve`: the gateway's entry, called by the mira command line.
#pragma once

#include <string>

namespace mira::serve {

struct Invocation {
    std::string config;    // the TOML file
    bool example = false;  // --example: print the commented example
    bool plan = false;     // --plan: print the scan plan, leave the line closed
    bool verbose = false;  // --verbose: debug lines too
    bool quiet = false;    // --quiet: warnings and errors only
};

// Returns mira's exit status: 2 for a configuration with problems (each
// printed on stderr) before anything opens the line; 4 when the line or a
// face's socket cannot be opened; 0 once SIGTERM or SIGINT has closed the
// line. SIGHUP reads the tags and scan classes again.
int Run(const Invocation& invocation);

}  // namespace mira::serve
