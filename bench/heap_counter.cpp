// Replaces the C allocator's entry points and the global operator new/delete
// with thin wrappers around glibc's own allocator that count each allocation.
#include "heap_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<uint64_t> allocations{0};

void* countedAllocation(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size != 0 ? size : 1);
}

void* countedNew(size_t size) {
    void* block = countedAllocation(size);
    if (block == nullptr) abort();  // out of memory in a benchmark: nothing left to measure
    return block;
}

}  // namespace

uint64_t heapAllocations() { return allocations.load(std::memory_order_relaxed); }

extern "C" void* malloc(size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

extern "C" void free(void* block) noexcept { __libc_free(block); }

void* operator new(size_t size) { return countedNew(size); }
void* operator new[](size_t size) { return countedNew(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return countedAllocation(size); }
void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, size_t) noexcept { __libc_free(block); }
