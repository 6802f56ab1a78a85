// `mira scan`: finds the controller on a line whose speed, parity, frame
// check and station nobody wrote down, and has it say what it is.
//
// The search tries the line's settings in the order the field uses them.
// Each setting gets a link-level probe first (DLE ENQ, which any DF1
// full-duplex station answers with DLE ACK or DLE NAK whatever its frame
// check and station), so a silent or garbled setting costs tens of
// milliseconds. Only a setting that answers is asked further: the frame
// check, the station (an echo command), then the controller's identity
// (diagnostic status, or which typed read it accepts). Every command it sends
// reads; none writes.
//
// The search runs over a ScanWire: Portkit's line in `mira scan`, a fake
// line in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/args.h"

namespace mira::cli {

enum class Family { Unknown, Slc500, Plc5, Plc2 };

// What a controller said it is.
struct Identity {
    Family family = Family::Unknown;
    std::string processor;         // "SLC 5/03", "PLC-5/40"; empty when the reply names none
    std::string series, revision;  // letters; an SLC 500 class revision is its firmware release number
    bool ofInterface = false;      // series and revision are the PLC-2 family's serial interface's
    std::string source;            // "diagnostic status" or "typed read"
};

// Decodes the data of a diagnostic status reply (its bytes after the TNS).
// False, the family left Unknown, for a layout no controller family uses
// (an interface module or a computer answering for itself) or a reply too
// short for its layout.
bool DecodeDiagnosticStatus(const uint8_t* data, size_t size, Identity* out);

// "SLC 500 class", "PLC-5 family", "PLC-2 family"; and the --model text.
const char* FamilyText(Family family);
const char* ModelFor(Family family);

struct LineSetting {
    uint32_t baud = 0;    // 0 on a line without a speed of ours (TCP, the built-in simulator)
    uint32_t parity = 0;  // 0 none, 1 odd, 2 even
    bool crc = true;
};

// The line as the search sees it. One thread uses it.
class ScanWire {
public:
    virtual ~ScanWire() = default;
    // Opens the line at baud and parity (8 data bits unless the plan says
    // otherwise); crc is the frame check a simulated controller is built
    // with. Returns 0, or an open code with *why set.
    virtual int32_t Open(const LineSetting& setting, std::string* why) = 0;
    virtual void Close() = 0;
    // Throws away what was received and not yet taken, then sends bytes.
    virtual bool Send(const uint8_t* bytes, size_t count) = 0;
    // Received bytes, up to capacity, waiting at most waitMs for the first.
    virtual size_t Receive(uint8_t* out, size_t capacity, uint32_t waitMs) = 0;
    virtual uint64_t NowMs() = 0;
};

// What the search tries, in order.
struct ScanPlan {
    bool lineHasSpeed = true;  // false: TCP or the built-in simulator, one pass over the checks
    std::vector<uint32_t> bauds, parities;
    std::vector<bool> checks;  // true: CRC
    std::vector<uint32_t> stations;
    bool stationGiven = false;
    uint32_t dataBits = 8, stopBits = 1;

    uint32_t Settings() const;
};

// The field's order, narrowed by the options given (-b, -P, --crc/--bcc,
// --station or --dst).
ScanPlan PlanScan(const Options& o);

struct Found {
    LineSetting setting;
    uint32_t station = 0;
    Identity identity;
};

struct ScanResult {
    std::vector<Found> found;
    uint32_t tried = 0;      // settings tried
    uint32_t answered = 0;   // (speed, parity) pairs whose line answered DLE ENQ
    uint64_t received = 0;   // bytes that came in
    uint32_t lastStation = 0;  // the last station asked where a frame check was right
    bool stationsAsked = false;
    uint64_t elapsedMs = 0;
    int32_t openError = 0;   // an open code that ended the search (no such device ...)
    std::string openWhy;
    uint32_t opened = 0;     // settings the line could be opened at
};

// Setting n (from 1) of total is being tried; station is the one being
// asked, or -1 before the stations are.
using ScanProgress =
    std::function<void(uint32_t n, uint32_t total, const LineSetting& setting, int32_t station, uint64_t elapsedMs)>;

ScanResult Scan(ScanWire& wire, const ScanPlan& plan, const ScanProgress& progress);

// The `mira read` command line that reaches f on port; f for people, one
// line; f as one JSON object.
std::string ReachCommand(const std::string& port, const ScanPlan& plan, const Found& f);
std::string FoundLine(const std::string& port, const ScanPlan& plan, const Found& f);
std::string FoundJson(const std::string& port, const ScanPlan& plan, const Found& f);

// Why nothing was found, for people.
std::string NothingFound(const ScanPlan& plan, const ScanResult& r);

// What `mira help scan` adds to the command's options.
extern const char* const kScanHelp;

}  // namespace mira::cli
