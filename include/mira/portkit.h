// The operations the driver imports from Portkit, the host's port library,
// and the port object whose words the driver reads and writes.
//
// Portkit is imported by ordinal on Windows; here every ordinal is a plain C
// function named by its role. libportkit provides them for real ports, and
// the test fake in tests/support provides them for the unit tests. A host of
// Portkit (mira) calls some of them too, PkYield among them. C++ only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mira/mira.h"

extern "C" {

// Portkit's port object. The driver touches only the named words; the offsets
// in the comments hold on 32-bit targets, where the host's Portkit relies on
// them. On 64-bit targets the fields keep their names and order.
struct generic_port {
    uint8_t portkitPrivate0[20];   //   0
    uint32_t ReplyPending;         //  20: 0 just before a send, 1 just after
    uint32_t portkitPrivate24;     //  24
    uint32_t ErrorCode;            //  28: nonzero = exchange failed
    uint32_t ReplyReady;           //  32: 1 = the awaited reply is in RxData
    uint32_t RxState;              //  36: receive state of HandInts
    uint32_t RxCount;              //  40: message bytes of the current frame
    uint8_t portkitPrivate44[176]; //  44
    uint16_t TimeoutA;             // 220: TimeoutA + TimeoutB bound the channel wait
    uint16_t TimeoutB;             // 222
    uint32_t portkitPrivate224;    // 224
    uint32_t StringWord0;          // 228: cleared before a string-read send
    uint32_t StringWord1;          // 232
    uint32_t StringWord2;          // 236
    uint32_t SendTick;             // 240: tick count of a string-read send
    uint8_t portkitPrivate244[16]; // 244
    uint8_t* RawBuffer;            // 260: the current frame as received
    uint16_t portkitPrivateRaw;    // 264 (32-bit targets)
    uint16_t RawCount;             // 266: bytes in RawBuffer
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(generic_port, ReplyPending) == 20);
static_assert(offsetof(generic_port, ErrorCode) == 28);
static_assert(offsetof(generic_port, ReplyReady) == 32);
static_assert(offsetof(generic_port, RxState) == 36);
static_assert(offsetof(generic_port, RxCount) == 40);
static_assert(offsetof(generic_port, TimeoutA) == 220);
static_assert(offsetof(generic_port, TimeoutB) == 222);
static_assert(offsetof(generic_port, StringWord0) == 228);
static_assert(offsetof(generic_port, StringWord1) == 232);
static_assert(offsetof(generic_port, StringWord2) == 236);
static_assert(offsetof(generic_port, SendTick) == 240);
static_assert(offsetof(generic_port, RawBuffer) == 260);
static_assert(offsetof(generic_port, RawCount) == 266);
#endif

// The receive handler Portkit calls whenever a received byte waits.
using PkReceiveHandler = void (*)(generic_port* port);

// Ordinal 23: opens the port with the host's settings. Returns the port, or
// null, or sets *error nonzero (mira/portkit_codes.h).
generic_port* PkPortOpen(MiraWindowHandle window, const DriverSettings* settings, int32_t* error);

// Ordinal 22: closes the port; its result is UDrvClose's.
int32_t PkPortClose(generic_port* port);

// Ordinal 13: registers the receive handler.
void PkRegisterHandler(generic_port* port, PkReceiveHandler handler);

// Ordinal 21: takes one received byte. Nonzero: *byte holds it and it was
// appended to RawBuffer (RawCount + 1). 0: no byte waits.
int32_t PkReceiveByte(generic_port* port, uint8_t* byte);

// Ordinal 28: queues bytes for sending. Clears ReplyReady and ErrorCode, then
// may set ErrorCode on failure.
void PkSend(generic_port* port, const uint8_t* bytes, int32_t length);

// Ordinal 44: nonzero once queued output has gone out.
int32_t PkOutputDone(generic_port* port);

// Ordinal 45: returns after a short wait in which received bytes reach the
// receive handler.
void PkYield();

// Ordinal 42: called at the start of each reply poll.
void PkStatusUpdate(generic_port* port);

// Ordinal 39: writes one line to the host's trace.
void PkTrace(const char16_t* line);

// Ordinal 49: the current value of a station reference in buffer: at most
// limit characters, then the terminator (the buffer holds limit + 1).
void PkStationText(generic_port* port, const char16_t* stationRef, char16_t* buffer, int32_t limit);

// Ordinal 1: a block of count * recordSize bytes, or null.
void* PkTableAlloc(int32_t count, int32_t recordSize);

// Ordinal 8: releases a block from PkTableAlloc.
void PkTableFree(void* block);

// Ordinal 4: called after each string block is taken from a reply.
void PkStringStep(generic_port* port);

}  // extern "C"
