// Address texts with the mistakes people make when they type them, for each controller class, and
// the code every path that takes a text refuses them with before anything is sent. The driver's
// tests and mira's end-to-end tests run the same rows.
#pragma once

#include <cstdint>

namespace mira::test {

enum class TypoModel { Slc, Plc5Octal, Plc2 };

struct Typo {
    TypoModel model;
    const char* header;
    const char* item;
    int32_t code;
};

inline constexpr int32_t kItemCode = -34, kHeaderCode = -37, kRangeCode = -39;
constexpr TypoModel S = TypoModel::Slc, P5 = TypoModel::Plc5Octal, P2 = TypoModel::Plc2;

inline constexpr Typo kTypos[] = {
    // Unknown type letters and trailing characters: each was read as element 0 or 5.
    {S, "N7:0", "X3", kItemCode}, {S, "N7:0", "Q3", kItemCode}, {S, "N7:0", "foo", kItemCode},
    {S, "N7:0", "extra", kItemCode}, {S, "N7:0", "W5x", kItemCode}, {S, "N7:0", "W+5", kItemCode},
    // A mnemonic where none belongs, a second '/', a float letter outside a float file, a bit past 15.
    {S, "N7:0", "5.DN", kItemCode}, {S, "N7:0", "W5/3/4", kItemCode}, {S, "N7:0", "F5", kItemCode},
    {S, "N7:0", "5/16", kRangeCode},
    // Headers with a bit, a third field or trailing characters: each read the header's word.
    {S, "N7:0/3", "W0", kHeaderCode}, {S, "N7:0:5", "W0", kHeaderCode}, {S, "N7x:0", "W0", kHeaderCode},
    {S, "N7:4294967297", "W0", kRangeCode}, {S, "B3/5", "0", kHeaderCode}, {S, "B3:0/3", "0", kHeaderCode},
    {S, "B3:0", "0/3x", kItemCode},
    // Floats: a word letter, a bit.
    {S, "F8:0", "W1", kItemCode}, {S, "F8:0", "1/2", kItemCode},
    // Timers, counters and controls: a mnemonic in the header, a part of another kind, stray characters.
    {S, "T4:0.ACC", "0.ACC", kHeaderCode}, {S, "T4:0", "0x.ACC", kItemCode}, {S, "C5:0", "S0.ACC", kItemCode},
    {S, "R6:0", "0A.LEN", kItemCode},
    // Strings: a length with trailing characters, a word letter, a bit, the file number.
    {S, "ST9:0", "S0.4x", kItemCode}, {S, "ST9:0", "W0", kItemCode}, {S, "ST9:0", "S0/4", kItemCode},
    {S, "ST9x:0", "S0.4", kHeaderCode},
    // I/O with slots, and headers in the numeric form.
    {S, "I:1.0.5", "0", kHeaderCode}, {S, "O:0.0/3", "0", kHeaderCode}, {S, "I:1.0", "5.3.1", kItemCode},
    {S, "integer/0:7:0x", "W0", kHeaderCode}, {S, "integer/0:7:0:1", "W0", kHeaderCode},
    {S, "integer/0:7/0", "W0", kHeaderCode}, {S, "timer/0:4:0", "0.AC", kItemCode},
    // PLC-5 with octal I/O: trailing characters, a digit 8, a slot.
    {P5, "I:0.10x", "0", kHeaderCode}, {P5, "I:0.10", "7/3z", kItemCode}, {P5, "I:0.10", "7/18", kRangeCode},
    {P5, "I:1.10", "0", kRangeCode},
    // PLC-2: items under U: need their letter; digits after U, a bit in the header, a float letter, a
    // string file, which PLC-2 has not.
    {P2, "U:40", "40", kHeaderCode}, {P2, "U:40", "W40x", kItemCode}, {P2, "U7:40", "W0", kHeaderCode},
    {P2, "U:40/3", "W0", kHeaderCode}, {P2, "U:40", "F0", kItemCode}, {P2, "ST9:0", "S0.4", kHeaderCode},
};

}  // namespace mira::test
