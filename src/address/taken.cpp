// The one rule on which texts a request is built from (see taken.h). Each
// text is read a second time, strictly, by the grammar the parse used for it,
// and every number read so must be the number the parse put in the record:
// then the parse accounted for every character, and nothing it cut off or
// read past (an item is read from 15 characters) can change the address.
#include "address/taken.h"

#include "address/checks.h"
#include "address/tables.h"
#include "mira/mira.h"
#include "platform/wide.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A text between its surrounding blanks, taken left to right.
class Scan {
public:
    Scan(const char16_t* text, size_t length) : p_(text), end_(text + length) {
        while (p_ < end_ && wide::IsSpace(*p_)) ++p_;
        while (end_ > p_ && wide::IsSpace(end_[-1])) --end_;
    }
    bool Done() const { return p_ == end_; }
    const char16_t* Here() const { return p_; }
    size_t Left() const { return size_t(end_ - p_); }

    // The character c; a capital letter matches either case.
    bool Take(char16_t c) {
        if (p_ == end_ || Upper(*p_) != c) return false;
        ++p_;
        return true;
    }
    // Every letter of word, in either case.
    bool TakeWord(const char16_t* word) {
        const size_t n = wide::wcslen(word);
        if (n == 0 || n > Left() || wide::wcsnicmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }
    // Decimal digits, after a '-' where one is allowed, and their value as
    // the parsers convert them: the run ends at a character that is no
    // digit, so the conversion reads exactly these characters.
    bool Number(int32_t* value, bool minus = false) {
        const char16_t* q = p_;
        if (minus && q < end_ && *q == u'-') ++q;
        const char16_t* digits = q;
        while (q < end_ && IsDigit(*q)) ++q;
        if (q == digits) return false;
        *value = wide::wtol(p_);
        p_ = q;
        return true;
    }
    // A number that must be `expected`.
    bool Number(int32_t expected, bool minus = false) {
        int32_t n = 0;
        return Number(&n, minus) && n == expected;
    }

private:
    const char16_t* p_;
    const char16_t* end_;
};

// The header's file part in the numeric syntax: the type word of its file
// with its "/" where the parse found one, then the slot when three numbers
// follow, the file number and ":". True when the text fits the record so far.
bool NumericFilePart(Scan& s, const PlcAddress& h) {
    bool typeWord = false;
    for (const TypeWord& t : TypeWordTable)
        if (t.fileType == h.fileType && s.TakeWord(t.word)) {
            if (!s.Take(u'/')) return false;
            typeWord = true;
        }
    if (!typeWord && h.fileType != kFileInteger) return false;
    int32_t first = 0;
    if (!s.Number(&first) || !s.Take(u':')) return false;
    // Three numbers (slot, file, element) need the type word; the parse
    // takes the slot first and the file number second.
    Scan probe = s;
    int32_t second = 0;
    if (!(typeWord && probe.Number(&second) && probe.Take(u':'))) return h.slot == 0 && first == h.fileNumber;
    s = probe;
    return first == h.slot && second == h.fileNumber;
}

// The file part in the letter syntax up to its ":": the letters of its row
// and its file number where the row has one.
bool LetterFilePart(Scan& s, const PlcAddress& h) {
    if (!s.TakeWord(LettersOf(h.fileLetter))) return false;
    const int32_t row = h.fileLetter;
    const bool numbered = row != kRowO && row != kRowI && row != kRowS && row != kRowU;
    return !numbered || s.Number(h.fileNumber);
}

bool IoRow(int32_t row) { return row == kRowO || row == kRowI; }

bool HeaderAccounted(const char16_t* text, const PlcAddress& h, bool letterSyntax) {
    Scan s(text, wide::wcsnlen(text, kWorkChars));
    if (!letterSyntax) return NumericFilePart(s, h) && s.Number(h.elementBase) && s.Done();
    if (!LetterFilePart(s, h)) return false;
    if (s.Done()) return h.elementBase < 0;
    if (!s.Take(u':')) return false;
    if (IoRow(h.fileLetter) && !(s.Number(h.slot) && s.Take(u'.'))) return false;
    return s.Number(h.elementBase) && s.Done();
}

bool ItemAccounted(const char16_t* text, size_t length, const PlcAddress& h, const ItemRequest& item,
                   bool typePrefix) {
    Scan s(text, length);
    if (typePrefix && !s.Take(PrefixOf(item.kind)[0])) return false;
    if (!s.Number(item.element, true)) return false;
    if (IsWholeElementFile(h.fileType)) {
        // The parse takes the text after "." (or "/") as the mnemonic whole.
        if (!s.Take(u'.') && !s.Take(u'/')) return false;
        return s.TakeWord(MnemonicText(h.fileType, item.mnemonic)) && s.Done();
    }
    if (s.Done()) return item.hasBit == 0;
    int32_t n = 0;
    if (h.fileType == kFileString) return s.Take(u'.') && s.Number(item.size) && s.Done();
    if (s.Take(u'/')) return item.hasBit == 1 && s.Number(item.bit) && s.Done();
    if (!s.Take(u'.') || !s.Number(&n) || !s.Done()) return false;
    // A string's length of 0 stands for the default 2.
    if (item.kind == kKindString) return item.size == (n != 0 ? n : 2);
    return item.hasBit == 1 && item.bit == n;
}

bool SlcAddressing() { return Driver.ModelClass == kClassSlc500 && Driver.Plc5Family == 0; }

// Whether an item's type letter and bit name a value the file has: the
// decoding has none for a float outside a float file, a word of a float
// file, a string's or float's bit, anything but a string in a string file,
// or a float or string part of a timer, counter or control. The PLC-5
// family reads ASCII files as characters only, and a bit of an ASCII word
// is decoded only in the alternative address mode (else the whole word).
bool KindFits(int32_t fileType, const ItemRequest& item) {
    const int32_t kind = item.kind;
    if (kind < kKindWord || kind > kKindString) return false;
    if (item.hasBit == 1 && (kind == kKindFloat || kind == kKindString)) return false;
    if ((kind == kKindFloat) != (fileType == kFileFloat)) return false;
    if (fileType == kFileString) return kind == kKindString;
    if (IsWholeElementFile(fileType)) return kind == kKindWord || kind == kKindBcd;
    if (fileType == kFileAscii) {
        if (Driver.Plc5Family == 1 && kind != kKindString) return false;
        if (item.hasBit == 1 && Driver.AltAddressMode != 1) return false;
    }
    return true;
}

bool IsIo(int32_t fileType) { return fileType == kFileInput || fileType == kFileOutput; }

// True when n is 0 or more and its decimal digits are octal digits (0..7): an
// octal element or bit number the conversions carry as the host wrote it.
bool IsOctalDigits(int32_t n) {
    if (n < 0) return false;
    for (; n > 0; n /= 10)
        if (n % 10 > 7) return false;
    return true;
}

// What no request of the model carries: a number past its field, or a
// string file on PLC-2, whose read reply has no length word (-37).
int32_t HeaderFitsCode(const PlcAddress& h) {
    if (Driver.ModelClass == kClassPlc2 && Driver.Plc5Family == 0 && h.fileType == kFileString)
        return MIRA_ERR_BAD_HEADER;
    if (h.fileNumber > kMaxFieldNumber || h.slot > kMaxFieldNumber || h.elementBase > kMaxFieldNumber)
        return MIRA_ERR_RANGE;
    // PLC-2 and PLC-5 requests have no slot field: the slot would be dropped.
    if (!SlcAddressing() && h.slot > 0) return MIRA_ERR_RANGE;
    if (Driver.OctalIo == 1 && IsIo(h.fileType) && h.elementBase >= 0 && !IsOctalDigits(h.elementBase))
        return MIRA_ERR_RANGE;
    return 0;
}

// Numbers of an item no request carries: the element it names lies in the
// file (element offsets may be negative), a bit lies in its word.
int32_t ItemNumbersCode(const PlcAddress& h, const ItemRequest& item) {
    const int64_t element = int64_t{h.elementBase < 0 ? 0 : h.elementBase} + item.element;
    if (element < 0 || element > kMaxFieldNumber || !OctalNumbersFit(h, item)) return MIRA_ERR_RANGE;
    // Octal bit numbers 10..17 name bits 8..15.
    const int32_t lastBit = Driver.OctalIo == 1 && IsIo(h.fileType) ? 17 : 15;
    if (item.hasBit == 1 && (item.bit < 0 || item.bit > lastBit)) return MIRA_ERR_RANGE;
    return 0;
}

}  // namespace

HeaderResult TakeHeader(PlcAddress* header, const char16_t* stationText, const char16_t* headerText) {
    HeaderResult parsed = ParseHeader(header, stationText, headerText, Driver.ModelClass);
    if (parsed.code == 0 && !HeaderAccounted(headerText, *header, parsed.letterSyntax))
        parsed.code = MIRA_ERR_BAD_HEADER;
    if (parsed.code == 0) parsed.code = HeaderFitsCode(*header);
    return parsed;
}

ItemResult TakeItem(const PlcAddress* header, ItemRequest* item, const char16_t* itemText) {
    ItemResult parsed = ParseItem(header, item, itemText);
    if (parsed.code != 0) return parsed;
    // The parse read 15 characters at most; a longer text is read whole here
    // (up to the work bound) so that what lies past them is accounted for too.
    const size_t length = wide::wcsnlen(itemText, kWorkChars);
    if (length == kWorkChars || !ItemAccounted(itemText, length, *header, *item, parsed.typePrefix) ||
        !KindFits(header->fileType, *item))
        parsed.code = MIRA_ERR_BAD_MNEMONIC;
    else
        parsed.code = ItemNumbersCode(*header, *item);
    return parsed;
}

int32_t TakeAddress(const char16_t* addressText) {
    PlcAddress h = FreshHeader();
    ItemRequest item{};
    const AddressResult parsed = ParseFullAddress(&h, &item, u"0", addressText);
    if (addressText == nullptr || h.fileType < 0 || !parsed.itemParsed) return MIRA_ERR_BAD_HEADER;
    Scan s(addressText, wide::wcsnlen(addressText, kWorkChars));
    const bool filePart = parsed.letterSyntax ? LetterFilePart(s, h) && s.Take(u':') &&
                                                    (!IoRow(h.fileLetter) || (s.Number(h.slot) && s.Take(u'.')))
                                              : NumericFilePart(s, h);
    if (!filePart) return MIRA_ERR_BAD_HEADER;
    if (const int32_t code = HeaderFitsCode(h); code != 0) return code;
    // The element text is what remains of the address, as an item under its
    // file; blanks at its start would lie inside the address.
    if (s.Left() > 0 && wide::IsSpace(*s.Here())) return MIRA_ERR_BAD_MNEMONIC;
    char16_t element[kWorkChars] = {};
    for (size_t i = 0; i < s.Left() && i + 1 < kWorkChars; ++i) element[i] = s.Here()[i];
    ItemRequest taken{};
    return TakeItem(&h, &taken, element).code;
}

bool OctalNumbersFit(const PlcAddress& header, const ItemRequest& item) {
    if (Driver.OctalIo != 1 || !IsIo(header.fileType)) return true;
    const int32_t base = header.elementBase < 0 ? 0 : header.elementBase;
    return IsOctalDigits(base) && IsOctalDigits(item.element) && (item.hasBit == 0 || IsOctalDigits(item.bit));
}

}  // namespace mira
