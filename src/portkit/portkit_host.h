// What a host of MIRA's Portkit may call besides the operations the driver
// imports (setup/portkit.h): where trace lines go, texts for the codes, the
// link's settings and what the lines have done.
//
// Thread safety: every function here may be called from any thread; a trace
// line being written while the sink changes goes to the old or the new sink.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {

// Receives each trace line, already time-stamped, without a line feed. Runs on
// whichever thread traced (often the receive thread): copy and return.
using PkTraceCallback = void (*)(void* context, const char* line);

// Sends trace lines to a file (appended), or to stderr when path is "-".
// Returns 1, or 0 when the file cannot be opened (tracing is then off).
int32_t PkTraceToFile(const char* path);

// Sends trace lines to a host callback; a null callback turns tracing off.
void PkTraceToCallback(PkTraceCallback callback, void* context);

// Turns tracing off and closes a trace file.
void PkTraceOff();

// How many bytes the lines of this process have received since the library
// was loaded. A host tells a silent controller from one that answered with
// something, even only a DLE ACK, by the count moving.
uint64_t PkReceivedBytes();

// The link's own settings, for the ports opened after the call. Portkit
// follows the DF1 full-duplex transmitter rules below the driver: after each
// frame it sends, it waits for DLE ACK; on DLE NAK it sends the same frame
// again, at most nakRetries times; with neither within ackTimeoutMs (counted
// from the frame's last byte on the wire) it sends DLE ENQ and the answer
// decides (ACK ends the wait, NAK sends the frame again), at most enqRetries
// times. A frame refused after its last retransmission ends the exchange with
// MIRA_PK_ERR_REFUSED; a last DLE ENQ left unanswered, with
// MIRA_PK_ERR_TIMEOUT. Every byte still reaches the receive handler.
typedef struct PkLinkSettings {
    uint32_t ackTimeoutMs; /* default 250; 0 takes the default     */
    uint32_t nakRetries;   /* 3 by default; at most 10; 0 never resends */
    uint32_t enqRetries;   /* 3 by default; at most 10; 0 never asks    */
} PkLinkSettings;

// Sets them; a null pointer restores the defaults. Returns 1, or 0 (and
// changes nothing) when a count is above 10 or the time-out above 60000 ms.
int32_t PkSetLinkSettings(const PkLinkSettings* settings);

// What the lines of this process have done since the library was loaded,
// every field counting up. Sent and received count what went out on or came
// in from the line, Portkit's own retransmissions and DLE ENQs included, and
// the host's line resets too: a DLE ENQ the host sends of its own, outside an
// exchange (the driver sends four when it opens and after a failed read),
// and the controller's DLE ACK or DLE NAK answering it. The four fields
// after reconnects tell those apart, so that a healthy line's resets do not read as faults.
//
// The record only ever grows at its end; hosts built against the first 17
// fields keep working with PkGetLinkCounters, which writes no more than those.
typedef struct PkLinkCounters {
    uint64_t framesSent, framesReceived; /* DLE STX ... frames; received: good or not */
    uint64_t bytesSent, bytesReceived;
    uint64_t acksSent, acksReceived;     /* DLE ACK */
    uint64_t naksSent, naksReceived;     /* DLE NAK */
    uint64_t enqsSent, enqsReceived;     /* DLE ENQ */
    uint64_t retransmissions;            /* frames sent again after DLE NAK */
    uint64_t badChecks;                  /* frames received with a wrong BCC or CRC */
    uint64_t replyTimeouts;              /* exchanges ended by MIRA_PK_ERR_TIMEOUT */
    uint64_t overflows;                  /* frames of more than 511 message bytes */
    uint64_t bytesDropped;               /* received bytes lost to a full queue */
    uint64_t linesLost;                  /* devices vanished, connections dropped */
    uint64_t reconnects;                 /* lines opened again after a loss */
    uint64_t lineResets;                 /* the host's own DLE ENQs; within enqsSent */
    uint64_t resetAcks, resetNaks;       /* answers to them; within acksReceived, naksReceived */
    uint64_t framesRefused;              /* DLE NAKs answering a frame sent (or a DLE ENQ
                                            asking after it); within naksReceived */
    uint64_t cannotBufferReplies;        /* replies sent with STS 0x90, remote node cannot buffer command:
                                            the driver's answer to a controller's command it had no free
                                            slot for */
} PkLinkCounters;

// Copies the first `size` bytes of the counters into *out, whole fields only:
// pass sizeof(PkLinkCounters). A host built against a shorter record gets
// the fields it knows, and nothing is written past them. A line is away while
// linesLost is greater than reconnects.
void PkGetLinkCountersEx(PkLinkCounters* out, uint32_t size);

// The first 17 fields (framesSent to reconnects) only, as every host built
// before the line-reset counters expects; the later fields are left as they are.
void PkGetLinkCounters(PkLinkCounters* out);

// A flag the host sets to end every wait of the driver and of Portkit at
// once (Ctrl-C, a stop); a signal handler may set it, Portkit only reads it.
// While it is set, PkYield returns at once, a send of the host's puts nothing
// on the line and ends with MIRA_PK_ERR_CANCELLED, an exchange or line reset
// still waiting ends with that code within one pass of the receive thread
// (10 ms), the channel lock is given up to the next sender at once, and a TCP
// connect in progress gives up. The driver then follows its own rules for a
// failed exchange, quickly, and closes as ever. The flag must outlive the
// watch: pass null before it goes. Null: no flag.
void PkWatchCancel(const std::atomic<bool>* flag);

// Returns once the receive thread announces the line's next event (a frame, a
// link sequence or an error the receive handler has taken; an exchange's or
// a line reset's time-out or failure; the line lost or back), after at most
// maxWaitMs (60000 at most), or at once while the cancel flag is set. An
// event announced since this thread last returned from here or from PkYield
// ends the wait at once. Every end of an exchange is such an event, so a host
// waiting for a finish to report waits here rather than in PkYield's short
// steps, and wakes when there is something to see.
void PkAwaitLineEvent(uint32_t maxWaitMs);

// The meaning of a Portkit code (mira/portkit_codes.h), or null for others.
const char* PkCodeText(uint32_t code);

// A human description of why the last PkPortOpen on this thread failed, for
// instance "/dev/ttyUSB0: No such file or directory"; "" after a success.
const char* PkLastOpenError();

}  // extern "C"
