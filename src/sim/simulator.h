// An in-process DF1 full-duplex controller: SLC 500, PLC-5 or PLC-2 data
// tables behind a link that answers like the real thing. It is built from the
// protocol alone and shares no code with the driver, so a driver test against
// it proves something.
//
// The simulator is a byte pipe: the master's bytes go in with FromMaster, the
// controller's bytes come out with ToMaster. Every member is safe to call
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mira::sim {

enum class Family { Slc500, Plc5, Plc2 };

struct Options {
    Family family = Family::Slc500;
    uint8_t station = 1;        // the controller's DF1 station number
    bool crc = false;           // CRC-16 instead of BCC
    uint32_t replyDelayMs = 0;  // time before a reply is released to ToMaster
};

class Simulator {
public:
    explicit Simulator(const Options& options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Bytes the master sent on the line.
    void FromMaster(const uint8_t* bytes, size_t count);

    // Copies at most `capacity` bytes the controller has for the master and
    // returns how many; 0 when none are due yet.
    size_t ToMaster(uint8_t* out, size_t capacity);

    // Queues an unsolicited message (a complete PCCC command: DST, SRC, CMD,
    // STS, TNS, data) framed and sent as the controller would.
    void SendUnsolicited(const std::vector<uint8_t>& message);

    // Direct access to the data tables, for tests and for `mira sim`.
    // Address texts are the controller's own (N7:0, B3:1, F8:2, ST9:0 ...).
    bool Poke(const std::string& address, const std::string& value);
    bool Peek(const std::string& address, std::string* value) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mira::sim
