// UDrvWriteGroupStart and UDrvWriteGroupFinish: one write request for a run
// of words that covers every item of the group.
#include "commands/write_group.h"

#include <algorithm>

#include "address/tables.h"
#include "commands/decode.h"
#include "commands/element_layout.h"
#include "commands/request.h"
#include "link/pccc.h"
#include "commands/write_common.h"
#include "mira/portkit_codes.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

// Element numbers travel as 16 bits (the SLC escape, the PLC-2 byte
// address); a run outside this never reaches the line.
constexpr int64_t kMaxAddress = 0xFFFF;

// Longest PLC-5 address text (ST65535:65535 and the like) plus terminator.

bool IsIoFile(int32_t fileType) {
    return fileType == kFileOutput || fileType == kFileInput;
}

// Word or byte span [first, last] of one item, as the run rules give it.
struct Span {
    int64_t first;
    int64_t last;
};

// The characters of a string item that take part: its host text, at most
// `size` of them.
int32_t UsedChars(const ItemRequest& item, const HostValueCore& value) {
    if (item.kind != kKindString) return 0;
    const int32_t size = item.size < 0 ? 0 : item.size;
    return std::min(HostTextLength(value.value.text), size);
}

// The words of float e in a word-addressed run.
Span FloatWords(int64_t e) { return {kWordsPerFloat * e, kWordsPerFloat * (e + 1) - 1}; }

// A float's words, low half first, from staging slot `slot` on.
void PutFloat(StagingWords& staging, int32_t slot, uint32_t bits) {
    staging.Put(slot, static_cast<uint16_t>(bits & 0xFFFFu));
    staging.Put(slot + 1, static_cast<uint16_t>(bits >> 16));
}

Span ItemSpan(const ItemRequest& item, const HostValueCore& value, int32_t index, int64_t currentLast) {
    const bool plc5 = Driver.Plc5Family != 0;
    const bool alt = Driver.AltAddressMode == 1;
    const int32_t fileType = Driver.CurrentHeader.fileType;
    const int64_t e = item.element;
    const int64_t s = item.size < 0 ? 0 : item.size;
    const int64_t m = UsedChars(item, value);
    if (plc5) {
        // PLC-5 ASCII runs count bytes, with `last` one past the data; a
        // float file counts floats; other files count words.
        if (item.kind == kKindString) return {e, e + s};
        if (fileType == kFileAscii) return {e, e + 2 * (item.kind == kKindFloat ? kWordsPerFloat : 1)};
        if (fileType != kFileFloat && item.kind == kKindFloat) return FloatWords(e);
        return {e, e};
    }
    if (fileType == kFileAscii && index > 0) {
        if (!alt) return {e, e};
        if (e > currentLast) return {e, e + s / 2 - (s % 2 == 0 ? 1 : 0)};
        return {e, currentLast};
    }
    if (item.kind == kKindFloat) return FloatWords(e);
    if (item.kind == kKindString) {
        if (alt) return {e, e + m / 2 - (m % 2 == 0 ? 1 : 0)};
        return {2 * e, 2 * e + m};
    }
    return {e, e};
}

// Places the value of one item into the staging words.
void StageItem(StagingWords& staging, const ItemRequest& item, HostValueCore& value, int32_t first) {
    const bool plc5 = Driver.Plc5Family != 0;
    const int32_t fileType = Driver.CurrentHeader.fileType;
    const int32_t e = item.element;
    char16_t* text = value.value.text;

    if (plc5 && fileType == kFileFloat) {
        const double d =
            item.kind == kKindFloat ? value.value.real : static_cast<double>(value.value.integer);
        PutFloat(staging, kWordsPerFloat * (e - first), SingleBits(d));
        return;
    }
    if (plc5 && item.kind == kKindString) {
        const int32_t m = UsedChars(item, value);
        int32_t p = e - first;
        for (int32_t j = 0; j < m;) {
            if (text[j] == u'\\' && j + 1 < m && text[j + 1] == u'0') {
                staging.PutByte(p, 0);
                text[j] = 0;
                j += 2;
                p += 2;
            } else {
                staging.PutByte(p, CharByte(text, j, m));
                ++j;
                ++p;
            }
        }
        return;
    }
    if (plc5 && fileType == kFileAscii) {
        // Byte-addressed: the value's bytes from position e on, low first.
        const int32_t p = e - first;
        if (item.kind == kKindFloat) {
            const uint32_t bits = SingleBits(value.value.real);
            for (int32_t k = 0; k < 4; ++k) staging.PutByte(p + k, static_cast<uint8_t>(bits >> (8 * k)));
        } else {
            const uint16_t w =
                item.kind == kKindBcd ? EncodeBcd(value.value.integer) : LowWord(value.value.integer);
            staging.PutByte(p, static_cast<uint8_t>(w & 0xFFu));
            staging.PutByte(p + 1, static_cast<uint8_t>(w >> 8));
        }
        return;
    }
    switch (item.kind) {
        case kKindWord:
            staging.Put(e - first, LowWord(value.value.integer));
            break;
        case kKindBcd:
            staging.Put(e - first, EncodeBcd(value.value.integer));
            break;
        case kKindFloat:
            PutFloat(staging, kWordsPerFloat * e - first, SingleBits(value.value.real));
            break;
        case kKindString: {
            const int32_t m = UsedChars(item, value);
            RewritePairEscapes(text, m);
            const int32_t start = Driver.AltAddressMode == 1 ? e - first : e - first / 2;
            for (int32_t k = 0; 2 * k < m; ++k) {
                const uint16_t pair =
                    static_cast<uint16_t>((CharByte(text, 2 * k, m) << 8) | CharByte(text, 2 * k + 1, m));
                staging.Put(start + k, pair);
            }
            break;
        }
        default:
            break;
    }
}

}  // namespace

int32_t BuildGroupWrite(HostValueCore* values, int32_t count, uint8_t* message, int32_t* length) {
    PlcAddress& header = Driver.CurrentHeader;
    ItemRequest* items = Driver.ItemTable;
    const bool plc5 = Driver.Plc5Family != 0;
    const bool plc2 = !plc5 && Driver.ModelClass == kClassPlc2;
    const int32_t fileType = header.fileType;
    *length = 0;
    if (count < 1 || count > kItemTableRows) return MIRA_ERR_RANGE;

    // The run, in item order from item 0.
    int64_t first = 0, last = 0;
    for (int32_t i = 0; i < count; ++i) {
        const Span span = ItemSpan(items[i], values[i], i, last);
        first = i == 0 ? span.first : std::min(first, span.first);
        last = i == 0 ? span.last : std::max(last, span.last);
    }
    // An empty string still writes one word.
    last = std::max(last, first);

    if (IsWholeElementFile(fileType)) return MIRA_ERR_GROUP_WRITE_TCC;
    if (fileType == kFileString) return MIRA_ERR_GROUP_WRITE_BIT;
    if (plc5 && fileType == kFileFloat) {
        for (int32_t i = 0; i < count; ++i)
            if (items[i].kind == kKindString) return MIRA_ERR_GROUP_WRITE_BIT;
    }
    // A header that names no element addresses from element 0, as the reads do.
    const int64_t base = header.elementBase < 0 ? 0 : header.elementBase;
    if (first < 0 || last - first >= 2 * kStagingWords || base + last > 2 * kMaxAddress) return MIRA_ERR_RANGE;
    for (int32_t i = 0; i < count; ++i)
        if (!OctalNumbersFit(header, items[i])) return MIRA_ERR_RANGE;

    int32_t runFirst = static_cast<int32_t>(first);
    int32_t runLast = static_cast<int32_t>(last);
    if (Driver.OctalIo != 0 && IsIoFile(fileType)) {
        runFirst = OctalDigitsToValue(runFirst);
        runLast = OctalDigitsToValue(runLast);
        for (int32_t i = 0; i < count; ++i) items[i].element = OctalDigitsToValue(items[i].element);
    }

    // Words of data, the request's element count and the start element.
    int32_t words = runLast - runFirst + 1;
    int32_t elements = words;
    int32_t byteCount = 2 * words;
    int64_t start = base + runFirst;
    if (plc5 && fileType == kFileAscii) {
        byteCount = std::max(runLast - runFirst, 2);
        words = (byteCount + 1) / 2;
        elements = words;
        if (start % 2 != 0) return MIRA_ERR_ODD_ASCII_START;
        start /= 2;
    } else if (plc5 && fileType == kFileFloat) {
        words = kWordsPerFloat * elements;
        byteCount = 2 * words;
    } else if (!plc5 && fileType == kFileFloat) {
        start = base + runFirst / kWordsPerFloat;
    }
    if (words > kStagingWords) return MIRA_ERR_RANGE;
    // The count fields of the SLC and PLC-5 forms are one byte each.
    if (!plc5 && !plc2 && byteCount > 255) return MIRA_ERR_RANGE;
    if (plc5 && fileType != kFileAscii &&
        Plc5ArraySize(fileType, fileType == kFileFloat ? elements : words) > 255)
        return MIRA_ERR_RANGE;
    if (plc5 && fileType == kFileAscii && byteCount > 255) return MIRA_ERR_RANGE;
    const int64_t address = plc2 ? 2 * start : start;
    if (address < 0 || address > kMaxAddress) return MIRA_ERR_RANGE;

    if (CheckDestination(header) != 0) return MIRA_ERR_RANGE;
    // The SLC address fields before the header, so a refusal leaves the TNS.
    uint8_t slcAddress[kMaxSlcAddressBytes];
    int32_t slcAddressBytes = 0;
    if (!plc5 && !plc2) {
        slcAddressBytes = PutSlcAddress(slcAddress, &header, static_cast<int32_t>(address));
        if (slcAddressBytes < 0) return MIRA_ERR_RANGE;
    }

    header.startElement = static_cast<int32_t>(start);
    header.elementCount = elements;
    if (header.slot < 0) header.slot = 0;

    StagingWords staging(words);
    for (int32_t i = 0; i < count; ++i) StageItem(staging, items[i], values[i], runFirst);

    RequestWriter w(message, kMaxRequestBytes);
    if (plc5) {
        int32_t element = static_cast<int32_t>(address);
        if (Driver.OctalIo != 0 && IsIoFile(fileType))
            element = ValueToOctalDigits(OctalDigitsToValue(header.elementBase) + runFirst);
        PutPlc5WriteHead(w, header, elements, element);
        PutPlc5DataType(w, fileType, fileType == kFileFloat ? elements : words);
        if (fileType == kFileAscii) {
            w.Byte(static_cast<uint32_t>(byteCount));
            for (int32_t b = 0; b < byteCount; ++b) {
                const uint16_t word = staging.Get(b / 2);
                w.Byte(b % 2 == 0 ? word : word >> 8u);
            }
        } else {
            for (int32_t k = 0; k < words; ++k) w.Word(staging.Get(k));
        }
    } else if (plc2) {
        PutCommandHeader(w, header, pccc::kCmdUnprotectedWrite);
        w.Word(static_cast<uint16_t>(address));
        for (int32_t k = 0; k < words; ++k) w.Word(staging.Get(k));
    } else {
        PutCommandHeader(w, header, pccc::kCmdTyped);
        w.Byte(pccc::kFncSlcProtectedWrite);
        w.Byte(static_cast<uint32_t>(byteCount));
        w.Bytes(slcAddress, slcAddressBytes);
        for (int32_t k = 0; k < words; ++k) w.Word(staging.Get(k));
    }
    if (!w.ok()) return MIRA_ERR_RANGE;
    *length = w.size();
    return 0;
}

int32_t StartGroupWrite(const char16_t* stationRef, const char16_t* headerText, const char16_t* const* itemTexts,
                        HostValueCore* values, int32_t itemCount, int32_t* error) {
    if (itemCount < 1 || itemCount > kItemTableRows || itemTexts == nullptr || values == nullptr) {
        *error = MIRA_ERR_RANGE;
        return 0;
    }
    int32_t code = ParseCurrentHeader(stationRef, headerText);
    if (code != 0) {
        *error = code;
        return 0;
    }
    for (int32_t i = 0; i < itemCount; ++i) {
        ItemRequest& row = Driver.ItemTable[i];
        code = ParseItemText(&Driver.CurrentHeader, &row, itemTexts[i]);
        if (code == 0 && row.hasBit != 0) code = MIRA_ERR_GROUP_WRITE_BIT;
        if (code != 0) {
            *error = code;
            return 0;
        }
    }
    uint8_t message[kMaxRequestBytes];
    int32_t length = 0;
    code = BuildGroupWrite(values, itemCount, message, &length);
    if (code != 0) {
        *error = code;
        return 0;
    }
    const int32_t sent = SendWriteRequest(message, length, error);
    if (sent != 0) Driver.Outstanding = kGroupWriteExchange;
    return sent;
}

}  // namespace mira
