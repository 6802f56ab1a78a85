// Replies byte by byte: layouts end to end does not reach, and the status for what cannot be served.
#include <gtest/gtest.h>

#include "sim/pccc.h"
#include "sim_test_util.h"

namespace mira::sim::test {
namespace {

// The command after the six-byte header; the reply as STS, then everything after the TNS.
struct Row { const char* name; Bytes command, reply; uint8_t cmd = 0x0F; };

DataTables SlcTables() {
    DataTables t(3, 4, false);
    const FileShape files[] = {{"O", 0, 8}, {"I", 1, 8}, {"S", 2, 16}, {"B", 3, 4}, {"T", 4, 4},   {"C", 5, 4},
                               {"R", 6, 4}, {"N", 7, 300}, {"F", 8, 4}, {"ST", 9, 2}, {"A", 10, 4}, {"N", 11, 2}};
    for (const FileShape& f : files) EXPECT_TRUE(t.AddFile(f));
    const char* seed =
        "N7:0=123\nN7:1=-2\nN7:299=0x55AA\nB3:1=0x8001\nT4:1.PRE=500\nT4:1.ACC=7\nT4:1.DN=1\n"
        "A10:0=\"Hi\"\nI:1.0=0x00FF\nO:0.1=3\nS:3=0x0102\n";
    EXPECT_EQ(t.Seed(seed), 0);
    return t;
}

void RunRows(Family family, DataTables& tables, const std::vector<Row>& rows) {
    Controller c(family, 1, &tables);
    for (const Row& row : rows) {
        Bytes msg = {0x01, 0x07, row.cmd, 0x00, 0x34, 0x12};
        msg.insert(msg.end(), row.command.begin(), row.command.end());
        Bytes reply;
        c.Execute(msg.data(), msg.size(), &reply);
        const Bytes head = {0x07, 0x01, static_cast<uint8_t>(row.cmd | 0x40), row.reply.at(0), 0x34, 0x12};
        EXPECT_EQ(reply, Cat(head, Bytes(row.reply.begin() + 1, row.reply.end()))) << row.name;
    }
}

// An ASCII address, then what follows it.
Bytes Ascii(const char* text, const Bytes& tail = {}) {
    Bytes b = {0x00, '$'};
    for (const char* p = text; *p; ++p) b.push_back(static_cast<uint8_t>(*p));
    b.push_back(0x00);
    return Cat(b, tail);
}

Bytes TypedRead(const char* address, uint16_t count, uint16_t offset = 0, uint16_t total = 0) {
    if (total == 0) total = count;
    const Bytes head = {0x68, uint8_t(offset), uint8_t(offset >> 8), uint8_t(total), uint8_t(total >> 8)};
    return Cat(head, Ascii(address, {uint8_t(count), uint8_t(count >> 8)}));
}

Bytes TypedWrite(const char* address, uint16_t total, const Bytes& data) {
    return Cat({0x67, 0x00, 0x00, uint8_t(total), uint8_t(total >> 8)}, Ascii(address, data));
}

// Word range write (0x00) or read (0x01) of two words at offset 0.
Bytes WordRange(uint8_t fn, const char* address, const Bytes& tail) {
    return Cat({fn, 0x00, 0x00, 0x02, 0x00}, Ascii(address, tail));
}

TEST(SimSlc, ReadsRefusalsAndWrites) {
    DataTables t = SlcTables();
    RunRows(Family::Slc500, t, {
        {"N7:299 escaped element", {0xA2, 0x02, 0x07, 0x89, 0xFF, 0x2B, 0x01, 0x00}, {0x00, 0xAA, 0x55}},
        {"escaped file number", {0xA2, 0x02, 0xFF, 0x07, 0x00, 0x89, 0x00, 0x00}, {0x00, 0x7B, 0x00}},
        // Timer 1 as word offset 3: sub-element 3 of element 0.
        {"T4 offset 3", {0xA2, 0x06, 0x04, 0x86, 0x00, 0x03}, {0x00, 0x00, 0x20, 0xF4, 0x01, 0x07, 0x00}},
        // Pairs of characters, the first in the high byte.
        {"A10:0", {0xA2, 0x02, 0x0A, 0x8E, 0x00, 0x00}, {0x00, 0x69, 0x48}},
        // I/O: slot first, then the word in the slot.
        {"I:1.0", {0xA2, 0x02, 0x01, 0x8C, 0x01, 0x00}, {0x00, 0xFF, 0x00}},
        {"O:0.1", {0xA2, 0x02, 0x00, 0x8B, 0x00, 0x01}, {0x00, 0x03, 0x00}},
        {"S:3", {0xA2, 0x02, 0x02, 0x84, 0x03, 0x00}, {0x00, 0x02, 0x01}},
        {"two fields N7:1", {0xA1, 0x02, 0x07, 0x89, 0x01}, {0x00, 0xFE, 0xFF}},
        {"odd byte count", {0xA2, 0x03, 0x07, 0x89, 0x00, 0x00}, {0x00, 0x7B, 0x00, 0xFE}},
        // What the controller cannot serve.
        {"no such file", {0xA2, 0x02, 0x0C, 0x89, 0x00, 0x00}, {0xF0, 0x06}},
        {"element beyond the file", {0xA2, 0x02, 0x07, 0x89, 0xFF, 0x2C, 0x01, 0x00}, {0xF0, 0x06}},
        {"run into the next file", {0xA2, 0x06, 0x0B, 0x89, 0x01, 0x00}, {0xF0, 0x0A}},
        {"wrong type code", {0xA2, 0x02, 0x07, 0x8A, 0x00, 0x00}, {0xF0, 0x11}},
        {"zero bytes", {0xA2, 0x00, 0x07, 0x89, 0x00, 0x00}, {0x10}},
        {"truncated", {0xA2, 0x02, 0x07, 0x89}, {0x10}},
        {"truncated escape", {0xA2, 0x02, 0x07, 0x89, 0xFF, 0x01}, {0x10}},
        {"trailing byte", {0xA2, 0x02, 0x07, 0x89, 0x00, 0x00, 0x00}, {0x10}},
        {"unknown function", {0x55}, {0x10}},
        {"no function", {}, {0x10}},
        {"unknown command", {0x00}, {0x10}, 0x0B},
        {"PLC-5 read on an SLC", TypedRead("N7:0", 1), {0x10}},
        {"PLC-2 read without its file", {0x00, 0x00, 0x02}, {0x80}, 0x01},
        {"write past the end", {0xAA, 0x04, 0x0B, 0x89, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00}, {0xF0, 0x0A}},
        {"write data short", {0xAA, 0x04, 0x07, 0x89, 0x00, 0x00, 0x01, 0x00}, {0x10}},
        {"two fields N7:7", {0xA9, 0x02, 0x07, 0x89, 0x07, 0x21, 0x00}, {0x00}},
        {"masked B3:1", {0xAB, 0x02, 0x03, 0x85, 0x01, 0x00, 0x0F, 0x00, 0x0A, 0xFF}, {0x00}},
    });
    ExpectPeeks(t, {{"N11:1", "0"}, {"N7:7", "33"}, {"B3:1", "-32758"}});
}

DataTables Plc5Tables() {
    DataTables t(5, 4, true);
    const FileShape files[] = {{"O", 0, 64}, {"I", 1, 64}, {"S", 2, 16}, {"B", 3, 4}, {"T", 4, 4}, {"C", 5, 4},
                               {"R", 6, 4}, {"N", 7, 20}, {"F", 8, 4}, {"ST", 9, 2}, {"A", 10, 4}};
    for (const FileShape& f : files) EXPECT_TRUE(t.AddFile(f));
    const char* seed = "N7:12=1\nN7:13=2\nN7:14=3\nI:010=0x1234\nT4:1.PRE=5\nT4:1.ACC=6\nT4:1.EX1=7\n"
                       "C5:2.ACC=4\nF8:0=1.5\nST9:0=\"Hey\"\nA10:0=\"AB\"\nS:1=9\n";
    EXPECT_EQ(t.Seed(seed), 0);
    return t;
}

TEST(SimPlc5, TypedReadsWritesWordRangeAndMasks) {
    DataTables t = Plc5Tables();
    RunRows(Family::Plc5, t, {
        {"packet offset", TypedRead("N7:12", 1, 2, 3), {0x00, 0x99, 0x09, 0x03, 0x42, 0x03, 0x00}},
        {"I:10.0 octal", TypedRead("I:10.0", 1), {0x00, 0x99, 0x09, 0x03, 0x42, 0x34, 0x12}},
        {"T4:1.ACC sub-element", TypedRead("T4:1.ACC", 1), {0x00, 0x99, 0x09, 0x03, 0x42, 0x06, 0x00}},
        {"A10:0 two characters", TypedRead("A10:0", 2), {0x00, 0x39, 0x02, 'A', 'B'}},
        {"binary address N7:13", {0x68, 0x00, 0x00, 0x01, 0x00, 0x06, 0x07, 0x0D, 0x01, 0x00},
         {0x00, 0x99, 0x09, 0x03, 0x42, 0x02, 0x00}},
        {"missing file", TypedRead("N12:0", 1), {0xF0, 0x06}},
        {"element beyond", TypedRead("N7:20", 1), {0xF0, 0x06}},
        {"run past the end", TypedRead("N7:18", 3), {0xF0, 0x0A}},
        {"bad address text", TypedRead("N7-12", 1), {0xF0, 0x05}},
        {"octal digit 8 in I/O", TypedRead("I:18", 1), {0xF0, 0x05}},
        {"size beyond total", TypedRead("N7:12", 2, 0, 1), {0x10}},
        {"zero size", TypedRead("N7:12", 0, 0, 1), {0x10}},
        {"unterminated text", {0x68, 0x00, 0x00, 0x01, 0x00, 0x00, '$', 'N', '7'}, {0x10}},
        {"SLC read on a PLC-5", {0xA2, 0x02, 0x07, 0x89, 0x00, 0x00}, {0x10}},
        {"F8:1, a byte over", TypedWrite("F8:1", 2, {0x99, 0x09, 0x06, 0x94, 0x08, 0, 0, 0x20, 0x40, 0}), {0x00}},
        {"A10:2 bytes", TypedWrite("A10:2", 2, {0x39, 0x02, 'x', 'y'}), {0x00}},
        {"wrong type", TypedWrite("N7:0", 1, {0x99, 0x09, 0x06, 0x94, 0x08, 0, 0, 0, 0}), {0xF0, 0x11}},
        {"wrong size", TypedWrite("T4:0", 1, {0x99, 0x09, 0x07, 0x56, 0, 0, 0, 0, 0, 0}), {0xF0, 0x07}},
        {"data short", TypedWrite("N7:0", 2, {0x99, 0x09, 0x05, 0x42, 0x0A}), {0x10}},
        {"past the end", TypedWrite("N7:19", 2, {0x99, 0x09, 0x05, 0x42, 1, 0, 2, 0}), {0xF0, 0x0A}},
        {"word range write N7:3", WordRange(0x00, "N7:3", {0x11, 0x00, 0x22, 0x00}), {0x00}},
        {"word range read N7:3", WordRange(0x01, "N7:3", {0x04}), {0x00, 0x11, 0x00, 0x22, 0x00}},
        {"word range read odd size", WordRange(0x01, "N7:3", {0x03}), {0x10}},
        {"read-modify-write two sets", Cat(Cat({0x26}, Ascii("N7:3", {0xF0, 0xFF, 0x01, 0x00})),
                                           Ascii("B3:0", {0xFF, 0xFF, 0x00, 0x80})), {0x00}},
        {"read-modify-write refused", Cat(Cat({0x26}, Ascii("N7:4", {0, 0, 0, 0})), Ascii("N7:99")), {0xF0, 0x06}},
        {"bit write", Cat({0x02}, Ascii("N7:5", {0x81, 0x00, 0x00, 0x00})), {0x00}},
    });
    ExpectPeeks(t, {{"F8:1", "2.5"}, {"N7:3", "17"}, {"B3:0", "-32768"}, {"N7:4", "34"}, {"N7:5", "129"}});
    // A10:2..3 hold "xy": word 1, 'x' in the high byte.
    EXPECT_EQ(t.Find(10)->words[1], 0x7879);
}

TEST(SimPlc2, UnprotectedReadWriteAndBitWrite) {
    DataTables t(3, 4, false);
    ASSERT_TRUE(t.AddFile({"N", kCompatFile, 64}));
    ASSERT_TRUE(t.Poke("N9:5", "0x0A0B"));
    RunRows(Family::Plc2, t, {
        {"read at an odd byte", {0x0B, 0x00, 0x01}, {0x00, 0x0A}, 0x01},
        {"write words 1 and 2", {0x02, 0x00, 0x34, 0x12, 0x78, 0x56}, {0x00}, 0x08},
        {"bit 9 of word 4 set", {0x08, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00}, {0x00}, 0x05},
        {"bit 0 of word 1 cleared", {0x02, 0x00, 0x00, 0x01}, {0x00}, 0x05},
        {"read past the end", {0x7F, 0x00, 0x02}, {0x50}, 0x01},
        {"write past the end", {0x7E, 0x00, 0x01, 0x02, 0x03}, {0x50}, 0x08},
        {"bit write past the end", {0x00, 0x01, 0x01, 0x00}, {0x50}, 0x05},
        {"bit write broken set", {0x00, 0x00, 0x01}, {0x10}, 0x05},
        {"read of zero bytes", {0x00, 0x00, 0x00}, {0x10}, 0x01},
        {"read without size", {0x00, 0x00}, {0x10}, 0x01},
        {"write without data", {0x00, 0x00}, {0x10}, 0x08},
        {"typed read on a PLC-2", {0xA2, 0x02, 0x07, 0x89, 0x00, 0x00}, {0x10}},
        {"echo", {0x00, 0x01, 0x02}, {0x00, 0x01, 0x02}, 0x06},
    });
    EXPECT_EQ(t.Find(kCompatFile)->words[4], 0x0200);
    EXPECT_EQ(t.Find(kCompatFile)->words[1], 0x1234);
}

TEST(SimCommands, ShortMessagesGetNoReply) {
    DataTables t = SlcTables();
    Controller c(Family::Slc500, 1, &t);
    Bytes reply = {0x01};
    const uint8_t msg[5] = {0x01, 0x00, 0x0F, 0x00, 0x00};
    for (size_t n = 0; n <= 5; ++n) {
        c.Execute(msg, n, &reply);
        EXPECT_TRUE(reply.empty()) << n;
    }
}

}  // namespace
}  // namespace mira::sim::test
