// The read finish: the reply's words become the host's values.
#include <cstring>

#include "address/tables.h"
#include "commands/decode.h"
#include "commands/element_layout.h"
#include "commands/read_start.h"
#include "commands/status.h"
#include "link/channel.h"
#include "link/receive.h"
#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "platform/clock.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

bool Plc5() { return Driver.Plc5Family == 1; }

// The unpacked reply and how much of it the controller really sent.
struct Reply {
    uint8_t bytes[kRxDataBytes];  // the reply's message bytes
    uint16_t words[kMaxReplyWords];
    int32_t valid;       // words[0..valid) came from the reply
    int32_t dataStart;   // first data byte in RxData
    int32_t received;    // message bytes in RxData

    uint16_t At(int32_t j) const { return (j >= 0 && j < valid) ? words[j] : 0; }
    int32_t Signed(int32_t j) const { return static_cast<int16_t>(At(j)); }
};

// Bit b of a word taken as signed: bits above 15 repeat its sign.
int32_t BitOf(int32_t signedWord, int32_t b) {
    if (b < 0) return 0;
    if (b > 31) b = 31;
    return (signedWord >> b) & 1;
}

// What one item reads: the word indices lo..hi, or for a PLC-5 ASCII string
// the reply bytes lo..hi.
struct Span {
    int32_t lo, hi;
    bool bytes;
};

// The reply data an item decodes from; false for an item the start would
// not have sent.
bool SpanOf(int32_t fileType, const ElementLayout& layout, int32_t start, const ItemRequest& item, Span* s) {
    const int32_t k = item.element - start;
    s->bytes = false;
    if (item.kind < kKindWord || item.kind > kKindString) return false;
    if (IsWholeElementFile(fileType)) {
        const SubElement part = SubElementOf(layout, item.mnemonic);
        s->lo = s->hi = k * layout.wordsPerElement + (part.word < 0 ? 0 : part.word);
        return item.kind <= kKindBcd;
    }
    if (fileType == kFileAscii) {
        const int32_t k2 = 2 * item.element - start;
        if (Plc5()) {
            if (item.kind != kKindString) return false;
            *s = {k2, k2 + StringUnits(layout, item.size) - 1, true};
            return true;
        }
        s->lo = k2;
        s->hi = k2 + (item.kind == kKindString ? StringUnits(layout, item.size) : 1) - 1;
        return item.kind != kKindFloat;
    }
    if (item.hasBit == 1) {
        s->lo = s->hi = k;
        return item.kind != kKindFloat && item.kind != kKindString;
    }
    switch (item.kind) {
        case kKindFloat:
            s->lo = fileType == kFileFloat ? kWordsPerFloat * k : k;
            s->hi = s->lo + kWordsPerFloat - 1;
            return true;
        case kKindString:
            s->lo = k;
            s->hi = k + StringUnits(layout, item.size) - 1;
            return true;
        default:
            s->lo = s->hi = k;
            return true;
    }
}

bool Covered(const Reply& reply, const Span& s) {
    if (s.lo < 0 || s.hi < s.lo) return false;
    if (s.bytes) return reply.dataStart + s.hi < reply.received;
    return s.hi < reply.valid;
}

// Characters of a string into text[0..size], stopping at the first zero.
template <class CharAt>
void TakeString(char16_t* text, int32_t size, CharAt charAt) {
    for (int32_t c = 0; c < size; ++c) {
        const uint8_t ch = charAt(c);
        if (ch == 0) break;
        text[c] = static_cast<char16_t>(ch);
    }
}

double FloatOf(uint16_t low, uint16_t high) {
    const uint32_t pattern = uint32_t(low) | (uint32_t(high) << 16);
    float single;
    std::memcpy(&single, &pattern, sizeof single);
    // Through the text form, so the double carries the single's seven
    // significant digits rather than its binary tail (0.1f arrives as 0.1).
    char16_t text[64];
    wide::swprintf(text, 64, u"%e", double(single));
    return wide::wcstod(text, nullptr);
}

// Character c of a string whose words start at `first`, as the layout packs
// them: two a word, the first in the high byte, or one in a word's low byte.
uint8_t CharOfWords(const Reply& reply, const ElementLayout& layout, int32_t first, int32_t c) {
    const uint16_t w = reply.At(first + c / layout.charsPerUnit);
    return static_cast<uint8_t>(layout.charsPerUnit == 1 || c % 2 != 0 ? w & 0xFF : w >> 8);
}

void DecodeItem(const Reply& reply, int32_t fileType, const ElementLayout& layout, int32_t start,
                const ItemRequest& item, int32_t index, HostValue* r) {
    r->quality = MIRA_QUALITY_GOOD;
    const int32_t k = item.element - start;
    const int32_t size = item.size < 0 ? 0 : (item.size > kMaxStringChars ? kMaxStringChars : item.size);
    int32_t number = 0;
    double real = 0;
    char16_t text[kMaxStringChars + 1] = {};

    if (IsWholeElementFile(fileType)) {
        const SubElement part = SubElementOf(layout, item.mnemonic);
        const int32_t base = k * layout.wordsPerElement;
        if (part.bit >= 0) number = BitOf(reply.Signed(base + part.word), part.bit);
        else if (part.word >= 0) number = reply.Signed(base + part.word);
        if (item.kind == kKindBcd) number = DecodeBcd(static_cast<uint16_t>(number), r);
    } else if (fileType == kFileString) {
        // The slot holds the reply's bytes: pairs arrive second character first.
        const uint8_t* slot = Driver.StringSlots + kStringSlotBytes * index;
        TakeString(text, size, [&](int32_t c) { return slot[layout.charsPerUnit == 2 ? c ^ 1 : c]; });
    } else if (fileType == kFileAscii) {
        const int32_t k2 = 2 * item.element - start;
        if (item.kind == kKindBcd) {
            number = DecodeBcd(reply.At(k2), r);
        } else if (item.kind == kKindString) {
            if (Plc5())
                TakeString(text, size, [&](int32_t c) { return reply.bytes[reply.dataStart + k2 + c]; });
            else
                TakeString(text, size, [&](int32_t c) { return CharOfWords(reply, layout, k2, c); });
        } else if (item.hasBit == 1 && Driver.AltAddressMode == 1) {
            number = BitOf(reply.Signed(k2), item.bit);
        } else {
            number = reply.Signed(k2);
        }
    } else if (item.hasBit == 1) {
        int32_t b = item.bit;
        // Octal bit numbers 10..17 name bits 8..15.
        if (Driver.OctalIo == 1 && (fileType == kFileInput || fileType == kFileOutput) && b > 7) b -= 2;
        number = BitOf(reply.Signed(k), b);
    } else {
        switch (item.kind) {
            case kKindBcd: number = DecodeBcd(reply.At(k), r); break;
            case kKindFloat: {
                const int32_t lo = fileType == kFileFloat ? kWordsPerFloat * k : k;
                real = FloatOf(reply.At(lo), reply.At(lo + 1));
                break;
            }
            case kKindString:
                TakeString(text, size, [&](int32_t c) { return CharOfWords(reply, layout, k, c); });
                break;
            default: number = reply.Signed(k); break;
        }
    }

    if (item.kind == kKindFloat) {
        r->valueType = MIRA_VALUE_DOUBLE;
        r->value.real = real;
    } else if (item.kind == kKindString) {
        r->valueType = MIRA_VALUE_STRING;
        std::memset(r->value.text, 0, sizeof r->value.text);
        for (int32_t c = 0; c < size; ++c) r->value.text[c] = text[c];
    } else {
        r->valueType = MIRA_VALUE_INTEGER;
        r->value.integer = number;
    }
}

int32_t Finish(HostValue* values, int32_t itemCount, int32_t* error) {
    // The kept reply and ReplyReady stay until the next send: without
    // a read of its own outstanding the finish would decode it again.
    if (Driver.Outstanding != kReadExchange) {
        *error = MIRA_ERR_NOTHING_OUTSTANDING;
        return 1;
    }
    int32_t pollError = 0;
    if (PollReply(&pollError) == 0) return 0;
    if (pollError != 0) {
        *error = pollError;
        for (int i = 0; i < 4; ++i) ResetLine();
        return 1;
    }
    const MiraFileTime now = GetLocalFileTime();
    WaitOutputDrained();

    // Rows beyond what the last start read are stale; never report them.
    const int32_t started = StartedItemCount();
    if (itemCount > started || (itemCount > 0 && values == nullptr)) {
        *error = MIRA_ERR_RANGE;
        return 1;
    }
    const PlcAddress& h = Driver.CurrentHeader;
    const ItemRequest* items = Driver.ItemTable;

    if (h.fileType == kFileString) {
        if (Driver.StringSlots == nullptr || itemCount > kStringSlotCount) {
            *error = MIRA_ERR_RANGE;
            return 1;
        }
        static const Reply none{};
        const ElementLayout& layout = ElementLayoutOf(Plc5(), h.fileType);
        for (int32_t i = 0; i < itemCount; ++i) {
            if (items[i].kind != kKindString) {
                *error = MIRA_ERR_BAD_MNEMONIC;
                return 1;
            }
            DecodeItem(none, h.fileType, layout, h.startElement, items[i], i, &values[i]);
            values[i].timestamp = now;
        }
        return 1;
    }

    Reply reply;
    std::memset(reply.bytes, 0, sizeof reply.bytes);
    reply.received = CopyReply(0, ReplyLength(), reply.bytes);
    // The controller's status decides before any data do, from the bytes this
    // reply carried only; a reply too short for its data then fails the
    // coverage check below.
    *error = CheckMessageStatus(reply.bytes, reply.received);
    if (*error != 0) return 1;

    const ElementLayout& layout = ElementLayoutOf(Plc5(), h.fileType);
    const int32_t words = ReplyWords(layout, h.elementCount);
    if (h.elementCount < 0 || words > kMaxReplyWords) {
        *error = MIRA_ERR_RANGE;
        return 1;
    }
    reply.dataStart = layout.replyDataStart;
    const int32_t whole = reply.received > reply.dataStart ? (reply.received - reply.dataStart) / 2 : 0;
    reply.valid = whole < words ? whole : words;
    for (int32_t j = 0; j < reply.valid; ++j)
        reply.words[j] = static_cast<uint16_t>(reply.bytes[reply.dataStart + 2 * j] |
                                               (reply.bytes[reply.dataStart + 2 * j + 1] << 8));

    // A reply shorter than the request asked for, or an item outside the
    // range, is an exchange that failed: no record is touched. A short
    // reply says so in the trace, with its size against the request's.
    for (int32_t i = 0; i < itemCount; ++i) {
        Span s;
        if (!SpanOf(h.fileType, layout, h.startElement, items[i], &s)) {
            *error = MIRA_ERR_CONTROLLER_STATUS;
            return 1;
        }
        if (!Covered(reply, s)) {
            const int32_t asked = layout.plc5 && layout.plc5Type == 0
                                      ? h.elementCount
                                      : 2 * layout.wordsPerElement * h.elementCount;
            *error = ShortReply(reply.received - reply.dataStart, asked, reply.bytes[3]);
            return 1;
        }
    }
    for (int32_t i = 0; i < itemCount; ++i) {
        DecodeItem(reply, h.fileType, layout, h.startElement, items[i], i, &values[i]);
        values[i].timestamp = now;
    }
    return 1;
}

}  // namespace

int32_t FinishRead(HostValue* values, int32_t itemCount, int32_t* error) {
    const int32_t done = Finish(values, itemCount, error);
    if (done != 0) Driver.Outstanding = kNoExchange;
    return done;
}

}  // namespace mira
