// One line to a controller through the driver: open with the command line's
// settings, read and write groups and items, take the controller's
// unsolicited messages, read what the line has done. Every program of ours
// reaches the driver through this class and never through a header of the
// driver's own.
//
// Threads: the driver serves one host thread at a time, so a Line is used
// from one thread at a time (a program with several threads gives the line
// to one of them). Only the cancel flag may be set from elsewhere, a signal
// handler included.
//
// One line per process: the driver holds one state per process, so while a
// Line is open a second Open fails with kLineAlreadyOpen (host/codes.h), and
// ApplyModelOnly leaves the open line's settings alone.
//
// Failures are explained by what the line showed (host/codes.h) while the
// program watches Portkit's trace (WatchLine in host/line_watch.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/text.h"
#include "mira/mira.h"
#include "portkit/portkit_host.h"

namespace mira::host {

// The line's settings, named and defaulted as the command line's options.
struct LineSettings {
    std::string port = "sim";  // "sim", "sim:plc5" ..., a device, or socket://HOST:PORT
    uint32_t baud = 19200;
    uint32_t parity = 0;       // 0 none, 1 odd, 2 even
    uint32_t dataBits = 8;
    uint32_t stopBits = 1;
    std::string model;         // empty: chosen from the port (SLC500 unless sim:plc5/plc2)
    std::string mode = "Standard";
    uint32_t station = 0;      // our own station
    uint32_t dst = 1;          // the controller's station
    bool crc = true;           // the DF1 factory default; false: BCC
    uint32_t timeoutMs = 1000;
    uint32_t ackTimeoutMs = 250;  // Portkit's link rules (PkSetLinkSettings)
    uint32_t nakRetries = 3;
    uint32_t enqRetries = 3;
};

// Whether the port is the simulator inside Portkit ("sim", "sim:...").
bool InProcessSimulator(const LineSettings& settings);

// The model text given, or the simulator's family, or SLC500.
std::string DefaultModel(const LineSettings& settings);

// The port name handed to Portkit: the built-in simulator answers as the
// station dst names, unless the port gives one.
std::string PortName(const LineSettings& settings);

// The driver's settings block.
DriverSettings MakeSettings(const LineSettings& settings);

// The address checks and value typing (host/checks.h) need only the model
// settings. Applies them without opening a line, through a block Portkit
// refuses at once; false (and nothing changed) while a Line is open.
bool ApplyModelOnly(const LineSettings& settings);

struct OpenOptions {
    bool window = false;  // take the controller's unsolicited messages
    // On a real line, spend the transaction number 0 before the first
    // request after the open (see SpendFirstTransaction).
    bool spendFirstTransaction = true;
    // Ends every wait, the open's included, within a few ms once set; a
    // signal handler may set it. Portkit watches it from the open to the
    // close (PkWatchCancel): the exchange waiting ends with
    // MIRA_PK_ERR_CANCELLED, the driver's own rules for a failed exchange
    // run at once, and every later request ends with that code unsent. An
    // open it ends fails with that code, and the line is closed. It is meant
    // for ending: close the line then. The flag outlives the open line;
    // null: no hook.
    const std::atomic<bool>* cancel = nullptr;
    // With window set: called on the driver's bridge thread each time an
    // unsolicited message waits, so that a program that waits on something
    // else can wake; it must return at once. Null: no hook.
    std::function<void()> onUnsolicited;
};

// One item of a read or of an unsolicited message.
struct ItemResult {
    std::string item;      // as asked
    Value value;           // none when the exchange failed
    int32_t quality = -1;  // the driver's (MIRA_QUALITY_GOOD); -1 when the exchange failed
    MiraFileTime time{};   // the driver's time stamp; the host's clock for a failure
    int32_t code = 0;      // 0, or the code the exchange ended with
    std::string message;   // the code's meaning (host/codes.h); "" for 0
};

// The key under which an unsolicited message waits: the header the driver
// names it by and the station it came from.
struct UnsolicitedKey {
    std::string header;   // "N7:5" (SLC 500), "U:10" (PLC-2 and PLC-5)
    std::string station;  // "1"
};

class Line {
public:
    Line();
    ~Line();  // closes
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Opens the port. Returns 0, or the code (a Portkit open code,
    // kDriverRefused or kLineAlreadyOpen) with a sentence in *why that names
    // the device and the cause: "cannot open /dev/ttyUSB0: No such file or
    // directory (the device or host does not exist)".
    int32_t Open(const LineSettings& settings, const OpenOptions& options, std::string* why);
    // Closes the port; messages still queued for the window are delivered.
    void Close();
    bool IsOpen() const { return open_; }
    const LineSettings& Settings() const { return settings_; }

    // Reads items under a header from a station (dst when not given). Fills
    // one result per item and returns 0, or the code each result carries. A
    // string item without a length reads the whole string (WholeStringItem
    // in host/checks.h); results name the items as given.
    int32_t Read(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                 std::vector<ItemResult>* results);
    int32_t Read(const std::string& header, const std::vector<std::string>& items, std::vector<ItemResult>* results);

    // Writes values typed by MakeValue (host/checks.h): a group of words or
    // floats, or one item (a bit, a timer part, a string, whole when it has
    // no length) through the driver's read-modify-write. Returns 0 or the
    // code.
    int32_t WriteGroup(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                       const std::vector<HostValueCore>& values);
    int32_t WriteItem(uint32_t station, const std::string& header, const std::string& item, HostValueCore value);

    // The driver numbers its transactions from 0 after every open, and a
    // controller that drops duplicate messages remembers the last command it
    // took: the first request of a run would repeat the first request of
    // the run before and be acknowledged and thrown away. One read of
    // header's item spends TNS 0 whatever its answer. With the option set,
    // the first request after an open does this by itself, to its station
    // with its header and first item, and a request that finds the
    // controller silent or gone that way fails with the code unsent.
    //
    // Returns 0, or the code the requests would meet as well: a controller
    // silent through the whole exchange (not even the DLE ACK a duplicate
    // gets), or a device that is gone. The in-process simulator starts
    // afresh with every open and needs none.
    int32_t SpendFirstTransaction(const std::string& header, const std::string& item);

    // The next unsolicited message's key, waiting at most waitMs (less once
    // the cancel flag is set); false when none came (or the line was opened
    // without a window).
    bool NextUnsolicited(uint32_t waitMs, UnsolicitedKey* key);
    // Takes the message's items (UDrvProcessUnsolicitedReadMessage), words
    // signed as a read shows them; one result per item. An item the driver
    // refuses (a bad item text, a word the message did not carry) gets its
    // own code while the others get their values; a refused header or an
    // error status fails them all. A message no item was taken from is
    // dropped so its slot frees. Returns 0 or the first code.
    int32_t TakeUnsolicited(const UnsolicitedKey& key, const std::vector<std::string>& items,
                            std::vector<ItemResult>* results);
    // Takes every word of the message (at most kMostUnsolicitedWords), signed
    // as a read shows them, as TakeUnsolicited takes items. Returns 0 or the
    // code; a message that carries no word or an error status is dropped.
    static constexpr int32_t kMostUnsolicitedWords = 128;
    int32_t TakeUnsolicitedWords(const UnsolicitedKey& key, std::vector<int32_t>* words);

    // What the lines of this process have done, and whether the line is away
    // (Portkit opens it again by itself).
    PkLinkCounters Counters() const;
    bool Lost() const;

private:
    struct Window;
    template <class Finish>
    int32_t AwaitFinish(Finish finish);
    int32_t ReadNow(uint32_t station, const std::string& header, const std::vector<std::string>& items,
                    std::vector<ItemResult>* results);
    int32_t Spend(uint32_t station, const std::string& header, const std::string& item);
    int32_t SpendIfDue(uint32_t station, const std::string& header, const std::string& item);
    int32_t Deliver(const UnsolicitedKey& key, const std::vector<std::string>& items,
                    std::vector<HostValueCore>* values);
    bool Cancelled() const { return options_.cancel != nullptr && options_.cancel->load(); }
    // A failure once the flag is set is the flag's doing (a string read, run
    // inside the driver's start, ends with its own code).
    int32_t EndedBy(int32_t error) const { return error != 0 && Cancelled() ? MIRA_PK_ERR_CANCELLED : error; }
    void FailAll(const std::vector<std::string>& items, int32_t code, std::vector<ItemResult>* results);

    LineSettings settings_;
    OpenOptions options_;
    std::unique_ptr<Window> window_;
    bool open_ = false;
    bool spent_ = false;
};

// The link counters by name, in the order `mira poll` prints them.
struct NamedCounter {
    const char* name;
    uint64_t value;
};
std::vector<NamedCounter> CounterFields(const PkLinkCounters& counters);

}  // namespace mira::host
