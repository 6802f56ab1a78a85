// Counts heap allocations of the whole process (malloc, calloc, realloc and
// every operator new, which reach malloc), so a bench can show how many a
// transaction makes. A thread can leave its own allocations out.
#pragma once

#include <cstdint>

namespace mira::bench {

uint64_t Allocations();

// While alive, allocations of this thread are not counted.
class UncountedScope {
public:
    UncountedScope();
    ~UncountedScope();
    UncountedScope(const UncountedScope&) = delete;
    UncountedScope& operator=(const UncountedScope&) = delete;
};

}  // namespace mira::bench
