// A feeder thread plays the peer's answers byte by byte into HandInts while
// the host thread runs transactions as every sender does. Runs under TSan.

#include <chrono>
#include <thread>

#include "link/channel.h"
#include "link/receive.h"
#include "link_fixture.h"
#include "platform/atomic_word.h"

namespace mira::test {
namespace {

using ThreadsTest = LinkFixture;

TEST_F(ThreadsTest, ReceiveThreadAndHostThread) {
    constexpr int kRounds = 150;
    std::atomic<int> requested{0};
    int foreignSent = 0, foreignSeen = 0;
    Driver.RequestCommand = 0x0F;  // the command every round sends
    std::thread feeder([&] {
        for (int t = 0; t < kRounds; ++t) {
            while (requested.load(std::memory_order_acquire) <= t) std::this_thread::yield();
            const uint8_t tns = static_cast<uint8_t>(t);
            Fake().Feed(FromHex("10 06"));
            if (t % 3 == 0) {  // a controller's write before the reply; no TNS byte matches
                Fake().Feed(Framed({1, 5, 8, 0, uint8_t(tns + 0x80), uint8_t(tns + 0x40), uint8_t(t), 0}));
                ++foreignSent;
            }
            Bytes reply = {1, 0, 0x4F, 0, tns, 0};
            for (int i = 0; i < t % 40; ++i) reply.push_back(uint8_t(i % 5 == 0 ? 0x10 : i + t));
            Fake().Feed(Framed(reply));
        }
    });
    for (int t = 0; t < kRounds; ++t) {
        Store(Driver.TnsCounter, t + 1u);  // the command below used TNS t
        const Bytes frame = Framed({0, 1, 0x0F, 0, uint8_t(t), 0});
        TakeChannel();
        ResetReceiver(Driver.Port);
        PkSend(Driver.Port, frame.data(), static_cast<int32_t>(frame.size()));
        requested.store(t + 1, std::memory_order_release);
        int32_t error = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (PollReply(&error) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        if (error != 0) {
            ADD_FAILURE() << "no reply in transaction " << t;
            requested.store(kRounds);  // let the feeder run out
            break;
        }
        WaitOutputDrained();
        uint8_t got[48] = {};
        ASSERT_EQ(CopyRxData(0, 6 + t % 40, got), 6 + t % 40);
        EXPECT_EQ(got[4], t % 256);
        EXPECT_TRUE(t % 40 < 2 || got[7] == uint8_t(1 + t)) << t;
        for (int i = 0; i < kUnsolSlotCount; ++i) {
            UnsolSlot& slot = Driver.UnsolSlots[i];
            if (LoadAcquire(slot.InUse) == 0) continue;
            EXPECT_EQ(Narrow(slot.KeyText), "U:" + std::to_string(slot.FrameBytes[6]) + "\t5");
            StoreRelease(slot.InUse, 0u);
            ++foreignSeen;
        }
    }
    feeder.join();
    EXPECT_EQ(foreignSeen, foreignSent);
    EXPECT_EQ(Posts(), foreignSent);
}

}  // namespace
}  // namespace mira::test
