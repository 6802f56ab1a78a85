// UDrvWriteItemStart and UDrvWriteItemFinish: one value to one address. A bit
// or a timer, counter or control sub-element is read first and written back
// whole; PLC-2 bits use the unprotected bit write instead.
#include "commands/write_item.h"

#include <algorithm>

#include "address/tables.h"
#include "commands/decode.h"
#include "commands/element_layout.h"
#include "link/pccc.h"
#include "commands/read_start.h"
#include "commands/request.h"
#include "commands/write_common.h"
#include "mira/portkit_codes.h"
#include "platform/clock.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr int64_t kMaxAddress = 0xFFFF;
// Item texts handed to the read before a write, mnemonic included.
constexpr int32_t kReadTextCapacity = 64;
// The read before a write ends through Portkit's reply time-out; this bound
// (60 s of 10 ms polls) only keeps a port that never reports from hanging
// the host for ever.
constexpr int32_t kMaxReadPolls = 6000;
// PLC-5 character data is padded from the host text up to this many
// characters; positions past it are sent as zero bytes.
constexpr int32_t kPaddedChars = 81;

bool IsIoFile(int32_t fileType) {
    return fileType == kFileOutput || fileType == kFileInput;
}

// The mnemonic that names word `word` of a timer, counter or control element
// whole (the layout names each word once).
int32_t MnemonicOfWord(const ElementLayout& layout, int32_t word) {
    for (int32_t row = 0; row < MnemonicsOf(layout.fileType).count; ++row) {
        const SubElement part = SubElementOf(layout, row);
        if (part.word == word && part.bit < 0) return row;
    }
    return -1;
}

// A header that names no element addresses from element 0, as the reads do.
int64_t ElementBase(const PlcAddress& header) {
    return header.elementBase < 0 ? 0 : header.elementBase;
}

int32_t ParseHeaderAndItem(const char16_t* stationRef, const char16_t* headerText, const char16_t* itemText) {
    const int32_t code = ParseCurrentHeader(stationRef, headerText);
    if (code != 0) return code;
    return ParseItemText(&Driver.CurrentHeader, &Driver.ItemTable[0], itemText);
}

// Copies itemText up to its first '.', or when it has none its first '/';
// keepSeparator keeps that character. False when there is neither.
bool CutAtSeparator(const char16_t* itemText, char16_t* out, bool keepSeparator) {
    const char16_t* cut = wide::wcschr(itemText, u'.');
    if (cut == nullptr) cut = wide::wcschr(itemText, u'/');
    if (cut == nullptr) return false;
    const int32_t n = std::min<int32_t>(static_cast<int32_t>(cut - itemText) + (keepSeparator ? 1 : 0),
                                        kReadTextCapacity - 1);
    for (int32_t i = 0; i < n; ++i) out[i] = itemText[i];
    out[n] = 0;
    return true;
}

// The synchronous read of `count` item texts under the caller's header:
// 0 with results filled, or the read's error code.
int32_t ReadBack(const char16_t* stationRef, const char16_t* headerText, const char16_t* const* texts,
                 int32_t count, HostValue* results) {
    int32_t error = 0;
    if (StartTextRead(stationRef, headerText, texts, count, &error) == 0)
        return error != 0 ? error : MIRA_ERR_CONTROLLER_STATUS;
    for (int32_t polls = 0; FinishRead(results, count, &error) == 0; ++polls) {
        if (polls >= kMaxReadPolls) return MIRA_PK_ERR_TIMEOUT;
        Sleep(10);
    }
    return error;
}

// The data of a string item on SLC 500: the length word of a string file,
// then the character pairs second character first, then the terminator word
// of an ASCII file with an even count.
void PutSlcString(RequestWriter& w, HostValueCore& value, int32_t size, int32_t fileType) {
    char16_t* text = value.value.text;
    const int32_t len = HostTextLength(text);
    const int32_t m = std::min(len, std::max(size, 0));
    text[m] = 0;
    RewritePairEscapes(text, m);
    if (fileType == kFileString) {
        w.Byte(static_cast<uint32_t>(m));
        w.Byte(0);
    }
    for (int32_t k = 0; 2 * k < m; ++k)
        w.Word(static_cast<uint16_t>((CharByte(text, 2 * k, m) << 8) | CharByte(text, 2 * k + 1, m)));
    if (fileType == kFileAscii && m % 2 == 0) w.Word(0);
}

int32_t SlcStringBytes(const HostValueCore& value, int32_t size, int32_t fileType) {
    const int32_t m = std::min(HostTextLength(value.value.text), std::max(size, 0));
    const int32_t pairs = 2 * ((m + 1) / 2);
    if (fileType == kFileString) return pairs + 2;
    return pairs + (fileType == kFileAscii && m % 2 == 0 ? 2 : 0);
}

// The character bytes of a string item on the PLC-5 family, which a count
// byte precedes on the line. Returns their number, or -1 when they do not
// fit that byte. An ASCII file's host text is padded with zeros first.
int32_t Plc5StringBytes(HostValueCore& value, int32_t size, int32_t fileType, uint8_t (&bytes)[255]) {
    char16_t* text = value.value.text;
    const int32_t len = HostTextLength(text);
    const int32_t doubled = 2 * std::clamp(size, 0, 0x7FFF);
    int32_t m = std::min(len, doubled);
    if (fileType == kFileAscii) {
        for (int32_t k = len; k < std::min(doubled, kPaddedChars); ++k) text[k] = 0;
        m = doubled;
    }
    int32_t n = 0;
    for (int32_t j = 0; j < m;) {
        if (n >= 255) return -1;
        const uint8_t c = CharByte(text, j, len);
        if (c == '\\' && j + 1 < m && CharByte(text, j + 1, len) == '0') {
            bytes[n++] = 0;
            j += 2;
        } else {
            bytes[n++] = c;
            ++j;
        }
    }
    if (fileType == kFileString && m % 2 != 0) {
        if (n >= 255) return -1;
        bytes[n++] = 0;
    }
    return n;
}

int32_t BuildSlc(const ItemWords& words, HostValueCore& value, RequestWriter& w) {
    PlcAddress& header = Driver.CurrentHeader;
    const ItemRequest& item = Driver.ItemTable[0];
    const int32_t fileType = header.fileType;
    const bool whole = IsWholeElementFile(fileType);
    const int32_t elementWords = ElementLayoutOf(false, fileType).wordsPerElement;
    // A timer, counter or control is addressed by its first word.
    int64_t e = int64_t{item.element} + ElementBase(header);
    if (whole) e *= elementWords;
    if (e < 0 || e > kMaxAddress) return MIRA_ERR_RANGE;
    int32_t byteCount = 2;
    if (whole)
        byteCount = 2 * elementWords;
    else if (item.hasBit != 0)
        byteCount = 2;
    else if (item.kind == kKindFloat)
        byteCount = 2 * kWordsPerFloat;
    else if (item.kind == kKindString)
        byteCount = SlcStringBytes(value, item.size, fileType);
    uint8_t address[kMaxSlcAddressBytes];
    const int32_t addressBytes = PutSlcAddress(address, &header, static_cast<int32_t>(e));
    if (addressBytes < 0) return MIRA_ERR_RANGE;

    PutCommandHeader(w, header, pccc::kCmdTyped);
    w.Byte(pccc::kFncSlcProtectedWrite);
    w.Byte(static_cast<uint32_t>(byteCount));
    w.Bytes(address, addressBytes);
    if (whole) {
        for (int32_t k = 0; k < elementWords; ++k) w.Word(words.element[k]);
    } else if (item.hasBit != 0) {
        w.Word(LowWord(words.w));
    } else if (item.kind == kKindFloat) {
        w.Word(LowWord(words.w));
        w.Word(words.h);
    } else if (item.kind == kKindString) {
        PutSlcString(w, value, item.size, fileType);
    } else {
        w.Word(LowWord(words.w));
    }
    return 0;
}

int32_t BuildPlc5(const ItemWords& words, HostValueCore& value, RequestWriter& w) {
    PlcAddress& header = Driver.CurrentHeader;
    ItemRequest& item = Driver.ItemTable[0];
    const int32_t fileType = header.fileType;
    int64_t e = int64_t{item.element} + ElementBase(header);
    if (Driver.OctalIo != 0 && IsIoFile(fileType)) {
        e = ValueToOctalDigits(OctalDigitsToValue(header.elementBase) + OctalDigitsToValue(item.element));
        item.element = OctalDigitsToValue(item.element);
    }
    if (fileType == kFileAscii) e *= 2;
    if (e < 0 || e > kMaxAddress) return MIRA_ERR_RANGE;
    int32_t total = item.kind == kKindString ? std::clamp(item.size, 0, 0x7FFF) : 1;
    if (item.kind == kKindFloat) total = kWordsPerFloat;
    if (fileType == kFileAscii) total *= 2;

    const bool whole = IsWholeElementFile(fileType);
    const bool isString = !whole && item.kind == kKindString && item.hasBit == 0;
    uint8_t bytes[255];
    const int32_t stringBytes = isString ? Plc5StringBytes(value, item.size, fileType, bytes) : 0;
    if (stringBytes < 0) return MIRA_ERR_RANGE;

    PutPlc5WriteHead(w, header, total, static_cast<int32_t>(e));
    PutPlc5DataType(w, fileType, 1);
    if (whole) {
        const int32_t elementWords = ElementLayoutOf(true, fileType).wordsPerElement;
        for (int32_t k = 0; k < elementWords; ++k) w.Word(words.element[k]);
        return 0;
    }
    if (item.kind == kKindFloat && item.hasBit == 0) {
        w.Word(LowWord(words.w));
        w.Word(words.h);
        w.Byte(0x00);
    } else if (isString) {
        w.Byte(static_cast<uint32_t>(stringBytes));
        for (int32_t i = 0; i < stringBytes; ++i) w.Byte(bytes[i]);
    } else {
        w.Word(LowWord(words.w));
    }
    return 0;
}

int32_t BuildPlc2(const ItemWords& words, RequestWriter& w) {
    const PlcAddress& header = Driver.CurrentHeader;
    const ItemRequest& item = Driver.ItemTable[0];
    const int64_t a = (int64_t{item.element} + ElementBase(header)) * 2;
    if (a < 0 || a + 1 > kMaxAddress) return MIRA_ERR_RANGE;
    if (item.hasBit != 0) {
        const uint32_t mask = (item.bit >= 0 && item.bit < 32) ? (1u << item.bit) : 0u;
        const uint8_t low = static_cast<uint8_t>(mask & 0xFFu);
        const uint8_t high = static_cast<uint8_t>((mask >> 8) & 0xFFu);
        const bool set = words.w > 0;
        PutCommandHeader(w, header, pccc::kCmdUnprotectedBitWrite);
        w.Word(static_cast<uint16_t>(a));
        w.Byte(set ? low : 0);
        w.Byte(set ? 0 : low);
        w.Word(static_cast<uint16_t>(a + 1));
        w.Byte(set ? high : 0);
        w.Byte(set ? 0 : high);
        return 0;
    }
    PutCommandHeader(w, header, pccc::kCmdUnprotectedWrite);
    w.Word(static_cast<uint16_t>(a));
    w.Word(LowWord(words.w));
    if (item.kind == kKindFloat) w.Word(words.h);
    return 0;
}

}  // namespace

int32_t BuildItemWrite(const ItemWords& words, HostValueCore& value, uint8_t* message, int32_t* length) {
    const ItemRequest& item = Driver.ItemTable[0];
    const int32_t fileType = Driver.CurrentHeader.fileType;
    *length = 0;
    if (CheckDestination(Driver.CurrentHeader) != 0) return MIRA_ERR_RANGE;
    RequestWriter w(message, kMaxRequestBytes);
    int32_t code = 0;
    if (Driver.Plc5Family != 0) {
        if (item.hasBit != 0 && IsWholeElementFile(fileType)) return MIRA_ERR_BAD_MNEMONIC;
        code = BuildPlc5(words, value, w);
    } else if (Driver.ModelClass == kClassPlc2) {
        if (item.kind == kKindString) return MIRA_ERR_GROUP_WRITE_BIT;
        code = BuildPlc2(words, w);
    } else {
        if (item.hasBit != 0 && IsWholeElementFile(fileType)) return MIRA_ERR_BAD_MNEMONIC;
        code = BuildSlc(words, value, w);
    }
    if (code != 0) return code;
    if (!w.ok()) return MIRA_ERR_RANGE;
    *length = w.size();
    return 0;
}

namespace {

int32_t WriteItem(const char16_t* stationRef, const char16_t* headerText, const char16_t* itemText,
                  HostValueCore* value, int32_t* error) {
    if (itemText == nullptr) return MIRA_ERR_BAD_MNEMONIC;
    if (value == nullptr) return MIRA_ERR_RANGE;
    int32_t code = ParseHeaderAndItem(stationRef, headerText, itemText);
    if (code != 0) return code;
    if (Driver.CurrentHeader.fileType == kFileNone) return MIRA_ERR_BAD_HEADER;

    ItemRequest item = Driver.ItemTable[0];
    const int32_t fileType = Driver.CurrentHeader.fileType;
    if (!OctalNumbersFit(Driver.CurrentHeader, item)) return MIRA_ERR_RANGE;
    // A float or a string is no part of a timer, counter or control, as the
    // read of it says: its value would go into the element as a word.
    if (IsWholeElementFile(fileType) && (item.kind == kKindFloat || item.kind == kKindString))
        return MIRA_ERR_BAD_MNEMONIC;
    ItemWords words;
    switch (item.kind) {
        case kKindBcd:
            words.w = EncodeBcd(value->value.integer);
            break;
        case kKindFloat: {
            const uint32_t bits = SingleBits(value->value.real);
            words.w = static_cast<int32_t>(bits & 0xFFFFu);
            words.h = static_cast<uint16_t>(bits >> 16);
            break;
        }
        case kKindString:
            break;
        default:
            words.w = value->value.integer;
            break;
    }

    const bool readFirst = Driver.ModelClass != kClassPlc2 || Driver.Plc5Family != 0;
    if (readFirst && item.hasBit != 0 && !IsWholeElementFile(fileType)) {
        char16_t copy[kReadTextCapacity];
        if (!CutAtSeparator(itemText, copy, false)) return MIRA_ERR_BAD_MNEMONIC;
        const char16_t* texts[1] = {copy};
        HostValue results[1] = {};
        code = ReadBack(stationRef, headerText, texts, 1, results);
        if (code != 0) return code;
        int32_t bit = item.bit;
        if (Driver.Plc5Family != 0 && Driver.OctalIo != 0 && IsIoFile(fileType) && bit > 7) bit -= 2;
        const uint32_t mask = (bit >= 0 && bit < 32) ? (1u << bit) : 0u;
        const uint32_t read = static_cast<uint32_t>(results[0].value.integer);
        words.w = static_cast<int32_t>(words.w != 0 ? (read | mask) : (read & ~mask));
        code = ParseHeaderAndItem(stationRef, headerText, itemText);
        if (code != 0) return code;
    } else if (readFirst && item.hasBit == 0 && IsWholeElementFile(fileType)) {
        char16_t copy[kReadTextCapacity];
        if (!CutAtSeparator(itemText, copy, true)) return MIRA_ERR_BAD_MNEMONIC;
        if (wide::IsAlpha(copy[0])) copy[0] = u'W';
        // Every word of the element, by the mnemonic that names it whole.
        const ElementLayout& layout = ElementLayoutOf(Driver.Plc5Family != 0, fileType);
        const int32_t count = layout.wordsPerElement;
        char16_t texts[kMaxElementWords][kReadTextCapacity];
        const char16_t* list[kMaxElementWords];
        const size_t prefix = wide::wcslen(copy);
        for (int32_t k = 0; k < count; ++k) {
            wide::CopyText(texts[k], kReadTextCapacity, copy);
            const char16_t* name = MnemonicText(fileType, MnemonicOfWord(layout, k));
            wide::CopyText(texts[k] + prefix, kReadTextCapacity - prefix, name);
            list[k] = texts[k];
        }
        HostValue results[kMaxElementWords] = {};
        code = ReadBack(stationRef, headerText, list, count, results);
        if (code != 0) return code;
        for (int32_t k = 0; k < count; ++k) words.element[k] = LowWord(results[k].value.integer);
        code = ParseHeaderAndItem(stationRef, headerText, itemText);
        if (code != 0) return code;
        const SubElement part = SubElementOf(layout, Driver.ItemTable[0].mnemonic);
        if (part.bit >= 0) {
            uint16_t& word = words.element[part.word];
            const uint16_t mask = static_cast<uint16_t>(1u << part.bit);
            word = static_cast<uint16_t>(words.w != 0 ? (word | mask) : (word & ~mask));
        } else if (part.word >= 0 && !part.fixed) {
            words.element[part.word] = LowWord(words.w);
        }
    }

    uint8_t message[kMaxRequestBytes];
    int32_t length = 0;
    code = BuildItemWrite(words, *value, message, &length);
    if (code != 0) return code;
    const int32_t sent = SendWriteRequest(message, length, error);
    return sent != 0 ? 0 : *error;
}

}  // namespace

int32_t StartItemWrite(const char16_t* stationRef, const char16_t* headerText, const char16_t* itemText,
                       HostValueCore* value, int32_t* error) {
    const int32_t code = WriteItem(stationRef, headerText, itemText, value, error);
    *error = code;
    // The read before a bit or sub-element write has ended by now; what is
    // outstanding is this write, or nothing.
    Driver.Outstanding = code == 0 ? kItemWriteExchange : kNoExchange;
    return code == 0 ? 1 : 0;
}

}  // namespace mira
