#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira {
namespace {

using test::Bytes;
using test::FromHex;
using test::Hex;

struct FrameCase { const char* name; const char* message; bool crc; const char* frame; };

class FrameTest : public ::testing::TestWithParam<FrameCase> {
protected:
    void SetUp() override { ResetDriverState(); }
    void TearDown() override { ResetDriverState(); }
};

TEST_P(FrameTest, EncodesTheFrame) {
    const FrameCase& c = GetParam();
    Driver.UseCrc = c.crc ? 1 : 0;
    const Bytes message = FromHex(c.message);
    const int32_t n = static_cast<int32_t>(message.size());
    // A guard zone behind the promised capacity catches any overrun.
    Bytes out(static_cast<size_t>(FrameCapacity(n)) + 8, 0xAA);
    int32_t length = -1;
    EncodeDriverFrame(message.data(), n, out.data(), &length);
    ASSERT_GE(length, 0);
    ASSERT_LE(length, FrameCapacity(n));
    EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + length)), c.frame);
    for (size_t i = static_cast<size_t>(FrameCapacity(n)); i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, FrameTest,
    ::testing::Values(
        FrameCase{"seven_bytes_bcc", "01 00 06 00 10 00 03", false,
                  "10 02 01 00 06 00 10 10 00 03 10 03 E6"},
        FrameCase{"seven_bytes_crc", "01 00 06 00 10 00 03", true,
                  "10 02 01 00 06 00 10 10 00 03 10 03 85 9B"},
        FrameCase{"empty_bcc", "", false, "10 02 10 03 00"},
        FrameCase{"empty_crc", "", true, "10 02 10 03 40 01"},
        FrameCase{"lone_dle_bcc", "10", false, "10 02 10 10 10 03 F0"},
        FrameCase{"lone_dle_crc", "10", true, "10 02 10 10 10 03 4D C1"},
        FrameCase{"sum_multiple_of_256", "80 80", false, "10 02 80 80 10 03 00"},
        FrameCase{"stx_etx_unchanged", "02 03", false, "10 02 02 03 10 03 FB"},
        FrameCase{"all_dle_crc", "10 10 10", true, "10 02 10 10 10 10 10 10 10 03 48 C4"}),
    [](const auto& info) { return std::string(info.param.name); });

// A negative length frames nothing; the largest message, all DLEs, fills
// exactly the capacity promised for it.
TEST(Frame, LengthBounds) {
    ResetDriverState();
    uint8_t out[FrameCapacity(0)];
    int32_t length = 0;
    const uint8_t unused = 0x55;
    EncodeDriverFrame(&unused, -5, out, &length);
    EXPECT_EQ(Hex(Bytes(out, out + length)), "10 02 10 03 00");
    Driver.UseCrc = 1;
    Bytes message(511, kDLE), big(static_cast<size_t>(FrameCapacity(511)));
    EncodeDriverFrame(message.data(), 511, big.data(), &length);
    EXPECT_EQ(length, FrameCapacity(511));
    ResetDriverState();
}

}  // namespace
}  // namespace mira
