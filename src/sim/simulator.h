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
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim/tables.h"

namespace mira::sim {

enum class Family { Slc500, Plc5, Plc2 };

// A data file beyond the standard ones: letters N, B, T, C, R, F, ST or A.
struct ExtraFile {
    std::string letters;
    uint16_t number = 0;
    uint32_t elements = 0;
};

struct Options {
    Family family = Family::Slc500;
    uint8_t station = 1;        // the controller's DF1 station number
    bool crc = false;           // CRC-16 instead of BCC
    uint32_t replyDelayMs = 0;  // time before a reply is released to ToMaster

    // Commands for other stations are acknowledged and not answered,
    // unless this is set.
    bool anyStation = false;
    // A repeated command (same SRC, CMD and TNS as the last one) is
    // acknowledged and not executed again.
    bool duplicateDetection = true;
    // The controller's own frames: time it waits for DLE ACK before it
    // asks with DLE ENQ, and how often it retransmits or asks.
    uint32_t ackTimeoutMs = 1000;
    uint32_t nakRetries = 3;
    uint32_t enqRetries = 3;
    // Output pacing: 0 sends at once; otherwise bytes leave at this rate
    // with bitsPerByte bits each (10 at 8N1, 11 with parity).
    uint32_t baud = 0;
    uint32_t bitsPerByte = 10;
    // SLC 500 I/O image: words per slot (element = slot, sub-element = word).
    uint16_t ioWordsPerSlot = 4;
    std::vector<ExtraFile> extraFiles;
    // Time source in microseconds; empty uses the steady clock. Tests set it
    // to step time without sleeping.
    std::function<uint64_t()> clockUs;
};

// Misbehaviour on purpose. A fault applies to the command frames the
// controller receives: to every `every`th one after it is installed, at most
// `times` times (0: without limit).
enum class FaultKind {
    CorruptCheck,  // the reply's check is wrong (first transmission)
    DropByte,      // one byte of the reply frame is left out (first transmission)
    Noise,         // `noise` bytes go on the line before the reply
    Delay,         // the reply waits a further delayMs
    NoReply,       // the command is executed, no reply is sent
    Nak,           // the command is answered with DLE NAK and discarded
    NoAck,         // the command is executed but its DLE ACK is withheld
    RepeatReply,   // the reply is sent twice
    OwnCommandAfter,  // a command of the controller's own follows the reply at once
    Status,        // the reply carries STS `sts` (and EXT STS `extSts` for 0xF0)
};

// The bytes a Noise fault puts on the line unless told otherwise. Built from
// a named array, not an initialiser list: gcc 12 under ThreadSanitizer takes
// the list's hidden backing array for uninitialised (-Wmaybe-uninitialized).
inline constexpr uint8_t kDefaultNoise[] = {0x00, 0xFF, 0x55};

struct Fault {
    FaultKind kind = FaultKind::CorruptCheck;
    uint32_t every = 1;
    uint32_t times = 1;
    uint32_t delayMs = 0;
    uint8_t sts = 0;
    uint8_t extSts = 0;
    std::vector<uint8_t> noise{std::begin(kDefaultNoise), std::end(kDefaultNoise)};
};

// What the link has done, for tests and for `mira sim`.
struct Stats {
    uint32_t framesReceived = 0;  // good frames from the master
    uint32_t badChecks = 0;
    uint32_t garbled = 0;         // broken or oversized frames
    uint32_t commands = 0;        // commands executed
    uint32_t duplicates = 0;      // repeated commands not executed again
    uint32_t otherStation = 0;    // commands for another station
    uint32_t acksSent = 0;
    uint32_t naksSent = 0;
    uint32_t enqsReceived = 0;
    uint32_t framesSent = 0;      // every transmission, retransmissions included
    uint32_t retransmissions = 0;
    uint32_t enqsSent = 0;
    uint32_t acksReceived = 0;
    uint32_t naksReceived = 0;
    uint32_t abandoned = 0;       // own frames given up after the retries
    // The controller's own commands (its unsolicited writes), each counted
    // once, and how the master answered them: done (STS 0), or refused with
    // a status, which a message instruction reports as failed: its data did
    // not arrive. STS 0x90: the master could not buffer the command.
    uint32_t ownCommands = 0;
    uint32_t masterReplies = 0;   // answered done
    uint32_t masterRefusals = 0;  // answered with a nonzero STS
    uint32_t cannotBuffer = 0;    // of those, STS 0x90
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

    // When the controller next has something to do on its own, on its clock
    // (Options::clockUs): a paced byte for the master falls due, a reply or
    // message waiting its turn starts, a periodic write or a DLE ENQ after a
    // missing DLE ACK is due. 0 when nothing waits. A far end that wakes then
    // hands the bytes over on time instead of at its next look.
    uint64_t NextEventUs() const;

    // Queues an unsolicited message (a complete PCCC command: DST, SRC, CMD,
    // STS, TNS, data) framed and sent as the controller would.
    void SendUnsolicited(const std::vector<uint8_t>& message);

    // Builds and queues an unsolicited command to station `dst` with the
    // controller's own next TNS: a PLC-2 style unprotected write (0x08) of
    // `words` at byte address `byteAddress`, or a protected typed logical
    // write with three address fields (0x0F/0xAA).
    void SendUnsolicitedPlc2Write(uint8_t dst, uint16_t byteAddress, const std::vector<uint16_t>& words);
    void SendUnsolicitedTypedWrite(uint8_t dst, uint16_t file, uint8_t typeCode, uint16_t element,
                                   uint16_t subElement, const std::vector<uint16_t>& words);
    // Sends `message` again every periodMs (its TNS renewed each time);
    // a period of 0 stops it.
    void SetPeriodicUnsolicited(const std::vector<uint8_t>& message, uint32_t periodMs);
    // Writes `words` to station `dst` every periodMs, as the controller's own
    // write of its table from `address` plus `offset` words: on SLC 500 a
    // protected typed logical write of that file (N7:0, T4:1.ACC), on PLC-5
    // and PLC-2 a PLC-2 style unprotected write of word n of U:n. False, and
    // nothing sent, for an address the controller does not have, a bit, or
    // words running past the file or beyond one message (120).
    bool SetPeriodicWrite(uint8_t dst, const std::string& address, uint32_t offset,
                          const std::vector<uint16_t>& words, uint32_t periodMs);
    // The master's replies to the controller's own commands, oldest first,
    // refusals among them; taking them empties the list.
    std::vector<std::vector<uint8_t>> TakeMasterReplies();

    // Direct access to the data tables, for tests and for `mira sim`.
    // Address texts are the controller's own (N7:0, B3:1, F8:2, ST9:0 ...).
    // On a PLC-2, U:n names word n of its memory.
    bool Poke(const std::string& address, const std::string& value);
    bool Peek(const std::string& address, std::string* value) const;
    // Lines of "address=value" in the seed format of DataTables::Seed; 0
    // when all were taken, else the number of the first bad line, with every
    // bad line and its cause in *problems.
    int Seed(const std::string& text, std::vector<SeedProblem>* problems = nullptr);
    std::string Dump() const;

    void InjectFault(const Fault& fault);
    void ClearFaults();
    Stats GetStats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace mira::sim
