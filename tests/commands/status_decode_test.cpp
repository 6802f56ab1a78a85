#include "command_support.h"
#include "commands/decode.h"
#include "commands/status.h"

namespace mira::test {
namespace {

TEST(CheckReplyStatus, CodesAndTraceLines) {
    // trace: the line traced, null for none
    const struct { uint8_t sts, ext; int32_t code; const char* trace; } cases[] = {
        {0x00, 0x55, 0, nullptr},
        {0x10, 0x00, 256, "STS Error Code returned: 0x10"},
        {0x0B, 0xFF, 256, "STS Error Code returned: 0xB, Status Code: 0xFF"},
        {0xF0, 0x0E, 14, nullptr},
        {0xF0, 0x00, 0, nullptr},
        {0xFF, 0x01, 256, "STS Error Code returned: 0xFF"},
    };
    for (const auto& c : cases) {
        ResetFake();
        const uint8_t reply[7] = {1, 0, 0x4F, c.sts, 9, 0, c.ext};
        EXPECT_EQ(CheckReplyStatus(reply + 3), c.code) << int(c.sts);
        const auto lines = Fake().TraceLines();
        if (c.trace == nullptr) {
            EXPECT_TRUE(lines.empty()) << int(c.sts);
        } else {
            ASSERT_EQ(lines.size(), 1u) << int(c.sts);
            EXPECT_EQ(lines[0], c.trace);
        }
    }
}

TEST(DecodeBcd, BothModes) {
    // quality: the record's afterwards (it starts at 192)
    const struct { uint16_t word; uint8_t nonStandard; bool withRecord; int32_t number; uint16_t quality; } cases[] = {
        {0x1234, 0, true, 1234, 192},  {0x1234, 1, true, 234, 1}, {0x1234, 1, false, 1234, 192},
        {0x0999, 1, true, 999, 192},   {0xF000, 1, true, 0, 15},  {0x00A0, 0, true, 100, 192},
        {0xFFFF, 0, true, 16665, 192}, {0x0000, 1, true, 0, 192},
    };
    for (const auto& c : cases) {
        Driver.NonStandardBcd = c.nonStandard;
        HostValue record{};
        record.quality = 192;
        EXPECT_EQ(DecodeBcd(c.word, c.withRecord ? &record : nullptr), c.number) << std::hex << c.word;
        EXPECT_EQ(record.quality, c.quality) << std::hex << c.word;
    }
    ResetDriverState();
}

}  // namespace
}  // namespace mira::test
