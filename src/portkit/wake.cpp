#include "portkit/wake.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mira::portkit {
namespace {

std::mutex g_mutex;
std::condition_variable g_wake;
uint64_t g_generation = 0;  // guarded by g_mutex
thread_local uint64_t t_seen = 0;
std::atomic<const std::atomic<bool>*> g_cancel{nullptr};

}  // namespace

void AnnounceLineEvent() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_generation;
    }
    g_wake.notify_all();
}

void WaitForLineEvent(uint32_t maxWaitUs) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_wake.wait_for(lock, std::chrono::microseconds(maxWaitUs), [] { return g_generation != t_seen; });
    t_seen = g_generation;
}

void WatchCancel(const std::atomic<bool>* flag) {
    g_cancel.store(flag, std::memory_order_release);
    AnnounceLineEvent();
}

bool CancelRequested() {
    const std::atomic<bool>* flag = g_cancel.load(std::memory_order_acquire);
    return flag != nullptr && flag->load(std::memory_order_acquire);
}

}  // namespace mira::portkit
