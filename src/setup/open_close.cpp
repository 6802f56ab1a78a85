// Opening and closing the driver: the settings, the port, the tables, the
// receive handler and the line reset, and their release in a fixed order.
#include <cstdlib>

#include "address/parser.h"
#include "address/tables.h"
#include "link/channel.h"
#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "platform/wide.h"
#include "platform/window.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr int32_t kItemRecordBytes = 28;
constexpr int32_t kUnsolSlotBytes = 1160;
constexpr int kOpenResets = 4;

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
}  // namespace mira

extern "C" {

MIRA_API int32_t UDrvOpen(MiraWindowHandle window, const DriverSettings* settings, char16_t* versionText,
                          int32_t* error) {
    using namespace mira;
    int32_t localError = 0;
    if (error == nullptr) error = &localError;
    char16_t localVersion[5];
    if (versionText == nullptr) versionText = localVersion;
    if (settings == nullptr) {
        wide::CopyText(versionText, 5, u"10.3");
        *error = MIRA_PK_ERR_SETTINGS;
        return 0;
    }
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
    PkRegisterHandler(Driver.Port, HandInts);
    for (int32_t i = 0; i < kUnsolSlotCount; ++i) StoreRelease(Driver.UnsolSlots[i].InUse, 0u);

    Driver.GroupTable = static_cast<GroupRecord**>(std::calloc(kGroupHandles, sizeof(GroupRecord*)));
    if (Driver.GroupTable == nullptr) {
        FailOpen(error);
        return 0;
    }
    for (int i = 0; i < kOpenResets; ++i) ResetLine();
    return 1;
}

MIRA_API int32_t UDrvClose(void) {
    using namespace mira;
    UDrvRemoveAllGroups();
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

MIRA_API int32_t UDrvGetType(const char16_t* headerText, const char16_t* addressText) {
    using namespace mira;
    // A blank station: the type does not depend on it. The parsers' results
    // are not examined, only the kind the item ends with. Before the driver
    // is open there is no ItemTable, so a record of our own stands in.
    ItemRequest local{};
    ItemRequest* item = Driver.ItemTable != nullptr ? &Driver.ItemTable[0] : &local;
    (void)ParseHeader(&Driver.CurrentHeader, u" ", headerText);
    (void)ParseItem(&Driver.CurrentHeader, item, addressText);
    return item->kind == kKindFloat ? 2 : item->kind == kKindString ? 3 : 1;
}

}  // extern "C"
