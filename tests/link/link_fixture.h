// A fresh driver on the fake port, a slot table fenced by guard bytes, and a
// window that counts what it is posted.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/window.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {

class LinkFixture : public ::testing::Test {
protected:
    static constexpr size_t kGuard = 64, kTable = sizeof(UnsolSlot) * kUnsolSlotCount;
    void SetUp() override {
        FlushWindowMessages();  // nothing from an earlier row may reach a fresh fake
        ASSERT_TRUE(StartWindowBridge());
        posts_ = 0;
        ResetDriverState();
        ResetFake();
        Driver.Port = &Fake().port;
        std::memset(store_, 0xA5, sizeof store_);
        std::memset(store_ + kGuard, 0, kTable);
        Driver.UnsolSlots = reinterpret_cast<UnsolSlot*>(store_ + kGuard);
        window_ = {[](void* c, uint32_t msg, uintptr_t, intptr_t key) {
                       auto* self = static_cast<LinkFixture*>(c);
                       if (msg != 0x600) return;
                       std::lock_guard lock(Fake().mutex);
                       self->lastKey_ = key, ++self->posts_, self->sentAtPost_ = Fake().sends.size();
                   },
                   this};
        Driver.NotifyWindow = reinterpret_cast<MiraWindowHandle>(&window_);
    }
    void TearDown() override {
        StopWindowBridge();
        for (const uint8_t* guard : {store_, store_ + kGuard + kTable})
            EXPECT_EQ(Bytes(guard, guard + kGuard), Bytes(kGuard, 0xA5)) << "write outside the slots";
        ResetDriverState();
    }
    // The messages the window got, once the bridge has delivered all.
    int Posts() {
        FlushWindowMessages();
        return posts_;
    }
    int SlotsInUse() const {
        int n = 0;
        for (int i = 0; i < kUnsolSlotCount; ++i) n += Driver.UnsolSlots[i].InUse != 0;
        return n;
    }
    alignas(8) uint8_t store_[2 * kGuard + kTable];
    MiraWindow window_{};
    std::atomic<int> posts_{0};
    std::atomic<intptr_t> lastKey_{0};
    std::atomic<size_t> sentAtPost_{0};  // sends the port had seen when the host heard of a frame
};

}  // namespace mira::test
