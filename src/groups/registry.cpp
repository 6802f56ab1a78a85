// Read groups registered once under a host handle and read by handle alone.
#include "groups/registry.h"

#include <cstdlib>

#include "commands/write_common.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

bool ValidHandle(int32_t handle) { return handle >= 0 && handle < kGroupHandles && Driver.GroupTable != nullptr; }

void Release(int32_t handle) {
    GroupRecord*& entry = Driver.GroupTable[handle];
    if (entry == nullptr) return;
    std::free(entry->items);
    std::free(entry);
    entry = nullptr;
}

// Parses the group into a fresh record; null when a text is refused or
// memory runs out, with nothing left allocated.
GroupRecord* Build(const char16_t* stationRef, const char16_t* headerText, const char16_t* const* itemTexts,
                   int32_t itemCount) {
    auto* record = static_cast<GroupRecord*>(std::calloc(1, sizeof(GroupRecord)));
    if (record == nullptr) return nullptr;
    if (itemCount > 0) {
        record->items = static_cast<ItemRequest*>(std::calloc(size_t(itemCount), sizeof(ItemRequest)));
        // A record never claims items it does not have.
        if (record->items == nullptr) {
            std::free(record);
            return nullptr;
        }
        record->itemCount = itemCount;
    }
    const char16_t* station = stationRef != nullptr ? stationRef : u"";
    const int32_t parsed =
        headerText != nullptr ? ParseHeaderText(&record->header, station, headerText) : MIRA_ERR_BAD_HEADER;
    // The field holds 80 characters and its terminator, so the copy read
    // back at every scan is always a terminated text.
    wide::CopyText(record->header.stationText, 81, station);
    bool good = parsed == 0 && (itemCount <= 0 || itemTexts != nullptr);
    for (int32_t i = 0; good && i < itemCount; ++i)
        good = ParseItemText(&record->header, &record->items[i], itemTexts[i]) == 0;
    if (!good) {
        std::free(record->items);
        std::free(record);
        return nullptr;
    }
    return record;
}

}  // namespace

GroupRecord* FindGroup(int32_t handle) { return ValidHandle(handle) ? Driver.GroupTable[handle] : nullptr; }

int32_t AddGroup(int32_t groupHandle, const char16_t* stationRef, const char16_t* headerText,
                              const char16_t* const* itemTexts, int32_t itemCount) {
    if (!ValidHandle(groupHandle)) return 0;
    Release(groupHandle);
    // A read copies the items into ItemTable, so a larger group could never
    // be read.
    if (itemCount < 0 || itemCount > kItemTableRows) return 0;
    GroupRecord* record = Build(stationRef, headerText, itemTexts, itemCount);
    if (record == nullptr) return 0;
    Driver.GroupTable[groupHandle] = record;
    return 1;
}

void RemoveGroup(int32_t groupNumber) {
    if (ValidHandle(groupNumber)) Release(groupNumber);
}

void RemoveAllGroups() {
    for (int32_t handle = 0; handle < kGroupHandles; ++handle) RemoveGroup(handle);
}

}  // namespace mira
