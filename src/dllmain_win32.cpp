// Windows' load and unload notifications for Dormex.dll.
#include <windows.h>

#include "Dormex.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // A false answer fails the load: the host gets no plug-in rather than one without locks.
    if (reason == DLL_PROCESS_ATTACH) return prepareModuleState();
    // At process exit the memory goes anyway, and another thread ended
    // meanwhile may have held a lock: give back only on a real unload.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) unloadModuleState();
    return TRUE;
}
