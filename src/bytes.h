// Bytes that point into someone else's buffer: the one type every folder shares.
#pragma once

#include <cstdint>

// Valid as long as the buffer it points into is.
struct ByteView {
    const uint8_t* data;
    uint32_t size;
};
