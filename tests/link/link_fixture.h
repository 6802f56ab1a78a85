// Shared set-up of the link tests: a fresh driver on the fake port, a slot
// table fenced by guard bytes, and a window that records what it is posted.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "link/frame.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {

struct Posted {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

class LinkFixture : public ::testing::Test {
protected:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;

    void SetUp() override {
        ResetDriverState();
        ResetFake();
        Driver.Port = &Fake().port;
        std::memset(slotStore_, kGuardByte, sizeof slotStore_);
        std::memset(slotStore_ + kGuard, 0, sizeof(UnsolSlot) * kUnsolSlotCount);
        Driver.UnsolSlots = reinterpret_cast<UnsolSlot*>(slotStore_ + kGuard);
        window_.post = [](void* context, uint32_t message, uintptr_t w, intptr_t l) {
            auto* self = static_cast<LinkFixture*>(context);
            std::lock_guard lock(self->postMutex_);
            self->posted_.push_back({message, w, l});
        };
        window_.context = this;
        Driver.NotifyWindow = reinterpret_cast<MiraWindowHandle>(&window_);
    }

    void TearDown() override {
        EXPECT_TRUE(GuardsIntact()) << "a write landed outside the slot table";
        ResetDriverState();
        ResetFake();
    }

    bool GuardsIntact() const {
        const size_t tail = kGuard + sizeof(UnsolSlot) * kUnsolSlotCount;
        for (size_t i = 0; i < kGuard; ++i)
            if (slotStore_[i] != kGuardByte || slotStore_[tail + i] != kGuardByte) return false;
        return true;
    }

    int SlotsInUse() const {
        int n = 0;
        for (int i = 0; i < kUnsolSlotCount; ++i) n += Driver.UnsolSlots[i].InUse != 0;
        return n;
    }

    std::vector<Posted> PostedMessages() {
        std::lock_guard lock(postMutex_);
        return posted_;
    }

    // The frame of message in the current check mode.
    static Bytes Frame(const Bytes& message) {
        Bytes out(static_cast<size_t>(FrameCapacity(static_cast<int32_t>(message.size()))));
        int32_t length = 0;
        EncodeFrame(message.data(), static_cast<int32_t>(message.size()), out.data(), &length);
        out.resize(static_cast<size_t>(length));
        return out;
    }

    alignas(8) uint8_t slotStore_[kGuard * 2 + sizeof(UnsolSlot) * kUnsolSlotCount];
    MiraWindow window_{};
    std::mutex postMutex_;
    std::vector<Posted> posted_;
};

}  // namespace mira::test
