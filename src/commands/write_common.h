// Pieces the group write and the item write share: the host text bound, the
// value conversions, the staging words of a run and the reply handling.
#pragma once

#include <cstdint>

#include "setup/records.h"
#include "mira/mira.h"

namespace mira {

// A host text of a write lives in HostValueCore.value: 84 code units, so at
// most 83 characters before its terminator. Nothing past that is read, and
// an unterminated text counts as 83 characters.
inline constexpr int32_t kHostTextChars = 83;

// The words a group write can carry, and the longest station text.
inline constexpr int32_t kStagingWords = 128;
inline constexpr int32_t kStationChars = 80;

// Characters of a host text within its bound.
int32_t HostTextLength(const char16_t* text);

// IEEE single precision of a host double. NaN becomes the quiet NaN
// 0x7FC00000 and magnitudes beyond the single range become infinities, so
// every double has a defined pattern.
uint32_t SingleBits(double value);

// The low 16 bits of an integer as the line carries it.
constexpr uint16_t LowWord(int32_t v) {
    return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFFu);
}

// The staging words of one group request: slot k is the word of run index
// first + k. Writes outside [0, limit) are dropped, so no item can place data
// outside the run or the 128 words.
class StagingWords {
public:
    explicit StagingWords(int32_t limit)
        : limit_(limit < 0 ? 0 : (limit > kStagingWords ? kStagingWords : limit)) {}
    void Put(int32_t slot, uint16_t word) {
        if (slot >= 0 && slot < limit_) words_[slot] = word;
    }
    // Byte p of the run: the low byte of slot p/2 when p is even, the high
    // byte when odd (the byte order of PLC-5 character data).
    void PutByte(int32_t position, uint8_t byte);
    uint16_t Get(int32_t slot) const { return (slot >= 0 && slot < limit_) ? words_[slot] : 0; }
    int32_t limit() const { return limit_; }

private:
    int32_t limit_;
    uint16_t words_[kStagingWords] = {};
};

// Rewrites the "\0" escapes of a host text for the paired character layout
// (two characters per word, the first in the high byte): a pair that begins
// with backslash and '0' becomes 0x00 0x20; a pair whose second character is
// a backslash followed by '0' ends in 0x00 and the '0' becomes a space. Only
// the first `used` characters take part.
void RewritePairEscapes(char16_t* text, int32_t used);

// Character j of a host text as a byte, or 0 past `used`.
inline uint8_t CharByte(const char16_t* text, int32_t j, int32_t used) {
    return (j >= 0 && j < used) ? static_cast<uint8_t>(text[j] & 0xFFu) : 0;
}

// The parsers as the starts and the group functions use them, taking only
// the texts TakeHeader and TakeItem take: what a parse finds besides the
// record is kept in DriverState (LetterSyntax of a header, HasTypePrefix of
// an item). 0, or the code the text is refused with; -34 for an item
// without text.
[[nodiscard]] int32_t ParseHeaderText(PlcAddress* header, const char16_t* stationText,
                                      const char16_t* headerText);
[[nodiscard]] int32_t ParseItemText(const PlcAddress* header, ItemRequest* row, const char16_t* itemText);

// Reads the station text of stationRef through Portkit and parses the
// header text into CurrentHeader (a read's or a write's); 0, or the code
// the text is refused with.
[[nodiscard]] int32_t ParseCurrentHeader(const char16_t* stationRef, const char16_t* headerText);

// Sends a built request; the port's ErrorCode (0: sent) goes to *error and
// the start's result (1 sent, 0 not) is returned.
int32_t SendWriteRequest(const uint8_t* message, int32_t length, int32_t* error);

// The finish both writes share: 0 while the reply is outstanding; 1 when the
// exchange is over, with *error the link error or the reply's status code.
// `exchange` is the Outstanding kind of the finish's own start; with another
// (or none) the call ends at once with MIRA_ERR_NOTHING_OUTSTANDING.
int32_t FinishWrite(int32_t* error, uint32_t exchange);

}  // namespace mira
