// Heap memory for the POSIX stand-in: the C library's allocator, so the
// sanitizers and the benchmark's allocation counter see every block.
#include <cstdlib>

#include "platform/fault_posix.h"
#include "platform/platform.h"

void* allocateMemory(size_t size) { return seamCallFails(SEAM_ALLOCATE) ? nullptr : malloc(size); }

void* resizeMemory(void* memory, size_t size) {
    return seamCallFails(SEAM_ALLOCATE) ? nullptr : realloc(memory, size);
}

void freeMemory(void* memory) { free(memory); }
