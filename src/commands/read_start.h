// What the read starts and the read finish agree on: the element span each
// item needs (the reply's layout is the element layout's).
#pragma once

#include <cstdint>

#include "setup/records.h"
#include "mira/mira.h"

namespace mira {

// A string never runs past the value field of the host's record.
inline constexpr int32_t kMaxStringChars = 83;
// The finish unpacks at most this many reply words.
inline constexpr int32_t kMaxReplyWords = 251;
// A read started from texts covers at most this many elements.
inline constexpr int32_t kMaxTextReadElements = 128;

// The elements (lo..hi, in the range's own units) the finish reads for one
// item, or false when the item cannot be read from a file of that type.
bool ItemSpan(int32_t fileType, const ItemRequest& item, int32_t* lo, int32_t* hi);

// Builds and sends the read of ItemTable rows 0..count-1 under
// CurrentHeader (already parsed); maxElements 0 applies no element limit.
// Returns 1 when the request went out (or the strings were read), else 0
// with *error set.
int32_t StartRead(int32_t count, int32_t maxElements, int32_t* error);

// UDrvReadGroupStart on an open driver: parses the header and item texts
// into CurrentHeader and ItemTable and starts their read. 1 when the request
// went out (or the strings were read), else 0 with *error set.
[[nodiscard]] int32_t StartTextRead(const char16_t* stationRef, const char16_t* headerText,
                                    const char16_t* const* itemTexts, int32_t itemCount, int32_t* error);

// UDrvReadGroupStartEx2 on an open driver, for a registered group: refreshes
// the group's station through Portkit, copies its header and items into
// CurrentHeader and ItemTable and starts their read, as StartTextRead.
[[nodiscard]] int32_t StartGroupRead(PlcAddress& groupHeader, const ItemRequest* items, int32_t itemCount,
                                     int32_t* error);

// UDrvReadGroupFinishExt on an open driver: 0 while the reply is out, 1 when
// the read is over, with the values written or *error set.
[[nodiscard]] int32_t FinishRead(HostValue* values, int32_t itemCount, int32_t* error);

// The number of items the last successful start read (0 before any). The
// finish decodes no more rows than that, so it never reports stale rows.
// Setting a count above 0 marks a read outstanding (Outstanding), 0 none.
int32_t StartedItemCount();
void SetStartedItemCount(int32_t count);

}  // namespace mira
