#include "serve/config.h"

namespace mira::serve {
namespace {

// The core's part of the example: it serves the built-in simulator's sample
// tables as they stand.
constexpr const char* kCoreSample = R"(# mira serve: one process owns the line, scans these tags and serves them.
# Print the scan plan with `mira serve --plan FILE`; serve with `mira serve FILE`.

# The line: the command line's options, with _ for -.
[line]
port = "sim"              # sim, sim:plc5, sim:plc2, /dev/ttyUSB0, /dev/serial/by-id/..., socket://HOST:PORT
baud = 19200
parity = "none"           # none, odd, even
data_bits = 8
stop_bits = 1
check = "crc"             # crc or bcc
# model = "SLC500"        # SLC500, PLC5, 5:1, PLC2 ...; by default from the port
mode = "Standard"         # BCD mode: Standard or Nonstandard
station = 0               # our own station
dst = 1                   # the controller's station
timeout = "1s"            # reply time-out
ack_timeout = "250ms"
nak_retries = 3
enq_retries = 3
turnaround = "5ms"        # how long the controller takes to answer; for planning only

# Scan classes: each reads its tags every period. A tag takes the first
# unless it names another.
[[scan]]
name = "fast"
every = "250ms"

[[scan]]
name = "slow"
every = "1s"

# Tags: a whole address (N7:10, F8:3, B3:0/5, T4:0.ACC, ST9:0, I:1.0/3) or a
# header and an item (N7:0 W10). Names: letters, digits and _ - . /.
[[tag]]
name = "tank/level"
address = "N7:0"

[[tag]]
name = "tank/setpoint"
address = "N7:1"
writable = true

[[tag]]
name = "tank/limit"
address = "N7:0 W3"
writable = true

[[tag]]
name = "pump/running"
address = "B3:0/5"
writable = true

[[tag]]
name = "flow"
address = "F8:0"
scan = "slow"

[[tag]]
name = "mixer/elapsed"
address = "T4:0.ACC"
scan = "slow"

[[tag]]
name = "batch/count"
address = "C5:0.ACC"
scan = "slow"

[[tag]]
name = "batch/recipe"
address = "ST9:0"         # a string without a length reads all 82 characters
scan = "slow"
writable = true
# station = 2             # another controller on the same line than [line] dst
)";

}  // namespace

std::string ExampleConfig(const std::vector<FaceKind>& faces) {
    std::string text = kCoreSample;
    for (const FaceKind& face : faces)
        if (!face.sample.empty()) text += "\n" + face.sample;
    return text;
}

}  // namespace mira::serve
