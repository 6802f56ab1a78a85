// The Modbus face: its configuration and map, the decoding of requests
// against the protocol's limits, values as registers both ways, and writes
// over loopback TCP with libmodbus as the client and a fake line thread
// answering them. Reads, the lost line and bad clients are tested end to end
// against mira serve (modbus_e2e_test.cpp).
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <thread>

#include "fake_line.h"
#include "served.h"
#include "serve/modbus/modbus_face.h"
#include "serve/modbus/modbus_map.h"

namespace mira::serve::modbus {
namespace {

std::vector<uint8_t> Adu(std::vector<uint8_t> pdu, uint8_t unit = 1, uint16_t protocol = 0) {
    const auto length = static_cast<uint16_t>(pdu.size() + 1);
    pdu.insert(pdu.begin(), {0x12, 0x34, uint8_t(protocol >> 8), uint8_t(protocol), uint8_t(length >> 8),
                             uint8_t(length), unit});
    return pdu;
}

TEST(ModbusConfig, BadSettingsAndPlacesAreProblemsWithBothTagsNamed) {
    const struct {
        const char* name;
        const char* text;
        const char* problems;
    } kCases[] = {
        {"settings",
         "[modbus]\nlisten = \"1502\"\nunit_id = 256\nfloat_order = \"ACBD\"\nmax_clients = 0\nport = 502\n",
         "mira.toml:2:10: modbus: listen \"1502\": HOST:PORT, such as \"127.0.0.1:1502\" or \"0.0.0.0:502\"\n"
         "mira.toml:3:11: modbus: unit_id 256: a unit id from 0 to 255 (255 answers any)\n"
         "mira.toml:4:15: modbus: float_order \"ACBD\": \"ABCD\", \"CDAB\", \"BADC\" or \"DCBA\"\n"
         "mira.toml:5:15: modbus: max_clients 0: a number of clients from 1 to 256\n"
         "mira.toml:6:1: modbus: unknown key \"port\"\n"},
        {"places",
         "[[tag]]\nname = \"a\"\naddress = \"N7:0\"\nmodbus = \"xx:1\"\n"
         "[[tag]]\nname = \"b\"\naddress = \"B3:0/1\"\nmodbus = \"hr:1\"\n"
         "[[tag]]\nname = \"c\"\naddress = \"F8:0\"\nmodbus = \"co:1\"\n"
         "[[tag]]\nname = \"d\"\naddress = \"F8:1\"\nmodbus = \"hr:65535\"\n"
         "[[tag]]\nname = \"e\"\naddress = \"N7:0\"\nmodbus = 5\n",
         "mira.toml:4:10: tag \"a\": modbus \"xx:1\": \"hr:N\", \"ir:N\", \"co:N\" or \"di:N\" with N from 0 to 65535\n"
         "mira.toml:8:10: tag \"b\": modbus \"hr:1\": a bit takes a coil or a discrete input (co:N or di:N)\n"
         "mira.toml:12:10: tag \"c\": modbus \"co:1\": a float takes registers (hr:N or ir:N)\n"
         "mira.toml:16:10: tag \"d\": modbus \"hr:65535\": its 2 registers run past 65535\n"
         "mira.toml:20:10: tag \"e\": modbus 5: expected a text such as \"hr:100\"\n"},
        {"overlaps, the same table only",
         "[[tag]]\nname = \"f\"\naddress = \"F8:0\"\nmodbus = \"hr:10\"\n"
         "[[tag]]\nname = \"s\"\naddress = \"ST9:0.5\"\nmodbus = \"HR:8\"\n"
         "[[tag]]\nname = \"w\"\naddress = \"N7:0\"\nmodbus = \"ir:10\"\n"
         "[[tag]]\nname = \"x\"\naddress = \"B3:0/1\"\nmodbus = \"co:3\"\n"
         "[[tag]]\nname = \"y\"\naddress = \"B3:0/2\"\nmodbus = \"co:3\"\n",
         "mira.toml:4:10: tag \"f\": modbus \"hr:10\": hr:10-11 overlaps tag \"s\" at hr:8-10\n"
         "mira.toml:20:10: tag \"y\": modbus \"co:3\": co:3 overlaps tag \"x\" at co:3\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ProblemsOf(c.text), c.problems);
    }
}

TEST(ModbusRequest, DecodesTheServedFunctionsWithinTheProtocolsLimits) {
    const struct {
        const char* name;
        std::vector<uint8_t> adu;
        uint8_t unitServed;
        uint8_t code;
        uint16_t address, quantity;
        std::vector<uint16_t> values;
    } kCases[] = {
        {"read 125 registers", Adu({3, 0, 10, 0, 125}), 255, kOk, 10, 125, {}},
        {"read 126 registers", Adu({4, 0, 10, 0, 126}), 255, kIllegalValue, 10, 126, {}},
        {"read no register", Adu({3, 0, 10, 0, 0}), 255, kIllegalValue, 10, 0, {}},
        {"read 2000 coils", Adu({1, 0, 0, 0x07, 0xD0}), 255, kOk, 0, 2000, {}},
        {"read 2001 inputs", Adu({2, 0, 0, 0x07, 0xD1}), 255, kIllegalValue, 0, 2001, {}},
        {"read past 65535", Adu({3, 0xFF, 0xFF, 0, 2}), 255, kIllegalAddress, 65535, 2, {}},
        {"read with a byte too many", Adu({3, 0, 0, 0, 1, 0}), 255, kIllegalValue, 0, 1, {}},
        {"write a coil on", Adu({5, 0, 4, 0xFF, 0}), 255, kOk, 4, 1, {1}},
        {"write a coil with neither FF00 nor 0000", Adu({5, 0, 4, 0x12, 0x34}), 255, kIllegalValue, 4, 1, {}},
        {"write a register", Adu({6, 0, 7, 0xFF, 0xFE}), 255, kOk, 7, 1, {0xFFFE}},
        {"write ten coils", Adu({15, 0, 1, 0, 10, 2, 0x05, 0x02}), 255, kOk, 1, 10, {1, 0, 1, 0, 0, 0, 0, 0, 0, 1}},
        {"write coils, byte count short", Adu({15, 0, 1, 0, 10, 1, 0x05}), 255, kIllegalValue, 1, 10, {}},
        {"write 1969 coils", Adu({15, 0, 0, 0x07, 0xB1, 247}), 255, kIllegalValue, 0, 1969, {}},
        {"write two registers", Adu({16, 0, 2, 0, 2, 4, 0x41, 0x42, 0, 1}), 255, kOk, 2, 2, {0x4142, 1}},
        {"write registers, bytes past the count", Adu({16, 0, 2, 0, 1, 2, 0, 1, 9}), 255, kIllegalValue, 2, 1, {}},
        {"write 124 registers", Adu({16, 0, 0, 0, 124, 248}), 255, kIllegalValue, 0, 124, {}},
        {"an unserved function", Adu({0x2B, 0x0E, 1, 0}), 255, kIllegalFunction, 0, 0, {}},
        {"another unit than the one served", Adu({3, 0, 0, 0, 1}, 2), 1, kPathUnavailable, 0, 0, {}},
        {"any unit served", Adu({3, 0, 0, 0, 1}, 2), 255, kOk, 0, 1, {}},
        {"a length past 260 bytes", {0, 1, 0, 0, 1, 0, 1, 16}, 255, kIllegalValue, 0, 0, {}},
        {"another protocol", Adu({3, 0, 0, 0, 1}, 1, 7), 255, kNoAnswer, 0, 0, {}},
        {"a length that is not the frame's", {0, 1, 0, 0, 0, 9, 1, 3, 0, 0, 0, 1}, 255, kNoAnswer, 0, 0, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Request r;
        ASSERT_EQ(DecodeRequest(c.adu.data(), c.adu.size(), c.unitServed, &r), c.code);
        if (c.code == kNoAnswer || c.code == kIllegalFunction || c.code == kPathUnavailable) continue;
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(r.quantity, c.quantity);
        if (c.code == kOk) {
            EXPECT_EQ(r.values, c.values);
        }
        // An exception echoes the transaction and unit with the function's high bit set.
        const std::vector<uint8_t> e = ExceptionReply(r.header, r.function, c.code);
        EXPECT_EQ(e, (std::vector<uint8_t>{c.adu[0], c.adu[1], 0, 0, 0, 3, c.adu[6], uint8_t(c.adu[7] | 0x80), c.code}));
    }
}

TagInfo Tag(const std::string& name, TagKind kind, const std::string& place, bool writable = true, int32_t chars = 0) {
    TagInfo t;
    t.name = name;
    t.header = "N7:0";
    t.kind = kind;
    t.chars = chars;
    t.writable = writable;
    t.faces["modbus"]["modbus"] = place;
    return t;
}

TEST(ModbusMap, ValuesReadAsRegistersAndWriteBackUnchanged) {
    const struct {
        const char* name;
        TagInfo tag;
        Value value;
        const char* order;  // as float_order names it
        std::vector<uint16_t> registers;  // empty: cannot be shown truly
    } kCases[] = {
        // 1.5f is 3F C0 00 00: A=3F B=C0 C=00 D=00.
        {"float ABCD", Tag("f", TagKind::Float, "hr:0"), 1.5, "ABCD", {0x3FC0, 0x0000}},
        {"float CDAB", Tag("f", TagKind::Float, "hr:0"), 1.5, "CDAB", {0x0000, 0x3FC0}},
        {"float BADC", Tag("f", TagKind::Float, "hr:0"), 1.5, "BADC", {0xC03F, 0x0000}},
        {"float DCBA", Tag("f", TagKind::Float, "hr:0"), 1.5, "DCBA", {0x0000, 0xC03F}},
        {"float past single precision", Tag("f", TagKind::Float, "hr:0"), 1e39, "ABCD", {}},
        {"negative word", Tag("w", TagKind::Word, "hr:0"), int32_t{-2}, "ABCD", {0xFFFE}},
        {"BCD", Tag("b", TagKind::Bcd, "hr:0"), int32_t{9999}, "ABCD", {9999}},
        {"word past 16 bits", Tag("w", TagKind::Word, "hr:0"), int32_t{70000}, "ABCD", {}},
        {"odd string, padded", Tag("s", TagKind::String, "hr:0", true, 5), std::string("AbC"), "ABCD",
         {0x4162, 0x4300, 0x0000}},
        {"string with a Latin-1 letter", Tag("s", TagKind::String, "hr:0", true, 2), std::string("\xC3\xA9!"),
         "ABCD", {0xE921}},
        {"string too long", Tag("s", TagKind::String, "hr:0", true, 2), std::string("abc"), "ABCD", {}},
        {"bit", Tag("c", TagKind::Bit, "co:0"), int32_t{1}, "ABCD", {1}},
        {"a text in a word", Tag("w", TagKind::Word, "hr:0"), std::string("7"), "ABCD", {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const FloatOrder order = ParseFloatOrder(c.order).value();
        std::vector<uint16_t> regs(WidthOf(c.tag), 0xAAAA);
        const bool shown = Encode(c.tag, c.value, order, regs.data());
        ASSERT_EQ(shown, !c.registers.empty());
        if (!shown) continue;
        EXPECT_EQ(regs, c.registers);
        // What a client writes back in the same registers is the value again.
        EXPECT_EQ(DecodeWrite(c.tag, regs.data(), order), ValueJson(c.value));
    }
}

class ModbusFaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        FaceOptions o;
        o.server.port = 0;
        o.writeWait = std::chrono::seconds(60);  // only a stop or the fake line ends a write here
        auto face = std::make_unique<ModbusFace>(store_, o);
        face_ = face.get();
        runner_ = std::make_unique<FaceRunner>(std::move(face), store_);
        std::string why;
        ASSERT_TRUE(runner_->Start(&why)) << why;
        client_ = modbus_new_tcp("127.0.0.1", face_->Port());
        modbus_set_response_timeout(client_, 10, 0);  // far past any answer here; only a hung face reaches it
        ASSERT_EQ(modbus_connect(client_), 0);
    }
    void TearDown() override {
        modbus_close(client_);
        modbus_free(client_);
    }
    TagStore store_{{Tag("setpoint", TagKind::Word, "hr:0"), Tag("limit", TagKind::Word, "hr:1"),
                     Tag("flow", TagKind::Float, "hr:2"), Tag("refused", TagKind::Word, "hr:4"),
                     Tag("silent", TagKind::Word, "hr:5"), Tag("failed", TagKind::Word, "hr:6"),
                     Tag("stuck", TagKind::Word, "hr:7"), Tag("recipe", TagKind::String, "hr:10", true, 4),
                     Tag("pump", TagKind::Bit, "co:0"), Tag("locked", TagKind::Word, "hr:12", false)},
                    {"fast"}};
    test::FakeLine line_{store_};
    ModbusFace* face_ = nullptr;
    std::unique_ptr<FaceRunner> runner_;
    modbus_t* client_ = nullptr;
};

TEST_F(ModbusFaceTest, WritesGoInAddressOrderUpToTheFirstFailure) {
    const struct {
        const char* name;
        int address;
        std::vector<uint16_t> values;  // one: function 6; more: 16
        int exception;
        std::vector<std::string> written;
    } kCases[] = {
        {"up to the first failure", 2, {0x3F80, 0, 5, 6, 7}, kIllegalValue, {"flow=1.0", "refused=5"}},
        {"no reply", 5, {1}, kTargetFailed, {"silent=1"}},
        {"the controller's error", 6, {1}, kDeviceFailure, {"failed=1"}},
        {"a value refused before the line", 2, {0x7FC0, 0}, kIllegalValue, {}},
        {"half a float", 1, {1, 0x3F80}, kIllegalAddress, {}},
        {"past the string", 10, {0x4142, 0x4344, 0x4500}, kIllegalAddress, {}},
        {"a string, then a tag that is not writable", 10, {0x6869, 0x2100, 1}, kIllegalAddress, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const int rc = c.values.size() == 1 ? modbus_write_register(client_, c.address, c.values[0])
                                            : modbus_write_registers(client_, c.address, int(c.values.size()),
                                                                     c.values.data());
        EXPECT_EQ(rc < 0 ? errno - MODBUS_ENOBASE : 0, c.exception);
        EXPECT_EQ(line_.Written(), c.written);
    }
}

TEST_F(ModbusFaceTest, StopEndsAWriteThatWaitsOnTheLine) {
    std::thread writer([&] { modbus_write_register(client_, 7, 1); });
    // Until the line holds the write; the bound only keeps a broken face from hanging the test.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && line_.Written().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto start = std::chrono::steady_clock::now();
    runner_->Stop();
    writer.join();
    // The write would wait 60 s; the stop is seen within a slice of 100 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace mira::serve::modbus
