// The few C library functions the plug-in and the compiler call, for a DLL
// linked without any C runtime. Built without link-time optimisation and
// without loop-to-call rewriting, so none of them turns into a call to itself.
#include <cstddef>
#include <cstdint>

extern "C" {

void* memcpy(void* to, const void* from, size_t size) {
    void* edi = to;
    const void* esi = from;
    asm volatile("rep movsb" : "+D"(edi), "+S"(esi), "+c"(size) : : "memory");
    return to;
}

void* memmove(void* to, const void* from, size_t size) {
    auto* out = static_cast<uint8_t*>(to);
    const auto* in = static_cast<const uint8_t*>(from);
    if (out <= in || out >= in + size) return memcpy(to, from, size);
    // Overlapping with the target above the source: copy from the end.
    while (size != 0) {
        --size;
        out[size] = in[size];
    }
    return to;
}

void* memset(void* to, int value, size_t size) {
    void* edi = to;
    asm volatile("rep stosb" : "+D"(edi), "+c"(size) : "a"(value) : "memory");
    return to;
}

int memcmp(const void* left, const void* right, size_t size) {
    const auto* a = static_cast<const uint8_t*>(left);
    const auto* b = static_cast<const uint8_t*>(right);
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

void* memchr(const void* bytes, int value, size_t size) {
    const auto* at = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (at[i] == static_cast<uint8_t>(value)) return const_cast<uint8_t*>(at + i);
    }
    return nullptr;
}

size_t strlen(const char* text) {
    size_t size = 0;
    while (text[size] != '\0') ++size;
    return size;
}

}  // extern "C"
