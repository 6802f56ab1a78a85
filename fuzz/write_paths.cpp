// The group and item write starts and the unsolicited delivery with any texts, values and
// stored frames. Byte 0 picks the model and modes, byte 1 the values' flavour; the rest,
// split at '\n', is the header then item texts, and also fills the stored frame.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mira/mira.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

using namespace mira;

namespace {

struct Tables {
    std::vector<ItemRequest> items = std::vector<ItemRequest>(kItemTableRows);
    std::vector<ItemRequest> unsolItems = std::vector<ItemRequest>(kItemTableRows);
    std::vector<UnsolSlot> slots = std::vector<UnsolSlot>(kUnsolSlotCount);
    std::vector<uint8_t> strings = std::vector<uint8_t>(kStringSlotCount * kStringSlotBytes);
};

void Prepare(Tables& t, uint8_t mode) {
    ResetDriverState();
    test::ResetFake();
    test::Fake().keepRecords = false;
    // Every send fails at once, so no exchange waits for a peer.
    test::Fake().sendErrorCode = 0x102;
    Driver.Port = &test::Fake().port;
    Driver.ItemTable = t.items.data();
    Driver.UnsolItemTable = t.unsolItems.data();
    Driver.UnsolSlots = t.slots.data();
    Driver.StringSlots = t.strings.data();
    static constexpr uint32_t kClasses[] = {kClassSlc500, kClassPlc5, kClassPlc2};
    Driver.ModelClass = kClasses[mode % 3];
    Driver.Plc5Family = Driver.ModelClass == kClassPlc5 ? 1 : 0;
    Driver.OctalIo = (mode >> 2) & 1;
    Driver.AltAddressMode = (mode >> 3) & 1;
    Driver.NonStandardBcd = (mode >> 4) & 1;
    Driver.UseCrc = (mode >> 5) & 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Tables tables;
    static test::FakeClock clock;
    const uint8_t mode = size > 0 ? data[0] : 0;
    const uint8_t flavour = size > 1 ? data[1] : 0;
    Prepare(tables, mode);

    std::vector<std::u16string> fields(1);
    for (size_t i = 2; i < size; ++i) {
        if (data[i] == '\n') {
            if (fields.size() < 64) fields.emplace_back();
            continue;
        }
        fields.back().push_back(char16_t(data[i]));
    }
    const std::u16string& header = fields[0];
    std::vector<const char16_t*> items;
    std::vector<HostValueCore> values(fields.size());
    for (size_t i = 1; i < fields.size(); ++i) {
        items.push_back(fields[i].c_str());
        HostValueCore& v = values[i - 1];
        uint64_t bits = 0;
        std::memcpy(&bits, fields[i].data(), std::min<size_t>(8, fields[i].size() * 2));
        if (flavour % 3 == 0) v.value.integer = int32_t(bits);
        if (flavour % 3 == 1) std::memcpy(&v.value.real, &bits, sizeof bits);
        if (flavour % 3 == 2) {
            // Texts up to the whole record, terminated or not.
            for (size_t k = 0; k < fields[i].size() && k < 84; ++k) v.value.text[k] = fields[i][k];
        }
    }
    const int32_t count = int32_t(items.size());
    int32_t error = 0;

    Driver.ChannelBusy = 0;
    (void)UDrvWriteGroupStart(u"1", header.c_str(), items.data(), values.data(), count, &error);
    Driver.ChannelBusy = 0;
    (void)UDrvWriteItemStart(u"1", header.c_str(), count > 0 ? items[0] : u"", values.data(), &error);

    // The input bytes as a stored frame under the header's key.
    UnsolSlot& slot = tables.slots[size_t(flavour) % kUnsolSlotCount];
    std::memset(&slot, 0, sizeof slot);
    const size_t n = std::min(size, sizeof slot.FrameBytes);
    if (n > 0) std::memcpy(slot.FrameBytes, data, n);
    slot.FrameLength = uint32_t(size);
    for (size_t k = 0; k < header.size() && k < 63; ++k) slot.KeyText[k] = header[k];
    slot.InUse = 1;
    Driver.ChannelBusy = 0;
    (void)UDrvProcessUnsolicitedReadMessage(0, header.c_str(), u"2", items.data(), values.data(), count,
                                            &error);
    (void)UDrvProcessUnsolicitedReadMessage(0, header.c_str(), u"2", nullptr, nullptr, 0, &error);
    test::ResetFake();  // frees what the input took, or libFuzzer looks for a leak
    return 0;
}
