// Opening and closing the driver: the settings, the port, the tables, the
// receive handler and the line reset, and their release in a fixed order.
#include <cstdlib>

#include "setup/open_close.h"

#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "platform/wide.h"
#include "platform/window.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr int32_t kItemRecordBytes = 28;
constexpr int32_t kUnsolSlotBytes = 1160;

static_assert(sizeof(ItemRequest) == kItemRecordBytes);
static_assert(sizeof(UnsolSlot) == kUnsolSlotBytes);

template <class T>
void ReleaseTable(T*& table) {
    T* block = table;
    table = nullptr;
    if (block != nullptr) PkTableFree(block);
}

void ReleaseTables() {
    ReleaseTable(Driver.ItemTable);
    ReleaseTable(Driver.UnsolItemTable);
    // The receive handler looks the slots up afresh for every frame.
    UnsolSlot* slots = Load(Driver.UnsolSlots);
    Store(Driver.UnsolSlots, static_cast<UnsolSlot*>(nullptr));
    if (slots != nullptr) PkTableFree(slots);
    ReleaseTable(Driver.StringSlots);
}

// The tables of an open driver. A refused allocation releases what was
// already taken, so that no exchange ever runs on a missing table.
bool AllocateTables() {
    Driver.ItemTable = static_cast<ItemRequest*>(PkTableAlloc(kItemTableRows, kItemRecordBytes));
    Driver.UnsolItemTable = static_cast<ItemRequest*>(PkTableAlloc(kItemTableRows, kItemRecordBytes));
    Store(Driver.UnsolSlots, static_cast<UnsolSlot*>(PkTableAlloc(kUnsolSlotCount, kUnsolSlotBytes)));
    Driver.StringSlots = static_cast<uint8_t*>(PkTableAlloc(kStringSlotCount, kStringSlotBytes));
    if (Driver.ItemTable != nullptr && Driver.UnsolItemTable != nullptr && Driver.UnsolSlots != nullptr &&
        Driver.StringSlots != nullptr)
        return true;
    ReleaseTables();
    return false;
}

void FailOpen(int32_t* error) {
    StopWindowBridge();
    ReleaseTables();
    std::free(Driver.GroupTable);
    Driver.GroupTable = nullptr;
    PkPortClose(Driver.Port);
    Driver.Port = nullptr;
    *error = MIRA_PK_ERR_RESOURCES;
}

}  // namespace

int32_t OpenDriver(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                   int32_t* error, PkReceiveHandler handler) {
    ApplySettings(window, settings, versionText, error);
    Driver.Outstanding = kNoExchange;

    Driver.Port = PkPortOpen(window, settings, error);
    if (Driver.Port == nullptr || *error != 0) return 0;

    static constexpr uint8_t kWakeByte[] = {0x00};
    PkSend(Driver.Port, kWakeByte, 1);

    // A window is told of unsolicited frames through the bridge's own thread.
    if (!AllocateTables() || (window != 0 && !StartWindowBridge())) {
        FailOpen(error);
        return 0;
    }
    PkRegisterHandler(Driver.Port, handler);
    for (int32_t i = 0; i < kUnsolSlotCount; ++i) StoreRelease(Driver.UnsolSlots[i].InUse, 0u);

    Driver.GroupTable = static_cast<GroupRecord**>(std::calloc(kGroupHandles, sizeof(GroupRecord*)));
    if (Driver.GroupTable == nullptr) {
        FailOpen(error);
        return 0;
    }
    return 1;
}

int32_t CloseDriver() {
    if (Driver.GroupTable != nullptr) {
        std::free(Driver.GroupTable);
        Driver.GroupTable = nullptr;
    }
    // Every message still queued for the window is delivered while the key
    // texts it points to are still in the slot table.
    StopWindowBridge();
    ReleaseTables();
    Driver.Outstanding = kNoExchange;
    generic_port* port = Driver.Port;
    if (port == nullptr) return 0;  // never opened, or closed already
    const int32_t result = PkPortClose(port);
    Driver.Port = nullptr;
    return result;
}

}  // namespace mira
