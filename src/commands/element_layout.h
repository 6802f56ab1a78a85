// How an element of each file type sits in the controller's words, by
// controller family: the words it covers, where each timer, counter and
// control mnemonic sits, how many string characters a word holds, how the
// reply to a read lays out its data, and the PLC-5 data type of typed data.
// The read starts, the read finish, both writes and the request builders
// take these from here and spell none of them themselves.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "address/tables.h"
#include "link/pccc.h"

namespace mira {

// A float is two words, its low half first, in every file of every family.
inline constexpr int32_t kWordsPerFloat = 2;
// The most words an element covers (a PLC-5 timer).
inline constexpr int32_t kMaxElementWords = 5;

// Where a timer, counter or control mnemonic sits: the word of its element
// and, for a status bit, the bit of that word (-1: the whole word). Word -1
// is one this family's element lacks (the SLC 500 timer's EX1 and EX2): it
// reads as 0. A sub-element write changes the word or bit unless it is
// fixed: the PLC-5 timer's EX1 and EX2 go back as they were read.
struct SubElement {
    int8_t word;
    int8_t bit;
    bool fixed;
};

struct ElementLayout {
    bool plc5;  // the PLC-5 family's row; the other rows serve PLC-2 and SLC 500
    int32_t fileType;
    // Words one element covers: 1, a float 2, a timer, counter or control 3,
    // a PLC-5 timer 5.
    int32_t wordsPerElement;
    // String characters one unit of a read range holds: 2 a word, the first
    // in its high byte (PLC-2, SLC 500), or 1 (PLC-5: a word's low byte, or
    // one byte of character data).
    int32_t charsPerUnit;
    // The reply to a read of n elements: the message byte its data begin at,
    // and the words the finish unpacks, replyWordsPer x n + replyWordsExtra.
    int32_t replyDataStart;
    int32_t replyWordsPer;
    int32_t replyWordsExtra;
    // The PLC-5 data type of one element in typed data; 0: character data.
    uint8_t plc5Type;
    // By row of the file type's mnemonic table; unused for other files.
    std::array<SubElement, ControlMnemonics.size()> subElements;
};

namespace layout {

constexpr SubElement Bit(int8_t bit) { return {0, bit, false}; }
constexpr SubElement Word(int8_t word) { return {word, -1, false}; }
constexpr SubElement Fixed(int8_t word) { return {word, -1, true}; }
inline constexpr SubElement kNoWord{-1, -1, false};

// Counters and controls sit alike in both families.
inline constexpr std::array<SubElement, ControlMnemonics.size()> kCounter{
    {Bit(10), Bit(11), Bit(12), Bit(13), Bit(14), Bit(15), Word(1), Word(2), Word(0)}};
inline constexpr std::array<SubElement, ControlMnemonics.size()> kControl{
    {Bit(8), Bit(9), Bit(10), Bit(11), Bit(12), Bit(13), Bit(14), Bit(15), Word(1), Word(2), Word(0)}};

// The integer row of each family also serves every file type it has no row for.
inline constexpr std::array<ElementLayout, 12> kRows{{
    // family, file type, words, characters, reply start, per, extra, PLC-5 type, sub-elements
    {false, kFileTimer, 3, 2, 6, 6, 1, 0,
     {Bit(13), Bit(14), Bit(15), Word(1), Word(2), Word(0), kNoWord, kNoWord}},
    {false, kFileCounter, 3, 2, 6, 6, 1, 0, kCounter},
    {false, kFileControl, 3, 2, 6, 6, 1, 0, kControl},
    {false, kFileFloat, kWordsPerFloat, 2, 6, 2, 1, 0, {}},
    {false, kFileInteger, 1, 2, 6, 1, 1, 0, {}},
    {true, kFileTimer, 5, 1, 11, 5, 1, pccc::kTypeTimer,
     {Bit(13), Bit(14), Bit(15), Word(1), Word(3), Word(0), Fixed(2), Fixed(4)}},
    {true, kFileCounter, 3, 1, 10, 3, 1, pccc::kTypeCounter, kCounter},
    {true, kFileControl, 3, 1, 10, 3, 1, pccc::kTypeControl, kControl},
    {true, kFileFloat, kWordsPerFloat, 1, 11, 2, 1, pccc::kTypeFloat, {}},
    {true, kFileAscii, 1, 1, 8, 0, 1, 0, {}},
    {true, kFileString, 1, 1, 8, 0, 1, 0, {}},
    {true, kFileInteger, 1, 1, 10, 1, 0, pccc::kTypeInteger, {}},
}};

// Each word of a whole element is named by exactly one whole-word mnemonic
// (a sub-element write reads the element back by those names), and every
// mnemonic lies within the element.
constexpr bool WholeElementNamed(const ElementLayout& row) {
    const int32_t rows = MnemonicsOf(row.fileType).count;
    if (row.wordsPerElement > kMaxElementWords) return false;
    for (int32_t r = 0; r < rows; ++r)
        if (row.subElements[size_t(r)].word >= row.wordsPerElement) return false;
    for (int32_t w = 0; rows > 0 && w < row.wordsPerElement; ++w) {
        int32_t names = 0;
        for (int32_t r = 0; r < rows; ++r)
            names += row.subElements[size_t(r)].word == w && row.subElements[size_t(r)].bit < 0 ? 1 : 0;
        if (names != 1) return false;
    }
    return true;
}
static_assert(std::all_of(kRows.begin(), kRows.end(), WholeElementNamed));

}  // namespace layout

// The layout of a file type under the PLC-5 family (plc5) or PLC-2 and SLC 500.
constexpr const ElementLayout& ElementLayoutOf(bool plc5, int32_t fileType) {
    for (const ElementLayout& row : layout::kRows)
        if (row.plc5 == plc5 && row.fileType == fileType) return row;
    return ElementLayoutOf(plc5, kFileInteger);
}

// Where mnemonic row `mnemonic` sits; word -1 outside the file's table.
constexpr SubElement SubElementOf(const ElementLayout& l, int32_t mnemonic) {
    return mnemonic >= 0 && mnemonic < MnemonicsOf(l.fileType).count ? l.subElements[size_t(mnemonic)]
                                                                       : layout::kNoWord;
}

// The units of a read range that a string of `size` characters covers: at
// least one.
constexpr int32_t StringUnits(const ElementLayout& l, int32_t size) {
    return size <= 0 ? 1 : (size + l.charsPerUnit - 1) / l.charsPerUnit;
}

// The words the read finish unpacks from the reply to a read of n elements.
constexpr int32_t ReplyWords(const ElementLayout& l, int32_t n) {
    return l.replyWordsPer * n + l.replyWordsExtra;
}

}  // namespace mira
