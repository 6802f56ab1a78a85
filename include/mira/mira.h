/*
 * mira.h - the host interface of the MIRA DF1 driver (libmira).
 *
 * A host loads libmira, hands it a settings block with UDrvOpen and then
 * drives reads, writes, unsolicited messages and address checks through the
 * UDrv functions below. Everything here is plain C with fixed-width types so
 * that a C host, or a host written in any language with a C FFI, can use it.
 *
 * Texts
 *   Every text exchanged with the driver is a NUL-terminated string of 16-bit
 *   code units (mira_char). Numbers inside texts are decimal.
 *
 * Return codes
 *   Start functions return 1 when their request went out and 0 otherwise,
 *   with *error set. Finish functions return 0 while the exchange is still
 *   open (call again later) and 1 when it is over, with *error 0 or a code.
 *   Each finish takes only the reply of its own kind of start (read, group
 *   write, item write) that returned 1 and was not finished yet; otherwise it
 *   returns 1 at once with MIRA_ERR_NOTHING_OUTSTANDING and touches no value.
 *   The codes are listed in mira/errors.h; positive codes other than those
 *   named there are the controller's extended status (STS 0xF0).
 *
 * Thread safety
 *   The UDrv functions must be called from one host thread, one call at a
 *   time. HandInts is called by Portkit from its receive thread, once per
 *   received byte. The unsolicited-message callback (MiraWindow) runs on a
 *   thread of the driver's window bridge: it must copy the key text, return
 *   quickly and never wait for the host thread.
 *
 * Windows
 *   On Windows the window handle given to UDrvOpen is an HWND. Elsewhere it is
 *   the address of a MiraWindow record owned by the host: the driver calls
 *   its post function where Windows would post the message. A host that does
 *   not want the messages passes 0.
 */
#ifndef MIRA_MIRA_H
#define MIRA_MIRA_H

#include <stddef.h>
#include <stdint.h>

#include "errors.h"

#ifdef __cplusplus
#define MIRA_STATIC_ASSERT static_assert
typedef char16_t mira_char;
#else
#include <assert.h>
#include <uchar.h>
#define MIRA_STATIC_ASSERT _Static_assert
typedef char16_t mira_char;
#endif

#if defined(_WIN32)
#if defined(MIRA_BUILDING_DRIVER)
#define MIRA_API __declspec(dllexport)
#elif defined(MIRA_LOADED_AT_RUN_TIME)
/* A host that takes the functions with GetProcAddress defines its own. */
#define MIRA_API
#else
#define MIRA_API __declspec(dllimport)
#endif
#elif defined(MIRA_BUILDING_DRIVER)
#define MIRA_API __attribute__((visibility("default")))
#else
#define MIRA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes a host sees: mira/errors.h, the one list of them. */

/* The window message announcing a stored unsolicited frame (WM_USER + 0x200).
 * lParam is the address of the message's own copy of the key text: no later
 * frame changes it, and it stays as it is for the next 127 messages. Several
 * frames under one key are taken oldest first, so a host that handles its
 * messages in order gets each frame with the message that announced it. */
#define MIRA_WM_UNSOLICITED 0x600u

/* ---------------------------------------------------------------------------
 * The window bridge (non-Windows hosts).
 *
 * To receive message 0x600 a host fills a MiraWindow and passes its address,
 * cast to MiraWindowHandle, to UDrvOpen. The record must outlive the driver's
 * open period. Like a posted message on Windows, the message waits in a
 * queue: post is called on the bridge's own thread, after the driver has sent
 * the frame's DLE ACK, one message at a time in the order they were posted.
 * UDrvClose delivers every message still queued before it returns. At most
 * 64 messages wait at once; a frame that finds the queue full stays stored
 * under its key without a message (a trace line says so).
 * ------------------------------------------------------------------------- */
typedef struct MiraWindow {
    void (*post)(void *context, uint32_t message, uintptr_t wParam, intptr_t lParam);
    void *context;
} MiraWindow;

typedef uintptr_t MiraWindowHandle;

/* ---------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------- */

/* FILETIME: 100-ns intervals since 1601-01-01, local time, as two 32-bit
 * halves so that it sits at byte 180 of HostValue without padding. */
typedef struct MiraFileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
} MiraFileTime;

/* The settings block handed to UDrvOpen (1024 bytes).
 *
 * The driver reads StationText, ModelText, ModeText, AddressOption and
 * ErrorCheckOption. Everything else belongs to Portkit, which receives the
 * whole block at port open:
 *   baud             bits per second (0: 19200)
 *   parity           0 none, 1 odd, 2 even
 *   dataBits         7 or 8 (0: 8)
 *   stopBits         1 or 2 (0: 1)
 *   replyTimeoutMs   time a reply may take before ErrorCode reports a time-out
 *                    (0: 1000)
 *   TimeoutA/B       their sum bounds the wait for the channel lock, in ms
 *   portName         "sim", "sim:slc500", "sim:plc5", "sim:plc2", a device
 *                    path such as /dev/ttyUSB0, or socket://HOST:PORT
 */
typedef struct DriverSettings {
    uint32_t baud;                  /*   0 */
    uint32_t parity;                /*   4 */
    uint32_t dataBits;              /*   8 */
    uint32_t stopBits;              /*  12 */
    uint32_t replyTimeoutMs;        /*  16 */
    uint16_t TimeoutA;              /*  20 */
    uint16_t TimeoutB;              /*  22 */
    uint8_t portkitReserved0[20];   /*  24 */
    mira_char StationText[82];      /*  44: own station, decimal            */
    mira_char ModelText[82];        /* 208: controller model                */
    mira_char ModeText[82];         /* 372: "Standard" or another BCD mode  */
    int32_t AddressOption;          /* 536: nonzero selects the alt. mode   */
    int32_t ErrorCheckOption;       /* 540: > 0 CRC-16, otherwise BCC       */
    mira_char portName[128];        /* 544 */
    uint8_t portkitReserved1[224];  /* 800 */
} DriverSettings;

MIRA_STATIC_ASSERT(sizeof(DriverSettings) == 1024, "DriverSettings size");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, baud) == 0, "baud");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, parity) == 4, "parity");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, dataBits) == 8, "dataBits");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, stopBits) == 12, "stopBits");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, replyTimeoutMs) == 16, "replyTimeoutMs");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, TimeoutA) == 20, "TimeoutA");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, TimeoutB) == 22, "TimeoutB");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, StationText) == 44, "StationText");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, ModelText) == 208, "ModelText");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, ModeText) == 372, "ModeText");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, AddressOption) == 536, "AddressOption");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, ErrorCheckOption) == 540, "ErrorCheckOption");
MIRA_STATIC_ASSERT(offsetof(DriverSettings, portName) == 544, "portName");

/* Value types of HostValue.valueType. */
enum { MIRA_VALUE_INTEGER = 1, MIRA_VALUE_DOUBLE = 2, MIRA_VALUE_STRING = 3 };

/* Quality of a decoded value; a BCD digit above 999 may replace it (1..15). */
#define MIRA_QUALITY_GOOD 192u

typedef union MiraValue {
    int32_t integer;
    double real;
    mira_char text[84]; /* at most 83 characters and the terminator */
} MiraValue;

/* One value of a write or of an unsolicited delivery (176 bytes). */
typedef struct HostValueCore {
    uint32_t valueType; /*   0 */
    uint32_t reserved;  /*   4 */
    MiraValue value;    /*   8 */
} HostValueCore;

/* One value of a read (192 bytes). */
typedef struct HostValue {
    uint32_t valueType;     /*   0 */
    uint32_t reserved;      /*   4 */
    MiraValue value;        /*   8 */
    uint16_t quality;       /* 176 */
    uint16_t reserved2;     /* 178 */
    MiraFileTime timestamp; /* 180: local time of the finish call */
} HostValue;

MIRA_STATIC_ASSERT(sizeof(MiraValue) == 168, "MiraValue size");
MIRA_STATIC_ASSERT(sizeof(HostValueCore) == 176, "HostValueCore size");
MIRA_STATIC_ASSERT(offsetof(HostValueCore, valueType) == 0, "valueType");
MIRA_STATIC_ASSERT(offsetof(HostValueCore, value) == 8, "value");
MIRA_STATIC_ASSERT(sizeof(HostValue) == 192, "HostValue size");
MIRA_STATIC_ASSERT(offsetof(HostValue, valueType) == 0, "valueType");
MIRA_STATIC_ASSERT(offsetof(HostValue, value) == 8, "value");
MIRA_STATIC_ASSERT(offsetof(HostValue, quality) == 176, "quality");
MIRA_STATIC_ASSERT(offsetof(HostValue, timestamp) == 180, "timestamp");

/* Portkit's port object; its layout is private to Portkit and the driver. */
typedef struct generic_port generic_port;

/* ---------------------------------------------------------------------------
 * Setup
 * ------------------------------------------------------------------------- */

/* Opens the driver: reads the settings, opens the port through Portkit,
 * allocates the tables and resets the line. versionText receives "10.3" and
 * needs room for 5 characters. Returns 1 on success, 0 on failure with *error
 * as the port open left it. */
MIRA_API int32_t UDrvOpen(MiraWindowHandle window, const DriverSettings *settings,
                          mira_char *versionText, int32_t *error);

/* Removes every group, releases the tables and closes the port. Returns what
 * Portkit's port close returns. */
MIRA_API int32_t UDrvClose(void);

/* 2 for a floating-point item, 3 for a string item, 1 for any other. */
MIRA_API int32_t UDrvGetType(const mira_char *headerText, const mira_char *addressText);

/* ---------------------------------------------------------------------------
 * Address checks. These never touch the line and always rewrite: a text comes
 * back in its canonical form, or as a default where it names nothing. The
 * result is the verdict on the text as typed: 0 when a read or write takes
 * it, else the code a read refuses it with (MIRA_ERR_BAD_MNEMONIC,
 * MIRA_ERR_BAD_HEADER or MIRA_ERR_RANGE). Reads and writes take a text only
 * when every character of it is accounted for (blanks at both ends and the
 * case of letters aside), so a typo (W5x, N7:0/3, foo) is refused rather
 * than read as another address. Host buffers are not sized by the call, so each
 * function writes at most the number of characters named below, plus the
 * terminator, and never more; every number in a written text is a signed
 * 32-bit value of at most 11 characters ("-2147483648"). A text that is left
 * as typed is not written at all. MIRA_CHECKED_TEXT_BUFFER code units are
 * always enough.
 *
 * Texts are read up to their terminator, and never beyond the first
 * MIRA_MAX_CHECKED_TEXT + 1 code units: a header, whole-address or model
 * text that is longer, or unterminated within them, names nothing (it gets
 * the default text, or 3 from UDrvValidString1); a station text is read as
 * its first MIRA_MAX_CHECKED_TEXT characters. Item texts are read from their
 * first 15 characters only. A null text reads as an empty one; a null output
 * is not written.
 * ------------------------------------------------------------------------- */
#define MIRA_MAX_CHECKED_TEXT 255
#define MIRA_CHECKED_TEXT_BUFFER 256

/* Longest rewrite of each check, in characters, without the terminator, as
 * the formats give it with 32-bit numbers (an element written in a header is
 * never negative):
 * UDrvValidHeader        letters, file, ':', element      "ST-2147483648:2147483647"
 * UDrvValidAddress       prefix, element, separator, bit  "W-2147483648/-2147483648"
 * UDrvGetHeaderAddress   header: a type word, slot and file of the numeric
 *                        form                              "counter/-2147483648:-2147483648:0"
 *                        item: as UDrvValidAddress
 * UDrvValidAddressEx     file prefix and element text     "ST-2147483648:W-2147483648/-2147483648"
 * Item texts are read from 15 characters, so the element texts that occur
 * are shorter (16 at most); the bounds above hold whatever the numbers. */
#define MIRA_VALID_HEADER_MAX 24
#define MIRA_VALID_ADDRESS_MAX 24
#define MIRA_HEADER_ADDRESS_HEADER_MAX 33
#define MIRA_HEADER_ADDRESS_ITEM_MAX 24
#define MIRA_VALID_ADDRESS_EX_MAX 38

/* Rewrites a header text in place into its canonical form (N7:0, I:1.2,
 * S:5, U:40), with the default header of its file where the file number is
 * missing, and "N7:0" where no file is named. Headers in the numeric form
 * (7:0, integer/7:0, timer/1:4:0) are left as typed. Returns 0 when a read
 * takes the typed text, else its code (-37, -39). */
MIRA_API int32_t UDrvValidHeader(mira_char *headerText);
/* Rewrites an item text in place into its canonical form under headerText
 * (w5 -> W5, 2.acc -> 2.ACC under a timer header). Returns 0 when a read
 * takes the typed item under that header, else the header's code when the
 * header is refused, or the item's (-34, -37, -39). */
MIRA_API int32_t UDrvValidAddress(const mira_char *headerText, mira_char *addressText);
/* 0 when text names a controller model (letters in any case), else 3. */
MIRA_API int32_t UDrvValidString1(const mira_char *text);
/* Splits whole address B into headerText and itemText for the group
 * functions; returns 1 when B can be read in one request with A, else 0. */
MIRA_API int32_t UDrvGetHeaderAddress(const mira_char *stationA, const mira_char *addressA,
                                      const mira_char *stationB, const mira_char *addressB,
                                      mira_char *headerText, mira_char *itemText);
/* -1, 0 or 1 as whole address A sorts before, with or after B. */
MIRA_API int32_t UDrvCompareAddress(const mira_char *stationA, const mira_char *addressA,
                                    const mira_char *stationB, const mira_char *addressB);
/* Rewrites a whole address in place into its canonical form, or into an
 * example address of its file (N7:W0, T4:W0.DN, ST11:S0.2). Returns 0 when
 * a read takes its file part and element text as a header and an item, else
 * the code (-37 for the file part or a missing element, or the item's). */
MIRA_API int32_t UDrvValidAddressEx(mira_char *text);

/* ---------------------------------------------------------------------------
 * Reads
 * ------------------------------------------------------------------------- */
MIRA_API int32_t UDrvReadGroupStart(const mira_char *stationRef, const mira_char *headerText,
                                    const mira_char *const *itemTexts, int32_t itemCount,
                                    int32_t *error);
MIRA_API int32_t UDrvReadGroupStartEx2(int32_t groupHandle, int32_t *error);
MIRA_API int32_t UDrvReadGroupFinishExt(HostValue *values, int32_t reserved, int32_t itemCount,
                                        int32_t *error);

/* ---------------------------------------------------------------------------
 * Writes
 * ------------------------------------------------------------------------- */
MIRA_API int32_t UDrvWriteGroupStart(const mira_char *stationRef, const mira_char *headerText,
                                     const mira_char *const *itemTexts, HostValueCore *values,
                                     int32_t itemCount, int32_t *error);
MIRA_API int32_t UDrvWriteGroupFinish(int32_t *error);
MIRA_API int32_t UDrvWriteItemStart(const mira_char *stationRef, const mira_char *headerText,
                                    const mira_char *itemText, HostValueCore *valueRecord,
                                    int32_t *error);
MIRA_API int32_t UDrvWriteItemFinish(int32_t *error);

/* ---------------------------------------------------------------------------
 * Registered read groups (handles 0..16383)
 * ------------------------------------------------------------------------- */
MIRA_API int32_t UDrvAddGroup(int32_t groupHandle, const mira_char *stationRef,
                              const mira_char *headerText, const mira_char *const *itemTexts,
                              int32_t itemCount);
MIRA_API void UDrvRemoveGroup(int32_t groupNumber);
MIRA_API void UDrvRemoveAllGroups(void);

/* ---------------------------------------------------------------------------
 * Unsolicited messages. headerText is the key text up to its tab, as the
 * window message delivered it. With itemCount 0 and values NULL the stored
 * frame is discarded (the result is then always 0 with *error 280).
 * ------------------------------------------------------------------------- */
MIRA_API int32_t UDrvProcessUnsolicitedReadMessage(int32_t reserved, const mira_char *headerText,
                                                   const mira_char *stationRef,
                                                   const mira_char *const *itemTexts,
                                                   HostValueCore *values, int32_t itemCount,
                                                   int32_t *error);

/* ---------------------------------------------------------------------------
 * The receive handler. Portkit calls it once per received byte after
 * UDrvOpen registered it; hosts never call it themselves.
 * ------------------------------------------------------------------------- */
MIRA_API void HandInts(generic_port *port);

#ifdef __cplusplus
}
#endif

#endif /* MIRA_MIRA_H */
