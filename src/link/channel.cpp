// The channel lock, the line reset and the reply wait. They run on the host's
// calling thread; the receive handler changes ChannelBusy, ReplyReady and
// ErrorCode from Portkit's receive thread, so every shared word is read
// afresh on each pass.
#include "link/channel.h"

#include "link/frame.h"
#include "link/receive.h"
#include "platform/atomic_word.h"
#include "platform/clock.h"
#include "mira/portkit_codes.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr int kResetPasses = 30;
constexpr uint32_t kResetPassMs = 10;
constexpr uint32_t kDrainLimitMs = 100;

// Takes the free channel for a sender in one step, so that a frame starting
// on the receive thread between a test and a set cannot be overwritten.
bool ClaimFreeChannel() {
    uint32_t expected = 0;
    return std::atomic_ref<uint32_t>(Driver.ChannelBusy).compare_exchange_strong(expected, 1u);
}

uint32_t ChannelWaitLimit(generic_port* port) {
    if (port == nullptr) return 0;
    return static_cast<uint32_t>(Load(port->TimeoutA)) + static_cast<uint32_t>(Load(port->TimeoutB));
}

bool ResetAnswered(generic_port* port) {
    return LoadAcquire(port->ReplyReady) != 0 || Load(port->ErrorCode) != 0;
}

void ForceRelease(generic_port* port) {
    Store(Driver.ChannelBusy, 0u);
    if (port != nullptr) {
        ResetReceiver(port);
        Store(port->RawCount, 0);
    }
    Store(Driver.ForeignFrameSeen, 0u);
}

}  // namespace

void TakeChannel() {
    const uint32_t start = GetTickCount();
    while (!ClaimFreeChannel()) {
        PkYield();
        generic_port* port = Driver.Port;
        if (GetTickCount() - start > ChannelWaitLimit(port)) ForceRelease(port);
    }
}

void ResetLine() {
    TakeChannel();
    generic_port* port = Driver.Port;
    if (port != nullptr) {
        ResetReceiver(port);
        Store(port->ReplyPending, 0u);
        static constexpr uint8_t kEnq[] = {kDLE, kENQ};
        PkSend(port, kEnq, 2);
        Store(port->ReplyPending, 1u);
        (void)PkOutputDone(port);
        // The peer's DLE ACK or DLE NAK passes through the receive handler.
        // Portkit reports the answer taken as it reports a reply, and a DLE
        // ENQ that never went out (or a host that ended its waits) as it
        // reports a failed exchange: either ends the wait, as it ends a
        // request's. A silent peer gets every pass.
        for (int i = 0; i < kResetPasses && !ResetAnswered(port); ++i) {
            PkYield();
            Sleep(kResetPassMs);
        }
    }
    Store(Driver.ChannelBusy, 0u);
}

int32_t PollReply(int32_t* error) {
    generic_port* port = Driver.Port;
    if (port == nullptr) {
        // No port: the exchange cannot go on, so end it as a closed port would.
        if (error != nullptr) *error = MIRA_PK_ERR_CLOSED;
        return 1;
    }
    PkStatusUpdate(port);
    int32_t code = 0;
    int32_t done = 0;
    // Acquire: the handler kept the reply before it set ReplyReady. A
    // ReplyReady that stayed over from the last exchange is no reply to this
    // one: the kept reply must answer the request sent last.
    if (LoadAcquire(port->ReplyReady) != 0 && ReplyIsCurrent()) {
        done = 1;
    } else if (const uint32_t failure = Load(port->ErrorCode); failure != 0) {
        code = static_cast<int32_t>(failure);
        done = 1;
    }
    if (done != 0 && error != nullptr) *error = code;
    return done;
}

void WaitOutputDrained() {
    generic_port* port = Driver.Port;
    const uint32_t start = GetTickCount();
    for (;;) {
        const uint32_t now = GetTickCount();
        if (now < start) return;  // the tick count wrapped
        if (now - start >= kDrainLimitMs) return;
        if (port == nullptr || PkOutputDone(port) != 0) return;
    }
}

}  // namespace mira
