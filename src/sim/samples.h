// What a simulated controller holds when it starts, so that a first read
// shows values rather than a table of zeros: the same for the built-in
// simulator and for `mira sim`.
#pragma once

#include "sim/simulator.h"

namespace mira::sim {

// Adds the files the samples need beyond the standard ones (ST9).
void AddSampleFiles(Options* options);

// The samples of a family as Seed lines.
const char* SampleTables(Family family);

}  // namespace mira::sim
