// The window bridge: a fixed ring of posted messages and one delivery thread.
// The lock and the condition variables stay here, in the platform layer; the
// receive handler only queues (a short lock when a frame was stored) and lets
// go (one atomic load per byte otherwise).
#include "platform/window.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

namespace mira {
namespace {

struct Posted {
    const MiraWindow* window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

struct Bridge {
    std::mutex mutex;
    std::condition_variable wake;     // the delivery thread: a message was let go, or stop
    std::condition_variable settled;  // flushers: a delivery ended
    Posted queue[kWindowQueueSlots]{};
    uint32_t head = 0, count = 0;
    uint32_t released = 0;  // queued messages from head on that may go
    bool running = false, stopping = false, delivering = false;
    pthread_t thread{};
    std::atomic<bool> held{false};  // something queued is not let go yet
};

// Never destroyed: a host that exits without UDrvClose leaves the delivery
// thread waiting on it, which must not meet a destroyed condition variable.
Bridge& TheBridge() {
    alignas(Bridge) static unsigned char storage[sizeof(Bridge)];
    static Bridge* bridge = new (storage) Bridge;
    return *bridge;
}

void LetGoLocked(Bridge& b) {
    b.held.store(false, std::memory_order_relaxed);
    b.released = b.count;
    b.wake.notify_one();
}

void* DeliveryLoop(void*) {
    Bridge& b = TheBridge();
    std::unique_lock<std::mutex> lock(b.mutex);
    for (;;) {
        b.wake.wait(lock, [&b] { return b.released > 0 || b.stopping; });
        if (b.released == 0) break;  // stopping, and everything delivered
        const Posted p = b.queue[b.head];
        b.head = (b.head + 1) % kWindowQueueSlots;
        --b.count;
        --b.released;
        b.delivering = true;
        lock.unlock();
        p.window->post(p.window->context, p.message, p.wParam, p.lParam);
        lock.lock();
        b.delivering = false;
        b.settled.notify_all();
    }
    return nullptr;
}

}  // namespace

bool PostMessageW(MiraWindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window == 0) return false;
    const auto* target = reinterpret_cast<const MiraWindow*>(window);
    if (target->post == nullptr) return false;
    Bridge& b = TheBridge();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.running || b.stopping || b.count == kWindowQueueSlots) return false;
    b.queue[(b.head + b.count) % kWindowQueueSlots] = {target, message, wParam, lParam};
    ++b.count;
    b.held.store(true, std::memory_order_relaxed);
    return true;
}

void ReleasePostedMessages() {
    Bridge& b = TheBridge();
    if (!b.held.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(b.mutex);
    LetGoLocked(b);
}

bool StartWindowBridge() {
    Bridge& b = TheBridge();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.running) return true;
    b.stopping = false;
    if (pthread_create(&b.thread, nullptr, DeliveryLoop, nullptr) != 0) return false;
    b.running = true;
    return true;
}

void FlushWindowMessages() {
    Bridge& b = TheBridge();
    std::unique_lock<std::mutex> lock(b.mutex);
    if (!b.running) return;
    LetGoLocked(b);
    b.settled.wait(lock, [&b] { return b.count == 0 && !b.delivering; });
}

void StopWindowBridge() {
    Bridge& b = TheBridge();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (!b.running || b.stopping) return;
        b.stopping = true;
        LetGoLocked(b);
    }
    pthread_join(b.thread, nullptr);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.running = false;
    b.stopping = false;
}

}  // namespace mira
