#pragma once

#include <cstdint>

#include "setup/records.h"

namespace mira {

// One registered read group, owned through its GroupTable entry.
struct GroupRecord {
    PlcAddress header;    // stationText holds the host's station reference
    ItemRequest* items;   // itemCount records, a block of their own
    int32_t itemCount;
};

// The record of a handle, or null for a handle outside 0..16383, a driver
// that is not open, or an empty entry.
GroupRecord* FindGroup(int32_t handle);

// The registry behind UDrvAddGroup, UDrvRemoveGroup and UDrvRemoveAllGroups:
// a handle outside 0..16383 or a closed driver changes nothing. AddGroup
// returns 1 when the group is registered, 0 when a text is refused (the
// handle's earlier group is gone either way).
int32_t AddGroup(int32_t groupHandle, const char16_t* stationRef, const char16_t* headerText,
                 const char16_t* const* itemTexts, int32_t itemCount);
void RemoveGroup(int32_t groupNumber);
void RemoveAllGroups();

}  // namespace mira
