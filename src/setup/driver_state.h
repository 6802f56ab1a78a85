// The driver's single set of global state, and the settings phase of open.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <type_traits>

#include "setup/records.h"
#include "mira/mira.h"
#include "setup/portkit.h"

namespace mira {

inline constexpr int32_t kItemTableRows = 4096;
inline constexpr int32_t kUnsolSlotCount = 20;
inline constexpr int32_t kStringSlotCount = 255;
inline constexpr int32_t kStringSlotBytes = 90;
inline constexpr int32_t kGroupHandles = 16384;
inline constexpr int32_t kRxDataBytes = 512;
// The frames sent last whose echo the receive handler knows again.
inline constexpr int32_t kSentPrintCount = 4;
// Characters of a slot's key text, terminator included.
inline constexpr int32_t kKeyChars = 64;
// The key texts the window messages carry, each message its own copy. One is
// written again only 128 messages later: on the window bridge at most 64 wait
// and one is being delivered, and a host that takes its messages in order and
// consumes one frame each has at most 20 (the slots) not yet taken.
inline constexpr int32_t kPostedKeyCount = 128;

// One stored unsolicited frame (1160 bytes).
struct UnsolSlot {
    uint8_t FrameBytes[1024];  // the frame after DLE STX: DST, SRC, CMD, STS, TNS, data
    char16_t KeyText[kKeyChars];  // "key\tstation", terminated
    uint32_t FrameLength;      // bytes copied into FrameBytes
    uint32_t InUse;            // 1 = holds a frame not yet consumed
};
static_assert(sizeof(UnsolSlot) == 1160);
static_assert(offsetof(UnsolSlot, KeyText) == 1024);
static_assert(offsetof(UnsolSlot, FrameLength) == 1152);
static_assert(offsetof(UnsolSlot, InUse) == 1156);

struct GroupRecord;

struct DriverState {
    uint32_t LocalStation;
    uint32_t ModelClass;
    uint32_t Plc5Family;
    uint32_t OctalIo;
    uint8_t NonStandardBcd;
    uint32_t AltAddressMode;
    uint32_t UseCrc;
    MiraWindowHandle NotifyWindow;
    generic_port* Port;
    uint32_t ChannelBusy;       // 0 free, 1 a sender, 2 an incoming frame
    uint32_t TnsCounter;
    uint32_t ForeignFrameSeen;
    uint8_t RxData[kRxDataBytes];
    // The awaited reply, copied out of RxData by the receive handler before
    // it reports the reply in: a command the controller sends right after
    // its reply fills RxData again before the sender has read it.
    uint8_t ReplyData[kRxDataBytes];
    uint32_t ReplyCount;         // bytes in ReplyData
    uint32_t ReplyFor;           // the TnsCounter the reply in ReplyData answers
    uint32_t RxBcc;
    uint16_t RxCrc;
    uint8_t RxCrcLow;
    uint8_t RxCrcHigh;
    ItemRequest* ItemTable;      // kItemTableRows rows
    ItemRequest* UnsolItemTable; // kItemTableRows rows
    UnsolSlot* UnsolSlots;       // kUnsolSlotCount slots
    uint8_t* StringSlots;        // kStringSlotCount blocks of kStringSlotBytes
    GroupRecord** GroupTable;    // kGroupHandles entries
    PlcAddress CurrentHeader;
    PlcAddress UnsolHeader;
    uint8_t HasTypePrefix;
    uint32_t LetterSyntax;
    uint32_t Outstanding;        // the exchange a finish may take (host thread only)
    uint32_t RequestCommand;                 // CMD of the last request; its reply carries it with 0x40
    uint32_t SentPrints[kSentPrintCount];    // fingerprints of the last messages sent, 0 = none
    uint32_t SentPrintNext;                  // counts the sends; modulo kSentPrintCount the entry of the next
    uint32_t UnsolArrival[kUnsolSlotCount];  // the order of a slot's frame among those stored, set before InUse
    uint32_t UnsolArrivalNext;               // the arrival number of the next stored frame
    char16_t PostedKeys[kPostedKeyCount][kKeyChars];  // the key text of each window message
    uint32_t PostedKeyNext;                  // counts the messages posted; the copy of the next
};
static_assert(std::is_standard_layout_v<DriverState>);

// Values of Outstanding: a start that sent its request sets its kind, every
// start clears it on entry, and the finish that ends the exchange clears it,
// so that no finish reports a reply its own start did not ask for.
inline constexpr uint32_t kNoExchange = 0;
inline constexpr uint32_t kReadExchange = 1;
inline constexpr uint32_t kGroupWriteExchange = 2;
inline constexpr uint32_t kItemWriteExchange = 3;

// Model classes.
inline constexpr uint32_t kClassPlc2 = 2;
inline constexpr uint32_t kClassPlc5 = 5;
inline constexpr uint32_t kClassSlc500 = 500;

// The one instance every exported function works on.
extern DriverState Driver;

// True from a successful UDrvOpen to UDrvClose: the port and the tables exist.
inline bool DriverIsOpen() { return Driver.Port != nullptr && Driver.ItemTable != nullptr; }

// The values DriverState holds before the first UDrvOpen.
DriverState InitialDriverState();

// Restores the initial values (tests; the tables are not released).
void ResetDriverState();

// The settings phase of UDrvOpen: reads the five driver fields of the block,
// chooses the model and the frame check, copies "10.3" into versionText and
// sets *error to 0.
void ApplySettings(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                   int32_t* error);

// One row of the model table.
struct PlcModel {
    const char16_t* text;
    uint32_t modelClass;
    uint32_t plc5Family;
    uint32_t octalIo;
    bool octalFromSuffix;  // the number after ':' decides OctalIo
};

// The model table, read by the settings and by the model-text check.
// Searched in order; the first row equal to the prepared model text wins.
// "5X" is the model text "5x" as the upper-casing leaves it, so a user who
// types either form gets the PLC-5 settings that row was meant to give.
inline constexpr std::array<PlcModel, 8> PlcModelTable{{
    {u"2", kClassPlc2, 0, 0, false},
    {u"5", kClassPlc5, 1, 0, true},
    {u"5X", kClassPlc5, 1, 0, false},
    {u"500", kClassSlc500, 0, 0, false},
    {u"PLC2", kClassPlc2, 0, 0, false},
    {u"PLC5", kClassPlc5, 1, 0, false},
    {u"PLC5 WITH I/O OCTAL", kClassPlc5, 1, 1, false},
    {u"SLC500", kClassSlc500, 0, 0, false},
}};

}  // namespace mira
