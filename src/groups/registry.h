#pragma once

#include <cstdint>

#include "address/records.h"

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

}  // namespace mira
