// The controller's data-table vocabulary: file letters and their PCCC file
// type codes, reserved file numbers, item kinds and sub-element mnemonics.
#pragma once

#include <array>
#include <cstdint>

namespace mira {

// PCCC file type codes.
enum FileType : int32_t {
    kFileStatus = 132,   // 0x84
    kFileBit = 133,      // 0x85
    kFileTimer = 134,    // 0x86
    kFileCounter = 135,  // 0x87
    kFileControl = 136,  // 0x88
    kFileInteger = 137,  // 0x89
    kFileFloat = 138,    // 0x8A
    kFileOutput = 139,   // 0x8B
    kFileInput = 140,    // 0x8C
    kFileString = 141,   // 0x8D
    kFileAscii = 142,    // 0x8E
    kFileNone = 144,     // 0x90: an address without a file ("U")
};

// Item kinds (rows of TypePrefixTable); kKindNone names no prefix letter.
enum ItemKind : int32_t { kKindWord = 0, kKindBcd = 1, kKindFloat = 2, kKindString = 3, kKindNone = 4 };

// Rows of FileLetterTable.
enum FileLetterRow : int32_t {
    kRowN = 0, kRowO = 1, kRowI = 2, kRowS = 3, kRowB = 4, kRowT = 5,
    kRowC = 6, kRowR = 7, kRowF = 8, kRowU = 9, kRowA = 10, kRowST = 11,
};

struct FileLetter {
    const char16_t* letters;
    int32_t fileType;
    const char16_t* typeWord;       // numeric-syntax type word, or null
    const char16_t* defaultHeader;  // header validation's default text
};

inline constexpr std::array<FileLetter, 12> FileLetterTable{{
    {u"N", kFileInteger, u"integer", u"N7:0"},
    {u"O", kFileOutput, nullptr, u"O:0.0"},
    {u"I", kFileInput, nullptr, u"I:0.0"},
    {u"S", kFileStatus, u"status", u"S:0"},
    {u"B", kFileBit, u"bit", u"B3:0"},
    {u"T", kFileTimer, u"timer", u"T4:0"},
    {u"C", kFileCounter, u"counter", u"C5:0"},
    {u"R", kFileControl, u"control", u"R6:0"},
    {u"F", kFileFloat, nullptr, u"F8:0"},
    {u"U", kFileNone, nullptr, u"U:0"},
    {u"A", kFileAscii, nullptr, u"A14:0"},
    {u"ST", kFileString, nullptr, u"ST20:0"},
}};

// Type words of the numeric syntax, in the order they are tried.
struct TypeWord {
    const char16_t* word;
    int32_t fileType;
};
inline constexpr std::array<TypeWord, 6> TypeWordTable{{
    {u"status", kFileStatus},
    {u"bit", kFileBit},
    {u"timer", kFileTimer},
    {u"counter", kFileCounter},
    {u"control", kFileControl},
    {u"integer", kFileInteger},
}};

// File numbers 0..8 belong to fixed file types on model classes 2 and 500.
inline constexpr std::array<int32_t, 9> ReservedFileTypes{
    kFileOutput, kFileInput, kFileStatus, kFileBit, kFileTimer,
    kFileCounter, kFileControl, kFileInteger, kFileFloat,
};

// Item kind prefix letters, by kind.
inline constexpr std::array<const char16_t*, 4> TypePrefixTable{u"W", u"B", u"F", u"S"};

inline constexpr std::array<const char16_t*, 8> TimerMnemonics{
    u"DN", u"TT", u"EN", u"PRE", u"ACC", u"CON", u"EX1", u"EX2"};
inline constexpr std::array<const char16_t*, 9> CounterMnemonics{
    u"UA", u"UN", u"OV", u"DN", u"CD", u"CU", u"PRE", u"ACC", u"CON"};
inline constexpr std::array<const char16_t*, 11> ControlMnemonics{
    u"FD", u"IN", u"UL", u"ER", u"EM", u"DN", u"EU", u"EN", u"LEN", u"POS", u"CON"};

// Rows of the mnemonic tables.
enum TimerMnemonic : int32_t { kTmDN = 0, kTmTT, kTmEN, kTmPRE, kTmACC, kTmCON, kTmEX1, kTmEX2 };
enum CounterMnemonic : int32_t { kCtUA = 0, kCtUN, kCtOV, kCtDN, kCtCD, kCtCU, kCtPRE, kCtACC, kCtCON };
enum ControlMnemonic : int32_t {
    kCrFD = 0, kCrIN, kCrUL, kCrER, kCrEM, kCrDN, kCrEU, kCrEN, kCrLEN, kCrPOS, kCrCON
};

// The mnemonic table of a file type: its texts and row count, or {null, 0}.
struct MnemonicTable {
    const char16_t* const* texts;
    int32_t count;
};
constexpr MnemonicTable MnemonicsOf(int32_t fileType) {
    switch (fileType) {
        case kFileTimer: return {TimerMnemonics.data(), int32_t(TimerMnemonics.size())};
        case kFileCounter: return {CounterMnemonics.data(), int32_t(CounterMnemonics.size())};
        case kFileControl: return {ControlMnemonics.data(), int32_t(ControlMnemonics.size())};
        default: return {nullptr, 0};
    }
}

// Timers, counters and controls: elements of several words whose parts an
// item names by mnemonic, and which a write reads and sends back whole.
constexpr bool IsWholeElementFile(int32_t fileType) { return MnemonicsOf(fileType).count > 0; }

// The mnemonic text of row `mnemonic` for a file type, or u"" when the row
// does not exist, so that formatting never reads outside a table.
constexpr const char16_t* MnemonicText(int32_t fileType, int32_t mnemonic) {
    const MnemonicTable t = MnemonicsOf(fileType);
    return (mnemonic >= 0 && mnemonic < t.count) ? t.texts[mnemonic] : u"";
}

// The letters of a FileLetterTable row, or u"" outside the table.
constexpr const char16_t* LettersOf(int32_t row) {
    return (row >= 0 && row < int32_t(FileLetterTable.size())) ? FileLetterTable[row].letters : u"";
}

// The prefix letter of a kind, or u"" for kinds that name none.
constexpr const char16_t* PrefixOf(int32_t kind) {
    return (kind >= 0 && kind < int32_t(TypePrefixTable.size())) ? TypePrefixTable[kind] : u"";
}

}  // namespace mira
