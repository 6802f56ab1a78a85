// The read starts: one request per group, sent without waiting; string files
// are read item by item inside the start.
#include "address/tables.h"
#include "commands/read_start.h"
#include "commands/write_common.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "setup/portkit.h"

namespace mira {
namespace {

int32_t Fail(int32_t* error, int32_t code) {
    *error = code;
    return 0;
}

}  // namespace

int32_t StartTextRead(const char16_t* stationRef, const char16_t* headerText, const char16_t* const* itemTexts,
                      int32_t itemCount, int32_t* error) {
    SetStartedItemCount(0);
    if (itemCount <= 0 || itemCount > kItemTableRows || itemTexts == nullptr) return Fail(error, MIRA_ERR_RANGE);
    if (const int32_t r = ParseCurrentHeader(stationRef, headerText); r != 0) return Fail(error, r);
    for (int32_t i = 0; i < itemCount; ++i) {
        const int32_t r = ParseItemText(&Driver.CurrentHeader, &Driver.ItemTable[i], itemTexts[i]);
        if (r != 0) return Fail(error, r);
    }
    return StartRead(itemCount, kMaxTextReadElements, error);
}

int32_t StartGroupRead(PlcAddress& groupHeader, const ItemRequest* items, int32_t itemCount, int32_t* error) {
    SetStartedItemCount(0);
    char16_t station[kStationChars + 1] = {};
    PkStationText(Driver.Port, groupHeader.stationText, station, kStationChars);
    station[kStationChars] = 0;
    groupHeader.station = wide::wtol(station);
    Driver.CurrentHeader = groupHeader;
    // Registration refuses more items than ItemTable holds; a group without
    // items has nothing to read.
    const bool itemsFit = itemCount > 0 && itemCount <= kItemTableRows && items != nullptr;
    if (itemsFit)
        for (int32_t i = 0; i < itemCount; ++i) Driver.ItemTable[i] = items[i];
    if (Driver.CurrentHeader.fileType == kFileNone) return Fail(error, MIRA_ERR_BAD_HEADER);
    if (!itemsFit) return Fail(error, MIRA_ERR_RANGE);
    // No element limit of its own: only what one request and its reply can carry.
    return StartRead(itemCount, 0, error);
}

}  // namespace mira
