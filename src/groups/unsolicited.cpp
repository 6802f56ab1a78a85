// UDrvProcessUnsolicitedReadMessage: hands the words of a command that a
// controller sent on its own to the host, answers the controller and frees
// the slot the receive handler stored the command in.
#include "groups/unsolicited.h"

#include <algorithm>

#include "commands/decode.h"
#include "commands/status.h"
#include "commands/write_common.h"
#include "link/frame.h"
#include "link/pccc.h"
#include "link/receive.h"
#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "setup/driver_state.h"
#include "setup/portkit.h"

namespace mira {
namespace {

constexpr int32_t kPlc2DataOffset = 8;

// Skips one SLC number field (one byte, or 0xFF low high); false past end.
bool SkipNumberField(const uint8_t* bytes, int32_t end, int32_t* pos) {
    if (*pos >= end) return false;
    *pos += bytes[*pos] == 0xFF ? 3 : 1;
    return *pos <= end;
}

}  // namespace

int32_t FindUnsolicitedSlot(const char16_t* key) {
    if (key == nullptr || Driver.UnsolSlots == nullptr) return -1;
    int32_t found = -1;
    uint32_t oldest = 0;
    for (int32_t i = 0; i < kUnsolSlotCount; ++i) {
        UnsolSlot& slot = Driver.UnsolSlots[i];
        // InUse first: a free slot may be filling on the receive thread.
        if (LoadAcquire(slot.InUse) == 0) continue;
        int32_t k = 0;
        while (k < kKeyChars && slot.KeyText[k] != 0 && slot.KeyText[k] != u'\t' && key[k] == slot.KeyText[k])
            ++k;
        const bool slotEnds = k == kKeyChars || slot.KeyText[k] == 0 || slot.KeyText[k] == u'\t';
        if (!slotEnds || key[k] != 0) continue;
        // Arrival numbers wrap: the older is the one the other has not reached.
        const uint32_t arrival = Load(Driver.UnsolArrival[i]);
        if (found < 0 || static_cast<int32_t>(arrival - oldest) < 0) found = i, oldest = arrival;
    }
    return found;
}

namespace {

// FrameLength counts the bytes after DLE STX up to the frame's end: the
// message, then DLE ETX and the check (one BCC byte or two CRC bytes).
int32_t UnsolicitedMessageLength(const UnsolSlot& slot) {
    const int32_t trailer = Driver.UseCrc != 0 ? 4 : 3;
    const int32_t stored = static_cast<int32_t>(std::min<uint32_t>(slot.FrameLength, sizeof slot.FrameBytes));
    return std::max(stored - trailer, 0);
}

}  // namespace

UnsolData UnsolicitedData(const UnsolSlot& slot) {
    const int32_t end = UnsolicitedMessageLength(slot);
    int32_t start = kPlc2DataOffset;
    // An SLC typed write carries function, byte count, file, type, element
    // and sub-element before its data; word 0 is the first data word.
    if (Driver.ModelClass == kClassSlc500 && end > 6 && slot.FrameBytes[2] == pccc::kCmdTyped &&
        slot.FrameBytes[6] == pccc::kFncSlcProtectedWrite) {
        int32_t pos = 8;
        bool ok = SkipNumberField(slot.FrameBytes, end, &pos);
        ++pos;  // file type
        ok = ok && pos <= end && SkipNumberField(slot.FrameBytes, end, &pos) &&
             SkipNumberField(slot.FrameBytes, end, &pos);
        start = ok ? pos : end;
    }
    UnsolData data;
    data.words = std::clamp((end - start) / 2, 0, kUnsolDataWords);
    for (int32_t k = 0; k < data.words; ++k)
        data.word[k] =
            static_cast<uint32_t>(slot.FrameBytes[start + 2 * k] | (slot.FrameBytes[start + 2 * k + 1] << 8));
    return data;
}

namespace {

int32_t Deliver(int32_t slotIndex, const char16_t* headerText, const char16_t* stationRef,
                const char16_t* const* itemTexts, HostValueCore* values, int32_t itemCount, int32_t* error) {
    UnsolSlot& slot = Driver.UnsolSlots[slotIndex];
    char16_t station[kStationChars + 1] = {};
    PkStationText(Driver.Port, stationRef != nullptr ? stationRef : u"", station, kStationChars);
    station[kStationChars] = 0;
    int32_t code = ParseHeaderText(&Driver.UnsolHeader, station, headerText);
    if (code != 0) {
        *error = code;
        return 0;
    }
    ItemRequest* items = Driver.UnsolItemTable;
    for (int32_t i = 0; i < itemCount; ++i) {
        code = ParseItemText(&Driver.UnsolHeader, &items[i], itemTexts[i]);
        if (code != 0) {
            *error = code;
            return 0;
        }
    }
    int32_t smallest = items[0].element, largest = items[0].element;
    for (int32_t i = 1; i < itemCount; ++i) {
        smallest = std::min(smallest, items[i].element);
        largest = std::max(largest, items[i].element);
    }
    Driver.UnsolHeader.elementCount =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{largest} - smallest + 1, 0, INT32_MAX));

    code = CheckMessageStatus(slot.FrameBytes, UnsolicitedMessageLength(slot));
    if (code != 0) {
        *error = code;
        return 1;
    }
    const UnsolData data = UnsolicitedData(slot);
    // Every item's word must have come with the frame; otherwise nothing is
    // delivered and the frame stays for another try or a discard.
    for (int32_t i = 0; i < itemCount; ++i) {
        if (items[i].element < 0 || items[i].element >= data.words) {
            *error = MIRA_ERR_RANGE;
            return 0;
        }
    }
    for (int32_t i = 0; i < itemCount; ++i) {
        const ItemRequest& item = items[i];
        const uint32_t word = data.word[item.element];
        int32_t value = static_cast<int32_t>(word);
        if (item.hasBit != 0)
            value = (item.bit >= 0 && item.bit < 16 && ((word >> item.bit) & 1u) != 0) ? 1 : 0;
        else if (item.kind == 1)
            value = DecodeBcd(static_cast<uint16_t>(word), nullptr);
        values[i].valueType = MIRA_VALUE_INTEGER;
        values[i].value.integer = value;
    }

    const uint8_t reply[6] = {
        static_cast<uint8_t>(Driver.UnsolHeader.station & 0xFF),
        static_cast<uint8_t>(Driver.LocalStation & 0xFFu),
        static_cast<uint8_t>(slot.FrameBytes[2] | pccc::kReplyBit),
        0x00,
        slot.FrameBytes[4],
        slot.FrameBytes[5],
    };
    uint8_t frame[FrameCapacity(6)];
    int32_t frameLength = 0;
    EncodeDriverFrame(reply, 6, frame, &frameLength);
    NoteSentMessage(reply, 6, false);
    PkSend(Driver.Port, frame, frameLength);

    // The key goes first: once InUse is 0 the receive thread may refill it.
    slot.KeyText[0] = 0;
    StoreRelease(slot.InUse, 0);
    return 1;
}

}  // namespace

int32_t ProcessUnsolicited(const char16_t* headerText, const char16_t* stationRef, const char16_t* const* itemTexts,
                           HostValueCore* values, int32_t itemCount, int32_t* error) {
    const int32_t slotIndex = FindUnsolicitedSlot(headerText);
    if (itemCount == 0 && values == nullptr) {
        if (slotIndex >= 0) StoreRelease(Driver.UnsolSlots[slotIndex].InUse, 0);
        *error = MIRA_ERR_NO_UNSOLICITED;
        return 0;
    }
    if (slotIndex < 0) {
        *error = MIRA_ERR_NO_UNSOLICITED;
        return 0;
    }
    if (itemCount < 1 || itemCount > kItemTableRows || itemTexts == nullptr || values == nullptr ||
        Driver.UnsolItemTable == nullptr || Driver.Port == nullptr) {
        *error = MIRA_ERR_RANGE;
        return 0;
    }
    return Deliver(slotIndex, headerText, stationRef, itemTexts, values, itemCount, error);
}

}  // namespace mira
