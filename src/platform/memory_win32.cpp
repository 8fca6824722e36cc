// Heap memory on Windows: the process heap, so no C runtime heap is needed.
#include <windows.h>

#include "platform/platform.h"

void* allocateMemory(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void* resizeMemory(void* memory, size_t size) {
    // HeapReAlloc refuses a null block; a new one is what the caller means.
    if (memory == nullptr) return allocateMemory(size);
    return HeapReAlloc(GetProcessHeap(), 0, memory, size);
}

void freeMemory(void* memory) {
    if (memory != nullptr) HeapFree(GetProcessHeap(), 0, memory);
}
