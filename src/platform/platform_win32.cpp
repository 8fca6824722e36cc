// The operating system seam on Windows.
#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/platform.h"

namespace {

HANDLE asHandle(PlatformFile* file) { return reinterpret_cast<HANDLE>(file); }

PlatformFile* asFile(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<PlatformFile*>(handle);
}

// Address space reserved for a detached thread's stack, committed only as it is
// used: the watch thread's own frames take well under 1 KB and the rest is
// for the host's callback, instead of the default 1 MB of a 32-bit host's 2 GB.
constexpr DWORD THREAD_STACK_RESERVE = 64 * 1024;

struct ThreadStart {
    void (*body)(void*);
    void* argument;
    HMODULE module;  // a reference of our own, given back as the thread exits
};

DWORD WINAPI threadTrampoline(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    HeapFree(GetProcessHeap(), 0, parameter);
    start.body(start.argument);
    // Our code must not run after the module is gone: unload only as we leave.
    FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

}  // namespace

PlatformFile* openFileForReading(const char* path, bool* missing) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return asFile(file);
}

PlatformFile* createFileForWriting(const char* path) {
    return asFile(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got) {
    DWORD read = 0;
    const BOOL ok = ReadFile(asHandle(file), buffer, capacity, &read, nullptr);
    *got = ok ? read : 0;
    return ok != FALSE;
}

bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size) {
    DWORD written = 0;
    return WriteFile(asHandle(file), bytes, size, &written, nullptr) && written == size;
}

bool closeFile(PlatformFile* file) { return CloseHandle(asHandle(file)) != FALSE; }

void showErrorBox(const char* caption, const char* text) {
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONERROR);
}

void launchProgram(const char* program, const char* parameters) {
    ShellExecuteA(nullptr, "open", program, parameters, "", SW_SHOWNORMAL);
}

LocalClock readLocalClock() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalClock{static_cast<uint8_t>(now.wHour), static_cast<uint8_t>(now.wMinute)};
}

PlatformSignal* createSignal() {
    return reinterpret_cast<PlatformSignal*>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void raiseSignal(PlatformSignal* signal) { SetEvent(reinterpret_cast<HANDLE>(signal)); }

bool waitForSignal(PlatformSignal* signal, uint32_t milliseconds) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(signal), milliseconds) == WAIT_OBJECT_0;
}

void destroySignal(PlatformSignal* signal) {
    if (signal != nullptr) CloseHandle(reinterpret_cast<HANDLE>(signal));
}

bool startDetachedThread(void (*body)(void*), void* argument) {
    auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) return false;
    *start = ThreadStart{body, argument, nullptr};
    // The reference is taken before the thread exists, so an unload that
    // follows at once cannot pull the code from under it.
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&threadTrampoline), &start->module)) {
        HeapFree(GetProcessHeap(), 0, start);
        return false;
    }
    HMODULE module = start->module;
    HANDLE thread = CreateThread(nullptr, THREAD_STACK_RESERVE, threadTrampoline, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        FreeLibrary(module);
        HeapFree(GetProcessHeap(), 0, start);
        return false;
    }
    // Nobody waits for or ends the thread from outside; its handle is not needed.
    CloseHandle(thread);
    return true;
}

AnyFunction functionAtAddress(uint32_t address) {
    return reinterpret_cast<AnyFunction>(static_cast<uintptr_t>(address));
}
