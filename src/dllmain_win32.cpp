// Windows' load and unload notifications for Dormex.dll.
#include <windows.h>

#include "Dormex.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // At process exit the memory goes anyway; free only on a real unload.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) releaseModuleState();
    return TRUE;
}
