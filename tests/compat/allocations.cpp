// Replaces the global allocation functions; kept apart so that no caller sees them inline.
#include "allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> counted{0};
} // namespace

void countAllocations(bool on) {
    counting.store(on, std::memory_order_relaxed);
}

long countedAllocations() {
    return counted.load(std::memory_order_relaxed);
}

void *operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed))
        counted.fetch_add(1, std::memory_order_relaxed);
    if (void *memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void *memory) noexcept {
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept {
    std::free(memory);
}
