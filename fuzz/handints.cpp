// Arbitrary line bytes into HandInts through the fake port. The first byte
// picks the check mode, the class and the channel owner. Nothing outside the
// slot table may change, and after a receiver reset a good frame still lands.
#include <cstdlib>
#include <cstring>

#include "link/receive.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace {
constexpr size_t kGuard = 64, kTable = sizeof(mira::UnsolSlot) * mira::kUnsolSlotCount;
alignas(8) uint8_t g_store[2 * kGuard + kTable];

void CheckGuards() {
    for (size_t i = 0; i < kGuard; ++i)
        if (g_store[i] != 0x5A || g_store[kGuard + kTable + i] != 0x5A) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace mira;
    ResetDriverState();
    test::ResetFake();
    test::Fake().keepRecords = false;
    Driver.Port = &test::Fake().port;
    std::memset(g_store, 0x5A, sizeof g_store);
    std::memset(g_store + kGuard, 0, kTable);
    Driver.UnsolSlots = reinterpret_cast<UnsolSlot*>(g_store + kGuard);
    const uint8_t mode = size > 0 ? data[0] : 0;
    Driver.UseCrc = mode & 1u;
    Driver.ModelClass = (mode & 2u) ? kClassSlc500 : kClassPlc2;
    Driver.ChannelBusy = (mode >> 2) % 3u;
    Driver.TnsCounter = mode >> 4;
    if (size > 1) test::Fake().Feed(test::Bytes(data + 1, data + size));
    CheckGuards();

    for (int i = 0; i < kUnsolSlotCount; ++i) Driver.UnsolSlots[i].InUse = 0;
    ResetReceiver(Driver.Port);  // what every sender does before it sends
    Driver.ChannelBusy = 0;
    test::Fake().Feed(test::Framed({0x01, 0x02, 0x08, 0x00, 0x11, 0x00, 0x10, 0x02}));
    if (Driver.UnsolSlots[0].InUse != 1 || Driver.UnsolSlots[0].FrameBytes[7] != 0x02) std::abort();
    CheckGuards();
    Driver.UnsolSlots = nullptr;
    test::ResetFake();  // frees what the input took, or libFuzzer looks for a leak
    return 0;
}
