// The shared Windows folder, as every stand-in seam of the native builds
// answers it: the test stand-in and the fuzzers' deterministic seam alike.
#include <cstring>

#include "platform/fault_posix.h"
#include "platform/platform.h"

uint32_t systemWindowsDirectory(char* out, uint32_t capacity) {
    static const char windows[] = "C:\\WINDOWS";
    if (seamCallFails(SEAM_WINDOWS_DIR) || capacity < sizeof windows) return 0;
    memcpy(out, windows, sizeof windows);
    return sizeof windows - 1;
}
