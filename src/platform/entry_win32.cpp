// The DLL's own entry point. Nothing in the plug-in needs the C runtime's
// start-up (no static constructors, no atexit, no runtime state), so Windows
// calls straight into DllMain and no runtime code enters the host's process.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Linked as the image's entry point (_DllMainCRTStartup@12).
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return DllMain(instance, reason, reserved);
}
