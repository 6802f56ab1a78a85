// Shared set-up of the read tests: an open driver on the fake Portkit.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "setup/records.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

namespace mira::test {

class ReadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDriverState();
        ResetFake();
        items_.assign(kItemTableRows, ItemRequest{});
        strings_.assign(size_t(kStringSlotCount) * kStringSlotBytes, 0);
        groups_.assign(kGroupHandles, nullptr);
        Driver.Port = &Fake().port;
        Driver.ItemTable = items_.data();
        Driver.StringSlots = strings_.data();
        Driver.GroupTable = groups_.data();
        Driver.ModelClass = kClassSlc500;
    }
    void TearDown() override { ResetDriverState(); }
    void Plc5() { Driver.ModelClass = kClassPlc5; Driver.Plc5Family = 1; }
    // Puts a reply into RxData as the receive handler leaves it.
    static void Reply(const Bytes& message) {
        for (size_t i = 0; i < message.size() && i < kRxDataBytes; ++i) Driver.RxData[i] = message[i];
        Fake().port.RxCount = uint32_t(message.size());
        Fake().port.ReplyReady = 1;
    }
    // The message of the n-th frame sent: DLE STX, doubled DLEs and the check
    // taken off.
    static Bytes Message(size_t n) {
        const Bytes& f = Fake().sends.at(n);
        Bytes m;
        for (size_t i = 2; i + 3 < f.size(); ++i) {
            m.push_back(f[i]);
            if (f[i] == 0x10) ++i;
        }
        return m;
    }
    FakeClock clock_;
    std::vector<ItemRequest> items_;
    std::vector<uint8_t> strings_;
    std::vector<GroupRecord*> groups_;
};

inline PlcAddress MakeHeader(int32_t fileType, int32_t fileLetter, int32_t fileNumber, int32_t base = 0) {
    PlcAddress h{};
    h.station = 1;
    h.fileType = fileType;
    h.fileLetter = fileLetter;
    h.fileNumber = fileNumber;
    h.slot = -1;
    h.elementBase = base;
    return h;
}

inline ItemRequest MakeItem(int32_t kind, int32_t element, int32_t size = 2, int32_t mnemonic = 0, int32_t bit = -1) {
    ItemRequest i{};
    i.kind = kind;
    i.element = element;
    i.size = size;
    i.mnemonic = mnemonic;
    i.hasBit = bit >= 0 ? 1 : 0;
    i.bit = bit < 0 ? 0 : bit;
    return i;
}

}  // namespace mira::test
