// MIRA's Portkit for Linux: the port object, its receive thread, the reply
// supervision and the small operations the driver imports.
//
// The receive thread reads the line, keeps what it read in a bounded queue and
// calls the registered handler while bytes wait; the handler takes them one at
// a time with PkReceiveByte. Between deliveries the thread watches the reply
// time-out. The words the driver shares with this thread are accessed only
// through std::atomic_ref.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <map>
#include <string>
#include <system_error>
#include <thread>

#include "mira/portkit_codes.h"
#include "portkit/line.h"
#include "portkit/link_rules.h"
#include "portkit/port_name.h"
#include "portkit/trace.h"
#include "portkit/wake.h"

// The operations are the library's interface; everything else stays hidden.
#pragma GCC visibility push(default)
#include "portkit/portkit_host.h"
#include "setup/portkit.h"
#pragma GCC visibility pop

#define PK_API extern "C"

namespace mira::portkit {
namespace {

// The raw view holds one frame from its DLE STX on. 1026 bytes keep the
// driver's copy of RawCount - 2 bytes within a 1024-byte slot whatever
// the line sends.
constexpr size_t kRawCapacity = 1026;
// Bytes read but not yet taken by the handler. A line that floods faster than
// the handler takes bytes loses its oldest bytes, never memory.
constexpr size_t kQueueCapacity = 8192;
constexpr uint32_t kPollMs = 10;
// How long a wakeable line is read in one wait while nothing on our side
// counts time: a send wakes the read, so that its timers still start from
// 10 ms steps; what remains are the changes of the host's cancel flag,
// which no one announces.
constexpr uint32_t kIdleWaitMs = 1000;
// The longest PkYield sleeps without a line event: the driver's own waits
// (the channel lock, a line reset's 30 passes) count on short yields.
constexpr uint32_t kYieldMaxUs = 1000;

template <class T>
T Get(T& word) {
    return std::atomic_ref<T>(word).load(std::memory_order_acquire);
}
template <class T, class V>
void Put(T& word, V value) {
    std::atomic_ref<T>(word).store(static_cast<T>(value), std::memory_order_release);
}

// How long the channel lock may be held before the driver takes it by force,
// when the host leaves it to us: the time the longest frame the driver
// accepts takes on this line (512 message bytes, every one doubled as DLE,
// plus the framing), so an incoming frame is never cut, plus a margin for
// scheduling. Holding it for the reply time-out instead would make every
// failed exchange wait that long a second time before the next one.
constexpr uint32_t kLongestFrameBytes = 2 * 512 + 8;
constexpr uint32_t kChannelMarginMs = 100;

void ChooseChannelBound(const LineSettings& line, uint16_t* a, uint16_t* b) {
    uint32_t ms = 0;
    if (line.kind != LineKind::Simulator && line.baud > 0) {
        const uint32_t bits = 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + line.stopBits;
        ms = (kLongestFrameBytes * bits * 1000u + line.baud - 1) / line.baud;
    }
    *a = static_cast<uint16_t>(std::min<uint32_t>(ms, 65535u - kChannelMarginMs));
    *b = static_cast<uint16_t>(kChannelMarginMs);
}

uint32_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

thread_local bool t_onReceiveThread = false;
thread_local std::string t_openError;

struct Port {
    generic_port port{};
    uint8_t raw[kRawCapacity]{};
    LineSettings settings;
    std::unique_ptr<Line> line;
    std::atomic<PkReceiveHandler> handler{nullptr};

    // Held across a send's trace line and its write, so that the trace shows
    // the receive thread's DLE ACK and the host's request in the order they
    // went out on the line. It also guards the transmitter's state: a frame
    // is recorded under the same hold as its write, so that no DLE NAK can
    // be taken for the frame before.
    std::mutex sendMutex;
    Transmitter tx;
    std::mutex queueMutex;
    uint8_t queue[kQueueCapacity]{};
    size_t queueHead = 0, queueCount = 0;
    uint64_t dropped = 0;
    RxScanner scanner;  // guarded by queueMutex, like the bytes it follows
    // Set when a byte taken completed a frame or a link sequence: once the
    // handler has it, a host waiting in PkYield is woken.
    std::atomic<bool> announce{false};

    std::thread thread;
    std::atomic<bool> stop{false};
    // The line is away (the device vanished, the connection dropped): line
    // is null and the receive thread opens it again by name, with back-off.
    // Changed only by the receive thread, under sendMutex.
    std::atomic<bool> gone{false};
    Backoff backoff;
    uint16_t boundA = 0, boundB = 0;  // the channel bound while the line is there

    // Reply supervision: armed by a command frame sent from the host thread.
    std::atomic<bool> armed{false};
    std::atomic<bool> timeoutTraced{false};
    std::atomic<uint32_t> sendTick{0};

    // The host's line reset waits for the controller's DLE ACK or DLE NAK;
    // once the handler has taken it, ReplyReady says so, as it says a reply
    // is in. Both guarded by sendMutex.
    bool resetWaits = false;
    bool resetAnswered = false;
    // The host's cancel flag as the receive thread last acted on it.
    std::atomic<bool> cancelSeen{false};
    // The receive thread reads in a long wait, which a send must end.
    std::atomic<bool> idle{false};
};

std::atomic<uint64_t> g_receivedBytes{0};
std::mutex g_linkSettingsMutex;
LinkSettings g_linkSettings;  // for the ports opened next
std::mutex g_portsMutex;
std::map<generic_port*, Port*> g_ports;  // the open ports, by the address handed out

Port* From(generic_port* port) {
    if (port == nullptr) return nullptr;
    Port* p = nullptr;
    std::memcpy(&p, port->portkitPrivate0, sizeof p);
    return p;
}

void TraceText(const std::string& text) { TraceLine(text.c_str()); }

// How long count bytes take on this line, in whole ms; 0 where the line has
// no character time of its own (TCP, the simulator).
uint32_t WireMs(const LineSettings& line, size_t count) {
    if (line.kind != LineKind::Serial || line.baud == 0) return 0;
    const uint64_t bits = 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + line.stopBits;
    return static_cast<uint32_t>((count * bits * 1000u + line.baud - 1) / line.baud);
}

size_t QueueCount(Port& p) {
    std::lock_guard<std::mutex> lock(p.queueMutex);
    return p.queueCount;
}

void Enqueue(Port& p, const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(p.queueMutex);
    for (size_t i = 0; i < count; ++i) {
        if (p.queueCount == kQueueCapacity) {
            p.queueHead = (p.queueHead + 1) % kQueueCapacity;
            --p.queueCount;
            ++p.dropped;
            AddCount(Count::BytesDropped);
        }
        p.queue[(p.queueHead + p.queueCount) % kQueueCapacity] = bytes[i];
        ++p.queueCount;
    }
}

void ClearQueue(Port& p) {
    std::lock_guard<std::mutex> lock(p.queueMutex);
    p.queueHead = p.queueCount = 0;
    p.scanner.Reset();
}

// Whether nothing of a frame is on its way in: no byte waits for the
// handler and the last one taken ended whatever it belonged to.
bool Quiet(Port& p) {
    std::lock_guard<std::mutex> lock(p.queueMutex);
    return p.queueCount == 0 && p.scanner.Idle();
}

// The channel bound while the line is there and the host has not ended its
// waits. sendMutex is held.
void RestoreChannelBound(Port& p) {
    if (p.gone.load() || p.cancelSeen.load() || CancelRequested()) return;
    Put(p.port.TimeoutA, p.boundA);
    Put(p.port.TimeoutB, p.boundB);
}

// An exchange that failed leaves the channel with its sender, who waited for
// a reply that never came; the driver's next sender takes it by force after
// the channel bound. That bound only keeps an incoming frame from being cut:
// with none on its way, the next sender takes the channel at once. The bound
// is back with the next send.
void ReleaseChannelIfQuiet(Port& p) {
    if (!Quiet(p)) return;
    Put(p.port.TimeoutA, 0);
    Put(p.port.TimeoutB, 0);
}

// Ends a waiting exchange with code now instead of at its time-out; false
// when there is none or it has ended already.
bool FailPending(Port& p, uint32_t code) {
    if (!p.armed.load() || Get(p.port.ReplyReady) != 0) return false;
    uint32_t expected = 0;
    if (!std::atomic_ref<uint32_t>(p.port.ErrorCode).compare_exchange_strong(expected, code)) return false;
    ReleaseChannelIfQuiet(p);
    AnnounceLineEvent();
    return true;
}

// The host ended its waits: the exchange or line reset still waiting ends
// now, and the next sender takes the channel at once. Runs on the receive
// thread when the flag is seen set, and on the host's reply poll.
void EndWaitsForCancel(Port& p) {
    Put(p.port.TimeoutA, 0);
    Put(p.port.TimeoutB, 0);
    std::lock_guard<std::mutex> order(p.sendMutex);
    p.tx.Stop();
    if (!FailPending(p, MIRA_PK_ERR_CANCELLED) && p.resetWaits) {
        uint32_t expected = 0;
        std::atomic_ref<uint32_t>(p.port.ErrorCode).compare_exchange_strong(expected, MIRA_PK_ERR_CANCELLED);
        AnnounceLineEvent();
    }
}

// Acts on a change of the host's cancel flag. Receive thread only.
void FollowCancel(Port& p) {
    const bool cancel = CancelRequested();
    if (cancel == p.cancelSeen.load()) return;
    p.cancelSeen.store(cancel);
    if (cancel) {
        if (TraceOn()) TraceText("Portkit: the host ended its waits");
        EndWaitsForCancel(p);
    } else {
        std::lock_guard<std::mutex> order(p.sendMutex);
        RestoreChannelBound(p);
    }
}

// Sets the time-out code once the reply is overdue. Stays armed until the
// reply is in or the next command goes out, so a code cleared by the
// handler's own DLE ACK is set again.
void Supervise(Port& p) {
    if (!p.armed.load(std::memory_order_acquire)) return;
    if (Get(p.port.ReplyReady) != 0) {
        p.armed.store(false);
        return;
    }
    if (Get(p.port.ReplyPending) != 1) return;
    if (CancelRequested()) {
        EndWaitsForCancel(p);
        return;
    }
    const uint32_t elapsed = NowMs() - p.sendTick.load(std::memory_order_acquire);
    if (elapsed < p.settings.replyTimeoutMs) return;
    uint32_t expected = 0;
    if (std::atomic_ref<uint32_t>(p.port.ErrorCode)
            .compare_exchange_strong(expected, MIRA_PK_ERR_TIMEOUT, std::memory_order_acq_rel)) {
        ReleaseChannelIfQuiet(p);
        AnnounceLineEvent();
        AddCount(Count::ReplyTimeouts);
        {
            std::lock_guard<std::mutex> order(p.sendMutex);
            p.tx.Stop();  // the exchange is over: no DLE ENQ after it
        }
        if (!p.timeoutTraced.exchange(true) && TraceOn())
            TraceText("Portkit: no reply within " + std::to_string(p.settings.replyTimeoutMs) + " ms");
    }
}

// Puts bytes on the line after their trace line. sendMutex is held.
int32_t WriteLocked(Port& p, const uint8_t* bytes, size_t count) {
    if (TraceOn()) {
        char line[kTxTraceCapacity];
        FormatTx(bytes, count, line);
        TraceLine(line);
    }
    if (p.gone.load()) return MIRA_PK_ERR_CLOSED;
    const int32_t code = p.line->Write(bytes, count);
    if (code == 0) CountSent(bytes, count);
    return code;
}

// Carries out what the transmitter's rules ask for. sendMutex is held.
void Act(Port& p, Transmitter::Action action) {
    int32_t code = 0;
    switch (action) {
        case Transmitter::Action::None: return;
        case Transmitter::Action::Resend:
            if (TraceOn()) TraceText("Portkit: DLE NAK; the frame again");
            AddCount(Count::Retransmissions);
            code = WriteLocked(p, p.tx.frame(), p.tx.length());
            break;
        case Transmitter::Action::SendEnq: {
            if (TraceOn()) TraceText("Portkit: no DLE ACK within " + std::to_string(p.tx.ackTimeoutMs()) + " ms");
            const uint8_t enq[2] = {kDle, kEnq};
            code = WriteLocked(p, enq, sizeof enq);
            break;
        }
        case Transmitter::Action::GiveUpNak:
            if (p.tx.command() && FailPending(p, MIRA_PK_ERR_REFUSED) && TraceOn())
                TraceText("Portkit: the frame was refused with DLE NAK every time");
            return;
        case Transmitter::Action::GiveUpSilent:
            if (p.tx.command() && FailPending(p, MIRA_PK_ERR_TIMEOUT)) {
                AddCount(Count::ReplyTimeouts);
                if (TraceOn()) TraceText("Portkit: no answer to DLE ENQ");
            }
            return;
    }
    if (code != 0) {
        p.tx.Stop();
        if (p.tx.command()) FailPending(p, static_cast<uint32_t>(code));
    }
}

std::unique_ptr<Line> OpenLine(const LineSettings& line, int32_t* code, std::string* why) {
    switch (line.kind) {
        case LineKind::Serial: return OpenSerial(line, code, why);
        case LineKind::Tcp: return OpenTcp(line, code, why);
        case LineKind::Simulator: return OpenSimulator(line, code, why);
    }
    return nullptr;
}

std::string LineName(const LineSettings& line) {
    return line.kind == LineKind::Tcp ? line.host + ":" + std::to_string(line.tcpPort) : line.path;
}

// The device vanished or the connection dropped: the exchange waiting ends at
// once, and so does every request until the line is back.
void LineLost(Port& p) {
    const bool tcp = p.settings.kind == LineKind::Tcp;
    {
        std::lock_guard<std::mutex> order(p.sendMutex);
        p.gone.store(true);
        p.tx.Stop();
        p.line.reset();  // lets go of the device, so that its name can come back
    }
    // Nothing can arrive any more: a sender waiting for the channel takes it
    // at once and meets the closed port.
    Put(p.port.TimeoutA, 0);
    Put(p.port.TimeoutB, 0);
    AddCount(Count::LinesLost);
    p.backoff.Lost(NowMs());
    TraceText("Portkit: " + LineName(p.settings) + (tcp ? ": connection dropped" : ": the device is gone") +
              "; opening it again in " + std::to_string(p.backoff.delayMs() / 1000) + " s");
    FailPending(p, tcp ? MIRA_PK_ERR_DISCONNECTED : MIRA_PK_ERR_CLOSED);
    AnnounceLineEvent();
}

// Opens a lost line again once its back-off has passed.
void TryReopen(Port& p) {
    if (!p.backoff.Due(NowMs())) return;
    int32_t code = 0;
    std::string why;
    std::unique_ptr<Line> line = OpenLine(p.settings, &code, &why);
    if (!line) {
        p.backoff.Failed(NowMs());
        if (TraceOn())
            TraceText("Portkit: " + why + "; next try in " + std::to_string(p.backoff.delayMs() / 1000) + " s");
        return;
    }
    {
        std::lock_guard<std::mutex> order(p.sendMutex);
        p.line = std::move(line);
        ClearQueue(p);
        p.gone.store(false);
        RestoreChannelBound(p);
    }
    AddCount(Count::Reconnects);
    TraceText("Portkit: " + LineName(p.settings) + " is back");
    AnnounceLineEvent();
}

// The handler has taken the controller's answer to the host's line reset:
// the reset's wait is over, as a request's is when its reply is in.
void AnswerReset(Port& p) {
    std::lock_guard<std::mutex> order(p.sendMutex);
    if (!p.resetAnswered) return;
    p.resetAnswered = false;
    if (!p.resetWaits) return;
    p.resetWaits = false;
    Put(p.port.ReplyReady, 1u);
    p.announce.store(true, std::memory_order_release);
}

void Deliver(Port& p) {
    const PkReceiveHandler handler = p.handler.load(std::memory_order_acquire);
    if (handler == nullptr) return;
    for (size_t before = QueueCount(p); before > 0;) {
        handler(&p.port);
        AnswerReset(p);
        if (p.announce.exchange(false, std::memory_order_acq_rel)) AnnounceLineEvent();
        const size_t after = QueueCount(p);
        if (after >= before) break;  // the handler took nothing: try again later
        before = after;
    }
}

// How long the next read may wait: long only while no timer of ours runs
// (no frame awaits its DLE ACK, no reply or line reset is awaited, no byte
// waits for the handler) on a line a send can wake. idle is raised before
// the look, so that a send the look missed finds it raised and wakes the
// read (PkSend), seq_cst on both sides.
uint32_t NextWaitMs(Port& p) {
    if (!p.line->Wakeable()) return kPollMs;
    p.idle.store(true);
    bool busy = p.armed.load() || p.cancelSeen.load() != CancelRequested() || QueueCount(p) > 0;
    if (!busy) {
        std::lock_guard<std::mutex> order(p.sendMutex);
        busy = p.tx.waiting() || p.resetWaits;
    }
    if (!busy) return kIdleWaitMs;
    p.idle.store(false);
    return kPollMs;
}

void ReceiveLoop(Port* p) {
    t_onReceiveThread = true;
    uint8_t buffer[512];
    while (!p->stop.load(std::memory_order_acquire)) {
        if (p->gone.load()) {
            TryReopen(*p);
            if (p->gone.load()) ::usleep(kPollMs * 1000u);
        } else {
            size_t count = 0;
            const uint32_t waitMs = NextWaitMs(*p);
            const ReadResult read = p->line->Read(buffer, sizeof buffer, &count, waitMs);
            p->idle.store(false);
            switch (read) {
                case ReadResult::Bytes:
                    g_receivedBytes.fetch_add(count, std::memory_order_relaxed);
                    AddCount(Count::BytesReceived, count);
                    Enqueue(*p, buffer, count);
                    break;
                case ReadResult::Nothing:
                    break;
                case ReadResult::Closed:
                    LineLost(*p);
                    break;
            }
        }
        FollowCancel(*p);
        Deliver(*p);
        Supervise(*p);
        std::lock_guard<std::mutex> order(p->sendMutex);
        Act(*p, p->tx.OnTick(NowMs()));
    }
}

}  // namespace
}  // namespace mira::portkit

using namespace mira::portkit;

PK_API generic_port* PkPortOpen(MiraWindowHandle, const DriverSettings* settings, int32_t* error) {
    int32_t scratch = 0;
    if (error == nullptr) error = &scratch;
    *error = 0;
    t_openError.clear();
    if (settings == nullptr) {
        *error = MIRA_PK_ERR_SETTINGS;
        t_openError = "no settings";
        return nullptr;
    }
    LineSettings line;
    std::string why;
    if (const int32_t code = ReadLineSettings(*settings, &line, &why); code != 0) {
        *error = code;
        t_openError = why;
        return nullptr;
    }
    int32_t code = 0;
    std::unique_ptr<Line> opened = OpenLine(line, &code, &why);
    if (!opened) {
        *error = code != 0 ? code : MIRA_PK_ERR_NO_DEVICE;
        t_openError = why;
        return nullptr;
    }
    Port* p = new (std::nothrow) Port;
    if (p == nullptr) {
        *error = MIRA_PK_ERR_RESOURCES;
        t_openError = "no memory for the port";
        return nullptr;
    }
    p->settings = line;
    p->scanner.SetCrc(line.crc);
    {
        std::lock_guard<std::mutex> lock(g_linkSettingsMutex);
        p->tx.Configure(g_linkSettings);
    }
    p->line = std::move(opened);
    std::memcpy(p->port.portkitPrivate0, &p, sizeof p);
    p->port.RawBuffer = p->raw;
    if (settings->TimeoutA == 0 && settings->TimeoutB == 0) {
        ChooseChannelBound(line, &p->port.TimeoutA, &p->port.TimeoutB);
    } else {
        p->port.TimeoutA = settings->TimeoutA;
        p->port.TimeoutB = settings->TimeoutB;
    }
    p->boundA = p->port.TimeoutA;
    p->boundB = p->port.TimeoutB;
    try {
        p->thread = std::thread(ReceiveLoop, p);
    } catch (const std::system_error&) {
        delete p;
        *error = MIRA_PK_ERR_RESOURCES;
        t_openError = "no thread for the port";
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_portsMutex);
        g_ports.emplace(&p->port, p);
    }
    return &p->port;
}

PK_API int32_t PkPortClose(generic_port* port) {
    Port* p = nullptr;
    {
        // Looked up by address, never read through: a port closed already
        // (or never ours) is refused without touching its memory.
        std::lock_guard<std::mutex> lock(g_portsMutex);
        const auto found = g_ports.find(port);
        if (found == g_ports.end()) return 0;
        p = found->second;
        g_ports.erase(found);
    }
    p->stop.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> order(p->sendMutex);
        if (p->line) p->line->Wake();  // null while the line is away
    }
    if (p->thread.joinable()) p->thread.join();
    delete p;
    return 1;
}

PK_API void PkRegisterHandler(generic_port* port, PkReceiveHandler handler) {
    if (Port* p = From(port)) p->handler.store(handler, std::memory_order_release);
}

PK_API int32_t PkReceiveByte(generic_port* port, uint8_t* byte) {
    Port* p = From(port);
    if (p == nullptr || byte == nullptr) return 0;
    RxEvent event = RxEvent::None;
    {
        std::lock_guard<std::mutex> lock(p->queueMutex);
        if (p->queueCount == 0) return 0;
        *byte = p->queue[p->queueHead];
        p->queueHead = (p->queueHead + 1) % kQueueCapacity;
        --p->queueCount;
        event = p->scanner.Feed(*byte);
    }
    if (event != RxEvent::None) {
        p->announce.store(true, std::memory_order_release);
        CountReceived(event);
    }
    if (event == RxEvent::Ack || event == RxEvent::Nak) {
        std::lock_guard<std::mutex> order(p->sendMutex);
        const Transmitter::Answers to = p->tx.Answer();
        CountAnswer(event, to);
        if (to == Transmitter::Answers::LineReset && p->resetWaits) p->resetAnswered = true;
        if (event == RxEvent::Ack) {
            p->tx.OnAck();
        } else {
            Act(*p, p->tx.OnNak(NowMs()));
        }
    }
    // A byte that arrives while the handler is idle may open a frame: the raw
    // view starts afresh there, so it always begins at the frame's DLE STX.
    if (Get(p->port.RxState) == 0) Put(p->port.RawCount, 0);
    const uint16_t count = Get(p->port.RawCount);
    if (count < kRawCapacity) {
        p->raw[count] = *byte;
        Put(p->port.RawCount, count + 1);
    }
    return 1;
}

PK_API void PkSend(generic_port* port, const uint8_t* bytes, int32_t length) {
    Port* p = From(port);
    if (p == nullptr) return;
    const bool host = !t_onReceiveThread;
    // Under the lock, so that the answer to an earlier line reset cannot mark
    // this send's reply as in after it was cleared.
    std::lock_guard<std::mutex> order(p->sendMutex);
    Put(p->port.ReplyReady, 0);
    Put(p->port.ErrorCode, 0);
    if (host) p->resetWaits = p->resetAnswered = false;
    if (bytes == nullptr || length <= 0) return;
    const size_t count = static_cast<size_t>(length);
    // A sender about to start an exchange sets ReplyPending to 0 first; the
    // handler's DLE ACK and the answer to an unsolicited command do not.
    const bool command = host && Get(p->port.ReplyPending) == 0;
    const bool frame = count >= 2 && bytes[0] == kDle && bytes[1] == kStx;
    // Once the host has ended its waits, its sends end at once unsent.
    if (host && CancelRequested()) {
        p->armed.store(false);
        p->tx.Stop();
        Put(p->port.ErrorCode, MIRA_PK_ERR_CANCELLED);
        return;
    }
    if (command) {
        RestoreChannelBound(*p);
        p->armed.store(false);
        // A line reset starts the line afresh. A command frame drops nothing:
        // in full duplex the controller speaks when it likes, and what waits
        // may be its own frame or the DLE ACK of our last one, on its way in.
        if (!frame) {
            if (!p->gone.load()) p->line->DiscardInput();
            ClearQueue(*p);
        }
        // The way back after an overflowing frame: the receive count starts
        // again with the next exchange.
        if (Get(p->port.RxCount) >= 512) Put(p->port.RxCount, 0);
        // A link sequence of the host's own (its line reset) ends any wait
        // for the DLE ACK of an earlier frame.
        p->tx.Stop();
    }
    // The reply time-out counts from the command: the handler's DLE ACK for
    // each frame the controller sends meanwhile does not put it off.
    if (command) p->sendTick.store(NowMs(), std::memory_order_release);
    if (const int32_t code = WriteLocked(*p, bytes, count); code != 0) {
        Put(p->port.ErrorCode, code);
        if (code != MIRA_PK_ERR_CLOSED && TraceOn())
            TraceText(std::string("Portkit: send failed: ") + PkCodeText(static_cast<uint32_t>(code)));
        return;
    }
    if (host && frame) p->tx.Sent(bytes, count, command, NowMs(), WireMs(p->settings, count));
    // The host's own DLE ENQ is its line reset, never Portkit's question
    // about a frame (those go out from Act).
    if (host && count == 2 && bytes[0] == kDle && bytes[1] == kEnq) {
        p->tx.ResetSent();
        p->resetWaits = true;
        AddCount(Count::LineResets);
    }
    if (command && frame) {
        p->timeoutTraced.store(false);
        p->armed.store(true, std::memory_order_release);
    }
    // The receive thread counts this send's time-outs from its next pass.
    if (host && p->idle.load() && p->line) p->line->Wake();
}

PK_API int32_t PkOutputDone(generic_port* port) {
    Port* p = From(port);
    if (p == nullptr) return 1;
    std::lock_guard<std::mutex> order(p->sendMutex);
    return p->gone.load() || p->line->OutputDrained() ? 1 : 0;
}

PK_API void PkYield() {
    if (!CancelRequested()) WaitForLineEvent(kYieldMaxUs);
}

PK_API void PkStatusUpdate(generic_port* port) {
    if (Port* p = From(port)) Supervise(*p);
}

PK_API void PkStationText(generic_port*, const char16_t* stationRef, char16_t* buffer, int32_t limit) {
    if (buffer == nullptr || limit < 0) return;
    const int32_t bound = std::min<int32_t>(limit, 80);
    int32_t n = 0;
    if (stationRef != nullptr)
        for (; n < bound && stationRef[n] != 0; ++n) buffer[n] = stationRef[n];
    buffer[n] = 0;
}

PK_API void* PkTableAlloc(int32_t count, int32_t recordSize) {
    constexpr int64_t kMaxBlock = 64 << 20;
    if (count <= 0 || recordSize <= 0) return nullptr;
    if (static_cast<int64_t>(count) * recordSize > kMaxBlock) return nullptr;
    return std::calloc(static_cast<size_t>(count), static_cast<size_t>(recordSize));
}

PK_API void PkTableFree(void* block) { std::free(block); }

PK_API void PkStringStep(generic_port*) {}

PK_API const char* PkCodeText(uint32_t code) {
    switch (code) {
        case MIRA_PK_ERR_OVERFLOW: return "a frame of more than 511 message bytes";
        case MIRA_PK_ERR_TIMEOUT: return "no reply within the reply time-out";
        case MIRA_PK_ERR_SEND: return "the bytes could not be written";
        case MIRA_PK_ERR_CLOSED: return "the line is away (device vanished or connection lost); Portkit is opening it again";
        case MIRA_PK_ERR_DISCONNECTED: return "the TCP connection dropped during the exchange";
        case MIRA_PK_ERR_REFUSED: return "the controller refused the frame (DLE NAK) and every retransmission";
        case MIRA_PK_ERR_CANCELLED: return "ended by the host before the exchange was over";
        case MIRA_PK_ERR_NO_DEVICE: return "the device or host does not exist";
        case MIRA_PK_ERR_BUSY: return "the device is in use by another program";
        case MIRA_PK_ERR_PERMISSION: return "no permission to open the device";
        case MIRA_PK_ERR_CONNECT: return "TCP connect refused or timed out";
        case MIRA_PK_ERR_SETTINGS: return "bad port name, baud or character format";
        case MIRA_PK_ERR_RESOURCES: return "no memory or no thread for the port";
        default: return nullptr;
    }
}

PK_API int32_t PkSetLinkSettings(const PkLinkSettings* settings) {
    LinkSettings chosen;
    if (settings != nullptr) {
        if (settings->nakRetries > 10 || settings->enqRetries > 10 || settings->ackTimeoutMs > 60000) return 0;
        if (settings->ackTimeoutMs != 0) chosen.ackTimeoutMs = settings->ackTimeoutMs;
        chosen.nakRetries = settings->nakRetries;
        chosen.enqRetries = settings->enqRetries;
    }
    std::lock_guard<std::mutex> lock(g_linkSettingsMutex);
    g_linkSettings = chosen;
    return 1;
}

PK_API void PkGetLinkCountersEx(PkLinkCounters* out, uint32_t size) {
    if (out != nullptr) ReadCounts(out, size);
}

PK_API void PkGetLinkCounters(PkLinkCounters* out) {
    if (out != nullptr) ReadCounts(out, kFirstCountFields * sizeof(uint64_t));
}

PK_API void PkWatchCancel(const std::atomic<bool>* flag) { WatchCancel(flag); }

PK_API void PkAwaitLineEvent(uint32_t maxWaitMs) {
    if (!CancelRequested()) WaitForLineEvent(std::min<uint32_t>(maxWaitMs, 60000) * 1000u);
}

PK_API uint64_t PkReceivedBytes() { return g_receivedBytes.load(std::memory_order_relaxed); }

PK_API const char* PkLastOpenError() { return t_openError.c_str(); }
