// The DLL's own entry point. Nothing in the plug-in needs the C runtime's
// start-up (no static constructors, no atexit, no runtime state), so Windows
// calls straight into DllMain and no runtime code enters the host's process.
#include <windows.h>

#include "platform/stack_guard_win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Linked as the image's entry point (_DllMainCRTStartup@12). Its frame carries
// no cookie: the guard changes under it at process attach.
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason,
                                                                             LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) seedStackGuard();
    return DllMain(instance, reason, reserved);
}
