// What the line showed during one exchange: the frames the controller
// refused with DLE NAK (Portkit's counters), and the status bytes of the last
// reply frame (the trace lines that Portkit hands mira). A failure is then explained by its cause (a status, a
// frame-check mismatch, silence) rather than by the driver's code alone.
#pragma once

#include <cstdint>
#include <string>

namespace mira::host {

struct LineObservation {
    uint32_t naks = 0;    // DLE NAKs that refused a frame of ours
    uint32_t acks = 0;    // DLE ACKs that took a frame of ours (not a line reset's answer)
    bool reply = false;   // a reply frame (CMD with 0x40) was received
    uint8_t sts = 0;      // its STS
    uint8_t extSts = 0;   // the byte after its TNS (EXT STS with STS 0xF0)
    uint64_t bytes = 0;   // bytes received since the exchange began
    int32_t carried = -1; // a short reply: the data bytes it carried
    int32_t asked = -1;   // and those the request asked for
};

// Takes one trace line (time stamp, then the text) into *seen.
void ObserveTraceLine(const char* line, LineObservation* seen);

// Routes Portkit's trace lines through the host: every line still goes to path
// ("-" stderr, "" nowhere), and is observed. False when path cannot be opened.
bool WatchLine(const std::string& path);
void StopWatching();

// Starts a new exchange's observation; what it has seen so far.
void BeginExchange();
LineObservation Observed();

}  // namespace mira::host
