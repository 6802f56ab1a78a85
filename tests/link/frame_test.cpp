#include "link/frame.h"

#include <gtest/gtest.h>

#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {
namespace {

TEST(Frame, EncodesTheWorkedExamples) {
    const std::tuple<bool, const char*, const char*> rows[] = {
        {false, "01 00 06 00 10 00 03", "10 02 01 00 06 00 10 10 00 03 10 03 E6"},
        {true, "01 00 06 00 10 00 03", "10 02 01 00 06 00 10 10 00 03 10 03 85 9B"},
        {true, "", "10 02 10 03 40 01"},
        {false, "80 80", "10 02 80 80 10 03 00"},  // the sum a multiple of 256
        {false, "02 03", "10 02 02 03 10 03 FB"},  // STX and ETX unchanged
        {true, "10 10 10", "10 02 10 10 10 10 10 10 10 03 48 C4"},
    };
    for (const auto& [crc, hex, frame] : rows) {
        SCOPED_TRACE(hex);
        ResetDriverState();
        Driver.UseCrc = crc ? 1 : 0;
        const Bytes message = FromHex(hex);
        const int32_t n = static_cast<int32_t>(message.size());
        // A guard zone behind the promised capacity catches any overrun.
        Bytes out(static_cast<size_t>(FrameCapacity(n)) + 8, 0xAA);
        int32_t length = -1;
        EncodeDriverFrame(message.data(), n, out.data(), &length);
        ASSERT_GE(length, 0);
        ASSERT_LE(length, FrameCapacity(n));
        EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + length)), frame);
        EXPECT_EQ(Bytes(out.begin() + FrameCapacity(n), out.end()), Bytes(8, 0xAA));
    }
    ResetDriverState();
}

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
}  // namespace mira::test
