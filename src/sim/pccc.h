// The controller's command interpreter: one PCCC command message in, its
// reply message out. Knows nothing of the link; works on DataTables only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/simulator.h"
#include "sim/tables.h"

namespace mira::sim {

// Status bytes a controller puts in STS.
enum : uint8_t {
    kStsOk = 0x00,
    kStsIllegalCommand = 0x10,  // illegal command or format
    kStsAddressProblem = 0x50,  // PLC-2 memory: address outside the table
    kStsNoCompatFile = 0x80,    // PLC-2 command without its compatibility file
    kStsCannotBuffer = 0x90,    // a master's answer to our command: it could not buffer it
    kStsExtended = 0xF0,        // the reason follows in EXT STS
};

// EXT STS values used with STS 0xF0.
enum : uint8_t {
    kExtIllegalField = 0x01,     // a field has an illegal value
    kExtBadAddressFormat = 0x05, // address text of improper format
    kExtNotUsable = 0x06,        // no such file, or an element beyond it
    kExtWrongSize = 0x07,        // data do not fit the element type
    kExtTooLarge = 0x09,         // reply would not fit one packet
    kExtRunsPastEnd = 0x0A,      // size plus address too large
    kExtIllegalType = 0x11,      // type code does not match the file
};

// The integer file that PLC-2 style commands read and write.
constexpr uint16_t kCompatFile = 9;

// Largest data part of a reply the controller sends in one packet.
constexpr size_t kMaxReplyData = 490;

class Controller {
public:
    Controller(Family family, uint8_t station, DataTables* tables) : family_(family), station_(station), tables_(tables) {}

    // `msg` holds DST, SRC, CMD, STS, TNS low, TNS high, then the command's
    // data. Returns the reply message (DST and SRC swapped, CMD | 0x40, the
    // TNS echoed). A message too short to carry a header gets no reply:
    // `reply` stays empty.
    void Execute(const uint8_t* msg, size_t count, std::vector<uint8_t>* reply);

    struct Req;  // a command being answered (internal)

private:
    void Plc2Read(Req& r);
    void Plc2Write(Req& r);
    void Plc2BitWrite(Req& r);
    void Diagnostic(Req& r);
    void SlcRead(Req& r, bool threeFields);
    void SlcWrite(Req& r, bool threeFields, bool masked);
    void TypedRead(Req& r);
    void TypedWrite(Req& r);
    void WordRangeRead(Req& r);
    void WordRangeWrite(Req& r);
    void ReadModifyWrite(Req& r);
    void BitWrite(Req& r);

    Family family_;
    uint8_t station_;
    DataTables* tables_;
};

}  // namespace mira::sim
