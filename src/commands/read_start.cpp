// The read starts: one request per group, sent without waiting; string files
// are read item by item inside the start.
#include "address/parser.h"
#include "address/tables.h"
#include "commands/read_start.h"
#include "groups/registry.h"
#include "mira/portkit_codes.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "setup/portkit.h"

namespace mira {
namespace {

bool DriverOpen() { return Driver.Port != nullptr && Driver.ItemTable != nullptr; }

int32_t Fail(int32_t* error, int32_t code) {
    *error = code;
    return 0;
}

}  // namespace
}  // namespace mira

using namespace mira;

extern "C" {

MIRA_API int32_t UDrvReadGroupStart(const char16_t* stationRef, const char16_t* headerText,
                                    const char16_t* const* itemTexts, int32_t itemCount, int32_t* error) {
    if (error == nullptr) return 0;
    *error = 0;
    SetStartedItemCount(0);
    if (!DriverOpen()) return Fail(error, MIRA_PK_ERR_CLOSED);
    if (itemCount <= 0 || itemCount > kItemTableRows || itemTexts == nullptr) return Fail(error, MIRA_ERR_RANGE);
    char16_t station[81] = {};
    PkStationText(Driver.Port, stationRef != nullptr ? stationRef : u"", station, 80);
    station[80] = 0;
    if (headerText == nullptr) return Fail(error, MIRA_ERR_BAD_HEADER);
    if (const int32_t r = ParseHeader(&Driver.CurrentHeader, station, headerText); r != 0) return Fail(error, r);
    for (int32_t i = 0; i < itemCount; ++i) {
        if (itemTexts[i] == nullptr) return Fail(error, MIRA_ERR_BAD_MNEMONIC);
        if (const int32_t r = ParseItem(&Driver.CurrentHeader, &Driver.ItemTable[i], itemTexts[i]); r != 0)
            return Fail(error, r);
    }
    return StartRead(itemCount, kMaxTextReadElements, error);
}

MIRA_API int32_t UDrvReadGroupStartEx2(int32_t groupHandle, int32_t* error) {
    if (error == nullptr) return 0;
    *error = 0;
    SetStartedItemCount(0);
    GroupRecord* group = FindGroup(groupHandle);
    if (group == nullptr) return 0;
    if (!DriverOpen()) return Fail(error, MIRA_PK_ERR_CLOSED);
    char16_t station[81] = {};
    PkStationText(Driver.Port, group->header.stationText, station, 80);
    station[80] = 0;
    group->header.station = wide::wtol(station);
    Driver.CurrentHeader = group->header;
    // Registration refuses more items than ItemTable holds; a group without
    // items has nothing to read.
    const int32_t count = group->itemCount;
    if (count > 0 && count <= kItemTableRows && group->items != nullptr)
        for (int32_t i = 0; i < count; ++i) Driver.ItemTable[i] = group->items[i];
    if (Driver.CurrentHeader.fileType == kFileNone) return Fail(error, MIRA_ERR_BAD_HEADER);
    if (count <= 0 || count > kItemTableRows || group->items == nullptr) return Fail(error, MIRA_ERR_RANGE);
    // No element limit of its own: only what one request and its reply can carry.
    return StartRead(count, 0, error);
}

}  // extern "C"
