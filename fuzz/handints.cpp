// Arbitrary line bytes into HandInts through the fake port. The first byte
// picks the check mode, the controller class and the channel owner; the rest
// arrive one per call. Afterwards nothing outside the slot table may have
// changed, and a good frame after a receiver reset must still be received.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/frame.h"
#include "link/receive.h"
#include "platform/atomic_word.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0x5A;
alignas(8) uint8_t g_slotStore[kGuard * 2 + sizeof(mira::UnsolSlot) * mira::kUnsolSlotCount];

bool GuardsIntact() {
    const size_t tail = kGuard + sizeof(mira::UnsolSlot) * mira::kUnsolSlotCount;
    for (size_t i = 0; i < kGuard; ++i)
        if (g_slotStore[i] != kGuardByte || g_slotStore[tail + i] != kGuardByte) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace mira;
    ResetDriverState();
    test::ResetFake();
    Driver.Port = &test::Fake().port;
    std::memset(g_slotStore, kGuardByte, sizeof g_slotStore);
    std::memset(g_slotStore + kGuard, 0, sizeof(UnsolSlot) * kUnsolSlotCount);
    Driver.UnsolSlots = reinterpret_cast<UnsolSlot*>(g_slotStore + kGuard);

    const uint8_t mode = size > 0 ? data[0] : 0;
    Driver.UseCrc = mode & 1u;
    Driver.ModelClass = (mode & 2u) ? kClassSlc500 : kClassPlc2;
    Driver.ChannelBusy = (mode >> 2) % 3u;
    Driver.TnsCounter = mode >> 4;
    if (size > 1) test::Fake().Feed(test::Bytes(data + 1, data + size));
    if (!GuardsIntact()) std::abort();

    // The way back: what every sender does before it sends.
    for (int i = 0; i < kUnsolSlotCount; ++i) Store(Driver.UnsolSlots[i].InUse, 0u);
    ResetReceiver(Driver.Port);
    Store(Driver.ChannelBusy, 0u);
    const uint8_t message[] = {0x01, 0x02, 0x08, 0x00, 0x11, 0x00, 0x10, 0x02};
    uint8_t frame[FrameCapacity(sizeof message)];
    int32_t length = 0;
    EncodeFrame(message, sizeof message, frame, &length);
    test::Fake().Feed(test::Bytes(frame, frame + length));
    if (Driver.UnsolSlots[0].InUse != 1 || Driver.UnsolSlots[0].FrameBytes[7] != 0x02) std::abort();
    if (!GuardsIntact()) std::abort();
    Driver.UnsolSlots = nullptr;
    return 0;
}
