// The receive thread and the host thread at once: a feeder plays the peer's
// answers byte by byte into HandInts while the host runs transactions the
// way every sender does. Meant to run clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "link/channel.h"
#include "link/frame.h"
#include "link/receive.h"
#include "link_fixture.h"
#include "platform/atomic_word.h"

namespace mira {
namespace {

using test::Bytes;
using test::Fake;
using test::FromHex;

constexpr int kTransactions = 150;

// The reply's data for transaction t: some bytes are DLE so that the
// doubling is exercised.
Bytes ReplyData(int t) {
    Bytes data(static_cast<size_t>(t % 40));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 7 + static_cast<size_t>(t)) % 5 == 0 ? 0x10 : i + t);
    return data;
}

class ThreadsTest : public test::LinkFixture, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ThreadsTest, RepliesAndUnsolicitedFramesCrossSafely) {
    Driver.UseCrc = GetParam();
    Driver.ModelClass = kClassPlc2;
    generic_port* port = &Fake().port;
    std::atomic<int> requested{0};
    std::atomic<uint32_t> requestTns{0};
    std::atomic<bool> stop{false};
    int unsolicitedSent = 0;

    std::thread feeder([&] {
        for (int t = 0; t < kTransactions; ++t) {
            while (requested.load(std::memory_order_acquire) <= t) {
                if (stop.load()) return;
                std::this_thread::yield();
            }
            const uint8_t tns = static_cast<uint8_t>(requestTns.load());
            Fake().Feed(FromHex("10 06"));  // the peer takes the command
            if (t % 3 == 0) {
                // A controller's own write arrives before the reply.
                Bytes write = FromHex("01 05 08 00 00 00 00 00 2A 00");
                // Neither TNS byte may pass for the awaited one.
                write[4] = static_cast<uint8_t>(tns + 0x80);
                write[5] = static_cast<uint8_t>(tns + 0x40);
                write[6] = static_cast<uint8_t>(t);  // the word address in the key
                Fake().Feed(Frame(write));
                ++unsolicitedSent;
            }
            Bytes reply = FromHex("01 00 4F 00");
            reply.push_back(tns);
            reply.push_back(0);
            const Bytes data = ReplyData(t);
            reply.insert(reply.end(), data.begin(), data.end());
            Fake().Feed(Frame(reply));
        }
    });

    int unsolicitedSeen = 0;
    for (int t = 0; t < kTransactions; ++t) {
        const uint32_t counter = Load(Driver.TnsCounter);
        const uint8_t tns = static_cast<uint8_t>(counter);
        Store(Driver.TnsCounter, counter + 1);
        Bytes command = FromHex("00 01 0F 00");
        command.push_back(tns);
        command.push_back(0);
        const Bytes frame = Frame(command);
        TakeChannel();
        ResetReceiver(port);
        Store(port->ReplyPending, 0u);
        PkSend(port, frame.data(), static_cast<int32_t>(frame.size()));
        Store(port->ReplyPending, 1u);
        requestTns.store(tns);
        requested.store(t + 1, std::memory_order_release);

        int32_t error = -1;
        while (PollReply(&error) == 0) std::this_thread::yield();
        ASSERT_EQ(error, 0) << "transaction " << t;
        WaitOutputDrained();

        const Bytes data = ReplyData(t);
        uint8_t got[6 + 64] = {};
        const int32_t n = CopyRxData(0, static_cast<int32_t>(6 + data.size()), got);
        ASSERT_EQ(n, static_cast<int32_t>(6 + data.size()));
        EXPECT_EQ(got[4], tns) << "transaction " << t;
        EXPECT_EQ(Bytes(got + 6, got + n), data) << "transaction " << t;

        for (int i = 0; i < kUnsolSlotCount; ++i) {
            UnsolSlot& slot = Driver.UnsolSlots[i];
            if (LoadAcquire(slot.InUse) == 0) continue;
            const std::string key = "U:" + std::to_string(slot.FrameBytes[6]) + "\t5";
            EXPECT_EQ(test::Narrow(slot.KeyText), key);
            EXPECT_EQ(slot.FrameBytes[2], 0x08);
            StoreRelease(slot.InUse, 0u);
            ++unsolicitedSeen;
        }
    }
    stop.store(true);
    feeder.join();
    // The last transaction's foreign frame was kept before its reply.
    for (int i = 0; i < kUnsolSlotCount; ++i) unsolicitedSeen += LoadAcquire(Driver.UnsolSlots[i].InUse) != 0;
    EXPECT_EQ(unsolicitedSeen, unsolicitedSent);
    EXPECT_EQ(PostedMessages().size(), static_cast<size_t>(unsolicitedSent));
    // The last reply was acknowledged and the channel handed back.
    TakeChannel();
    EXPECT_EQ(Load(Driver.ChannelBusy), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, ThreadsTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? std::string("Crc") : std::string("Bcc"); });

}  // namespace
}  // namespace mira
