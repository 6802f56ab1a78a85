#include "fake_portkit.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "link/frame.h"
#include "platform/atomic_word.h"

namespace mira::test {

// Rebuilt in place, not allocated afresh: the fuzz targets reset it for every input.
static FakePort g_fake;

FakePort& Fake() { return g_fake; }

void ResetFake() {
    std::destroy_at(&g_fake);
    std::construct_at(&g_fake);
    g_fake.port.RawBuffer = g_fake.raw;
    g_fake.port.TimeoutA = 1000;
    g_fake.port.TimeoutB = 500;
}

FakeClock::FakeClock() {
    source_.context = this;
    source_.tickCount = [](void* c) { return static_cast<FakeClock*>(c)->now(); };
    source_.sleep = [](void* c, uint32_t ms) {
        auto* self = static_cast<FakeClock*>(c);
        self->Advance(ms);
        if (self->onSleep) self->onSleep(ms);
        Fake().Pump();
    };
    source_.localFileTime = [](void* c) { return static_cast<FakeClock*>(c)->fileTime; };
    SetClockSource(&source_);
}

FakeClock::~FakeClock() { SetClockSource(nullptr); }

void FakePort::Feed(const Bytes& bytes) {
    for (uint8_t b : bytes) FeedByte(b);
}

void FakePort::FeedByte(uint8_t byte) {
    {
        std::lock_guard lock(mutex);
        rx.push_back(byte);
    }
    if (handler != nullptr)
        handler(&port);
    else
        HandInts(&port);
}

void FakePort::Queue(const Bytes& bytes) {
    std::lock_guard lock(mutex);
    queued.insert(queued.end(), bytes.begin(), bytes.end());
}

void FakePort::Pump() {
    // What was queued before this pump, byte by byte; what an answer queues meanwhile waits.
    size_t n = 0;
    {
        std::lock_guard lock(mutex);
        n = queued.size();
    }
    for (; n > 0; --n) {
        uint8_t b = 0;
        {
            std::lock_guard lock(mutex);
            if (queued.empty()) return;
            b = queued.front();
            queued.pop_front();
        }
        FeedByte(b);
    }
}

Bytes FakePort::AllSent() const {
    Bytes all;
    for (const Bytes& s : sends) all.insert(all.end(), s.begin(), s.end());
    return all;
}

std::vector<std::string> FakePort::TraceLines() const {
    std::vector<std::string> out;
    for (const auto& t : traces) out.push_back(Narrow(t));
    return out;
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    }
    return out;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    std::istringstream in(hex);
    for (std::string byte; in >> byte;) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

Bytes Framed(const Bytes& message) {
    Bytes out(static_cast<size_t>(FrameCapacity(static_cast<int32_t>(message.size()))));
    int32_t n = 0;
    EncodeDriverFrame(message.data(), static_cast<int32_t>(message.size()), out.data(), &n);
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes Answer(const Bytes& message) {
    const Bytes frame = Framed(message);
    // Sized first, then filled: gcc 12 at -O2 misreads an insert after a braced list as out of bounds.
    Bytes out(frame.size() + 2);
    out[0] = kDLE;
    out[1] = kACK;
    std::copy(frame.begin(), frame.end(), out.begin() + 2);
    return out;
}

Bytes Unframed(const Bytes& frame) {
    Bytes m;
    for (size_t i = 2; i + 1 < frame.size() && !(frame[i] == kDLE && frame[i + 1] == kETX); ++i) {
        m.push_back(frame[i]);
        if (frame[i] == kDLE) ++i;
    }
    return m;
}

PlcAddress Header(int32_t fileType, int32_t letter, int32_t fileNumber, int32_t base, int32_t slot) {
    return {1, {}, fileNumber, fileType, letter, slot, base, 0, 0};
}

}  // namespace mira::test

using mira::test::Fake;

extern "C" {

generic_port* PkPortOpen(MiraWindowHandle, const DriverSettings*, int32_t* error) {
    auto& f = Fake();
    if (f.openError != 0) *error = f.openError;
    return f.openReturnsNull ? nullptr : &f.port;
}

int32_t PkPortClose(generic_port*) {
    ++Fake().closeCalls;
    return Fake().closeResult;
}

void PkRegisterHandler(generic_port*, PkReceiveHandler handler) { Fake().handler = handler; }

int32_t PkReceiveByte(generic_port* port, uint8_t* byte) {
    auto& f = Fake();
    {
        std::lock_guard lock(f.mutex);
        if (f.rx.empty()) return 0;
        *byte = f.rx.front();
        f.rx.pop_front();
    }
    // The raw view starts afresh with a byte that arrives between frames.
    if (mira::Load(port->RxState) == 0) mira::Store(port->RawCount, 0);
    const uint16_t n = mira::Load(port->RawCount);
    if (n < sizeof f.raw) {
        f.raw[n] = *byte;
        mira::Store(port->RawCount, n + 1);
    }
    return 1;
}

void PkSend(generic_port* port, const uint8_t* bytes, int32_t length) {
    auto& f = Fake();
    mira::Store(port->ReplyReady, 0);
    mira::Store(port->ErrorCode, f.sendErrorCode);
    if (!f.keepRecords && !f.onSend) return;
    // A buffer per nested send on this thread (a peer may answer inside onSend), kept from send to send.
    thread_local std::deque<mira::test::Bytes> buffers;
    thread_local size_t depth = 0;
    if (buffers.size() <= depth) buffers.emplace_back();
    mira::test::Bytes& sent = buffers[depth];
    sent.assign(bytes, bytes + (length > 0 ? length : 0));
    if (f.keepRecords) {
        std::lock_guard lock(f.mutex);
        f.sends.push_back(sent);
    }
    ++depth;
    if (f.onSend) f.onSend(sent);
    --depth;
}

int32_t PkOutputDone(generic_port*) {
    ++Fake().outputChecks;
    if (Fake().onOutputCheck) Fake().onOutputCheck();
    return Fake().outputDoneResult;
}

void PkYield() {
    auto& f = Fake();
    ++f.yields;
    if (f.onYield) f.onYield();
    f.Pump();
    // Advancing the clock keeps time-out loops finite under the fake clock.
    mira::Sleep(f.yieldAdvanceMs);
}

void PkStatusUpdate(generic_port*) { ++Fake().statusUpdates; }

void PkTrace(const char16_t* line) {
    auto& f = Fake();
    std::lock_guard lock(f.mutex);
    f.traceUnits += std::char_traits<char16_t>::length(line);
    if (f.keepRecords) f.traces.emplace_back(line);
}

void PkStationText(generic_port*, const char16_t* stationRef, char16_t* buffer, int32_t limit) {
    auto& f = Fake();
    std::u16string ref = stationRef ? stationRef : u"";
    f.stationRequests.push_back(ref);
    std::u16string value = f.stationText ? f.stationText(stationRef) : ref;
    const size_t n = std::min(value.size(), static_cast<size_t>(limit));
    std::copy_n(value.begin(), n, buffer);
    buffer[n] = 0;
}

void* PkTableAlloc(int32_t count, int32_t recordSize) {
    auto& f = Fake();
    f.allocs.emplace_back(count, recordSize);
    if (f.failTableAlloc) return nullptr;
    void* block = std::calloc(static_cast<size_t>(count), static_cast<size_t>(recordSize));
    f.allocBlocks.push_back(block);
    return block;
}

void PkTableFree(void* block) {
    Fake().frees.push_back(block);
    std::free(block);
}

void PkStringStep(generic_port*) { ++Fake().stringSteps; }

}  // extern "C"
