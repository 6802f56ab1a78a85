// Replies of any content and length reach the read finish's decoder, which fills exactly
// as many records as items. Input: a mode byte (class = mode % 3 as PLC-2, SLC 500, PLC-5;
// bit 2 octal I/O, bit 3 alternative addressing, bit 4 non-standard BCD, bit 7 raw line
// bytes instead of a frame), a file type index, the file number, the header element, the
// item count - 1, three bytes per item (kind | bit flag << 3 | mnemonic << 4, element * 4,
// bit number or string size), then the reply message from DST on.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "address/tables.h"
#include "commands/read_start.h"
#include "setup/driver_state.h"
#include "support/fake_portkit.h"

using namespace mira;

namespace {

constexpr int32_t kFileTypes[] = {kFileStatus, kFileBit,    kFileTimer,  kFileCounter, kFileControl, kFileInteger,
                                  kFileFloat,  kFileOutput, kFileInput,  kFileString,  kFileAscii,   kFileNone};

struct Input {
    const uint8_t* data;
    size_t size, at = 0;
    uint8_t Next() { return at < size ? data[at++] : 0; }
};

// A reply that has not arrived by the next look never will: Portkit's time-out.
void TimeOutSoon() {
    test::FakePort& f = test::Fake();
    if (f.port.ReplyReady == 0 && f.port.ErrorCode == 0) f.port.ErrorCode = 0x101;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static test::FakeClock clock;
    static std::vector<ItemRequest> items(kItemTableRows);
    static std::vector<uint8_t> strings(size_t(kStringSlotCount) * kStringSlotBytes);
    ResetDriverState();
    test::ResetFake();
    test::Fake().keepRecords = false;
    struct ResetAfter {  // frees what the input took, or libFuzzer looks for a leak
        ~ResetAfter() { test::ResetFake(); }
    } resetAfter;
    Driver.Port = &test::Fake().port;
    Driver.ItemTable = items.data();
    Driver.StringSlots = strings.data();

    Input in{data, size};
    const uint8_t mode = in.Next();
    Driver.ModelClass = (mode % 3 == 0) ? kClassPlc2 : (mode % 3 == 1) ? kClassSlc500 : kClassPlc5;
    Driver.Plc5Family = Driver.ModelClass == kClassPlc5 ? 1 : 0;
    Driver.OctalIo = (mode >> 2) & 1;
    Driver.AltAddressMode = (mode >> 3) & 1;
    Driver.NonStandardBcd = (mode >> 4) & 1;
    const bool framed = (mode & 0x80) == 0;

    PlcAddress& h = Driver.CurrentHeader;
    h.fileType = kFileTypes[in.Next() % std::size(kFileTypes)];
    h.fileNumber = in.Next();
    h.elementBase = int8_t(in.Next());
    h.slot = -1;
    const int32_t count = 1 + in.Next() % 8;
    for (int32_t i = 0; i < count; ++i) {
        ItemRequest& it = items[size_t(i)];
        const uint8_t a = in.Next(), b = in.Next(), c = in.Next();
        it.kind = (a & 7) % 5;
        it.hasBit = (a >> 3) & 1;
        it.mnemonic = (a >> 4) % 12;
        it.element = int8_t(b) / 4;
        it.bit = c % 40;
        it.size = int8_t(c);
    }
    const std::vector<uint8_t> reply(data + in.at, data + size);

    // The peer answers every request with the rest of the input. gcc 12 under ThreadSanitizer
    // reports false -Warray-bounds and -Wstringop-overread in std::vector's copies here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
    test::Fake().onSend = [&](const test::Bytes& sent) {
        if (sent.size() <= 2) return;
        if (framed) {
            std::vector<uint8_t> message(reply);
            if (message.size() > 4) message[4] = uint8_t(Driver.TnsCounter - 1);
            if (message.size() > 511) message.resize(511);
            test::Fake().Queue(test::Answer(message));
        } else {
            test::Bytes out{0x10, 0x06};
            out.insert(out.end(), reply.begin(), reply.end());
            test::Fake().Queue(out);
        }
        // A peer that never completes a reply ends in Portkit's time-out.
        test::Fake().onYield = [] { test::Fake().port.ErrorCode = 0x101; };
    };
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    // Short port time-outs keep the line resets after a failed exchange quick.
    test::Fake().port.TimeoutA = 5;
    test::Fake().port.TimeoutB = 5;
    clock.onSleep = [](uint32_t) {
        test::Fake().Pump();
        TimeOutSoon();
    };

    int32_t error = 0;
    if (StartRead(count, kMaxTextReadElements, &error) != 1) return 0;
    test::Fake().Pump();
    TimeOutSoon();
    std::vector<HostValue> values(static_cast<size_t>(count));
    for (int polls = 0; polls < 4; ++polls)
        if (UDrvReadGroupFinishExt(values.data(), 0, count, &error) == 1) break;
    for (const HostValue& v : values) {
        // A good finish fills every record; a failed one fills none, except
        // the strings before a refused item of a string file.
        const bool filled = v.quality != 0;
        if (error == 0 && (!filled || v.valueType < 1 || v.valueType > 3)) __builtin_trap();
        if (error != 0 && filled && !(error == -34 && h.fileType == kFileString)) __builtin_trap();
    }
    return 0;
}
