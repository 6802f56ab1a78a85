#include "commands/write_common.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "address/taken.h"
#include "commands/request.h"
#include "commands/status.h"
#include "link/channel.h"
#include "link/receive.h"
#include "platform/wide.h"
#include "setup/driver_state.h"
#include "setup/portkit.h"

namespace mira {

int32_t HostTextLength(const char16_t* text) {
    return text == nullptr ? 0 : static_cast<int32_t>(wide::wcsnlen(text, kHostTextChars));
}

uint32_t SingleBits(double value) {
    if (std::isnan(value)) return 0x7FC00000u;
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax) return 0x7F800000u;
    if (value < -kMax) return 0xFF800000u;
    return std::bit_cast<uint32_t>(static_cast<float>(value));
}

void StagingWords::PutByte(int32_t position, uint8_t byte) {
    if (position < 0) return;
    const int32_t slot = position / 2;
    if (slot >= limit_) return;
    if (position % 2 == 0)
        words_[slot] = static_cast<uint16_t>((words_[slot] & 0xFF00u) | byte);
    else
        words_[slot] = static_cast<uint16_t>((words_[slot] & 0x00FFu) | (byte << 8));
}

void RewritePairEscapes(char16_t* text, int32_t used) {
    for (int32_t j = 0; j < used; j += 2) {
        if (text[j] == u'\\' && j + 1 < used && text[j + 1] == u'0') {
            text[j] = 0;
            text[j + 1] = u' ';
        } else if (j + 2 < used && text[j + 1] == u'\\' && text[j + 2] == u'0') {
            text[j + 1] = 0;
            text[j + 2] = u' ';
        }
    }
}

int32_t ParseCurrentHeader(const char16_t* stationRef, const char16_t* headerText) {
    char16_t station[kStationChars + 1] = {};
    PkStationText(Driver.Port, stationRef != nullptr ? stationRef : u"", station, kStationChars);
    station[kStationChars] = 0;
    if (headerText == nullptr) return MIRA_ERR_BAD_HEADER;
    return ParseHeaderText(&Driver.CurrentHeader, station, headerText);
}

int32_t ParseHeaderText(PlcAddress* header, const char16_t* stationText, const char16_t* headerText) {
    const HeaderResult parsed = TakeHeader(header, stationText, headerText);
    Driver.LetterSyntax = parsed.letterSyntax;
    return parsed.code;
}

int32_t ParseItemText(const PlcAddress* header, ItemRequest* row, const char16_t* itemText) {
    if (itemText == nullptr) return MIRA_ERR_BAD_MNEMONIC;
    const ItemResult parsed = TakeItem(header, row, itemText);
    Driver.HasTypePrefix = parsed.typePrefix;
    return parsed.code;
}

int32_t SendWriteRequest(const uint8_t* message, int32_t length, int32_t* error) {
    const int32_t code = TransmitRequest(message, length);
    *error = code;
    return code == 0 ? 1 : 0;
}

int32_t FinishWrite(int32_t* error, uint32_t exchange) {
    // The last reply's status stays kept: without a write of its own
    // outstanding the finish would report it as this write's.
    if (Driver.Outstanding != exchange) {
        *error = MIRA_ERR_NOTHING_OUTSTANDING;
        return 1;
    }
    int32_t linkError = 0;
    if (PollReply(&linkError) == 0) return 0;
    Driver.Outstanding = kNoExchange;
    WaitOutputDrained();
    if (linkError != 0) {
        *error = linkError;
        return 1;
    }
    // Only the bytes this reply brought count, never an earlier, longer
    // reply's past them.
    uint8_t head[7] = {};
    const int32_t length = CopyReply(0, sizeof head, head);
    *error = CheckMessageStatus(head, length);
    return 1;
}

}  // namespace mira
