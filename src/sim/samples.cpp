#include "sim/samples.h"

namespace mira::sim {

void AddSampleFiles(Options* options) {
    if (options->family != Family::Plc2) options->extraFiles.push_back({"ST", 9, 16});  // for the sample text
}

const char* SampleTables(Family family) {
    // Each family seeds what it has: a PLC-2 has words only.
    if (family == Family::Plc2) return "U:0=100\nU:1=200\nU:2=-300\nU:3=4660\n";
    return R"(N7:0=100
N7:1=200
N7:2=-300
N7:3=4660
B3:0=5
F8:0=3.14159
T4:0.PRE=1000
T4:0.ACC=250
C5:0.PRE=10
C5:0.ACC=3
R6:0.LEN=8
ST9:0="MIRA"
)";
}

}  // namespace mira::sim
