// glibc's allocator stays in charge: these wrappers count and pass on to its
// __libc_* entry points, which free() understands as its own.
#include "alloc_count.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace mira::bench {
namespace {

std::atomic<uint64_t> g_count{0};
thread_local int t_uncounted = 0;

void Count() {
    if (t_uncounted == 0) g_count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

uint64_t Allocations() { return g_count.load(std::memory_order_relaxed); }
UncountedScope::UncountedScope() { ++t_uncounted; }
UncountedScope::~UncountedScope() { --t_uncounted; }

}  // namespace mira::bench

extern "C" {

void* malloc(size_t size) {
    mira::bench::Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    mira::bench::Count();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    mira::bench::Count();
    return __libc_realloc(block, size);
}

}  // extern "C"
