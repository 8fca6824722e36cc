// A count of every heap allocation the process makes, through malloc, calloc,
// realloc or operator new, so that a benchmark can report allocations per call.
#pragma once

#include <cstdint>

uint64_t heapAllocations();
