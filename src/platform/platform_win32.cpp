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

// A reference of our own to this module; null when the system gives none.
HMODULE referenceThisModule() {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&threadTrampoline), &module)) return nullptr;
    return module;
}

// Runs body(argument) on a new thread that gives `module` back as it exits;
// false (and `module` still ours) when the thread could not be started.
bool startThreadReleasing(HMODULE module, void (*body)(void*), void* argument) {
    auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) return false;
    *start = ThreadStart{body, argument, module};
    // The process's default stack: the host's callback runs on the watch
    // thread, with whatever the host calls from there.
    HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (thread == nullptr) {
        HeapFree(GetProcessHeap(), 0, start);
        return false;
    }
    // Nobody waits for or ends the thread from outside; its handle is not needed.
    CloseHandle(thread);
    return true;
}

}  // namespace

PlatformFile* openFileForReading(const char* path, bool* missing) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return asFile(file);
}

PlatformFile* createNewFile(const char* path, bool* taken) {
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    // A folder of that name answers "access denied", not "exists": ask what is there.
    *taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
             (error != ERROR_SUCCESS && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES);
    return asFile(file);
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

bool flushFile(PlatformFile* file) { return FlushFileBuffers(asHandle(file)) != FALSE; }

bool closeFile(PlatformFile* file) { return CloseHandle(asHandle(file)) != FALSE; }

bool moveFileIntoPlace(const char* from, const char* to, bool replace) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExA(from, to, flags) != FALSE;
}

bool removeFile(const char* path) { return DeleteFileA(path) != FALSE; }

void showErrorBox(const char16_t* caption, const char16_t* text) {
    // Task-modal is the choice for a library without a window of its own;
    // in front, so it does not hide behind the host's windows at its start.
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text), reinterpret_cast<const wchar_t*>(caption),
                MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

bool launchProgram(const char* target, const char* parameters) {
    // Above 32 is success; the result is an HINSTANCE only for old programs' sake.
    const HINSTANCE result = ShellExecuteA(nullptr, "open", target, parameters, "", SW_SHOWNORMAL);
    return reinterpret_cast<uintptr_t>(result) > 32;
}

uint32_t systemWindowsDirectory(char* out, uint32_t capacity) {
    // The shared one: a host that is not Terminal Services aware gets a private
    // Windows folder per user from GetWindowsDirectory, without the system's programs.
    const UINT size = GetSystemWindowsDirectoryA(out, capacity);
    return size < capacity ? size : 0;
}

uint8_t* ansiSpellingOfUtf8(const uint8_t* utf8, uint32_t utf8Size, uint32_t* size) {
    if (utf8Size > 0x3FFFFFFF) return nullptr;
    // No more UTF-16 units than bytes, and no more than two bytes a unit in any ANSI code page.
    auto* wide = static_cast<wchar_t*>(allocateMemory(utf8Size * sizeof(wchar_t)));
    auto* ansi = static_cast<char*>(allocateMemory(utf8Size * 2));
    int bytes = 0;
    if (wide != nullptr && ansi != nullptr) {
        const int units =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(utf8),
                                static_cast<int>(utf8Size), wide, static_cast<int>(utf8Size));
        // No best-fit look-alikes: a letter the code page lacks leaves no second
        // spelling. Where the code page is UTF-8 itself, the spelling is the same
        // and the call refuses these flags.
        BOOL lacking = FALSE;
        bytes = units > 0 ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, ansi,
                                                static_cast<int>(utf8Size * 2), nullptr, &lacking)
                          : 0;
        if (lacking) bytes = 0;
    }
    freeMemory(wide);
    if (bytes <= 0) {
        freeMemory(ansi);
        return nullptr;
    }
    *size = static_cast<uint32_t>(bytes);
    return reinterpret_cast<uint8_t*>(ansi);
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
    // The reference is taken before the thread exists, so an unload that
    // follows at once cannot pull the code from under it.
    HMODULE module = referenceThisModule();
    if (module == nullptr) return false;
    if (startThreadReleasing(module, body, argument)) return true;
    FreeLibrary(module);
    return false;
}

void pauseThread(uint32_t milliseconds) { Sleep(milliseconds); }

static_assert(sizeof(SRWLOCK) <= sizeof(PlatformLock), "an SRW lock fits");

// SRW locks need no set-up and no clean-up: zero is SRWLOCK_INIT.
void takeLock(PlatformLock* lock) { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(lock->storage)); }

void releaseLock(PlatformLock* lock) { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(lock->storage)); }

// The module, and the thread that took the hold: the hold goes back only once
// that thread's code is out of the module, down to the last instruction of its return.
struct ModuleHold {
    HMODULE module;
    HANDLE holder;
};

ModuleHold* holdModule() {
    auto* hold = static_cast<ModuleHold*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ModuleHold)));
    if (hold == nullptr) return nullptr;
    hold->module = referenceThisModule();
    // The pseudo handles of this process and this thread, as real handles need no import.
    const HANDLE process = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
    const HANDLE thread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
    if (hold->module == nullptr || !DuplicateHandle(process, thread, process, &hold->holder,
                                                    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0)) {
        // The host still holds the module while its call is under way: this cannot unmap it.
        if (hold->module != nullptr) FreeLibrary(hold->module);
        HeapFree(GetProcessHeap(), 0, hold);
        return nullptr;
    }
    return hold;
}

namespace {

bool isInsideModule(HMODULE module, DWORD address) {
    const auto base = reinterpret_cast<uintptr_t>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return address >= base && address - base < nt->OptionalHeader.SizeOfImage;
}

// Waits until `thread` runs no instruction of `module`: the few it runs after
// the last counter of ours fell to zero (the returns back to the host) included.
void waitUntilOutOfModule(HANDLE thread, HMODULE module) {
    for (;;) {
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) return;  // gone
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        const BOOL seen = GetThreadContext(thread, &context);
        ResumeThread(thread);
        if (!seen || !isInsideModule(module, context.Eip)) return;
        Sleep(1);
    }
}

struct HoldRelease {
    ModuleHold* hold;
    void (*waitFirst)(void*);
    void* argument;
};

void waitThenLeave(void* parameter) {
    HoldRelease release = *static_cast<HoldRelease*>(parameter);
    HeapFree(GetProcessHeap(), 0, parameter);
    release.waitFirst(release.argument);
    waitUntilOutOfModule(release.hold->holder, release.hold->module);
    CloseHandle(release.hold->holder);
    HeapFree(GetProcessHeap(), 0, release.hold);
}

}  // namespace

void releaseHoldFromThread(ModuleHold* hold, void (*waitFirst)(void*), void* argument) {
    if (hold == nullptr) return;
    auto* release = static_cast<HoldRelease*>(HeapAlloc(GetProcessHeap(), 0, sizeof(HoldRelease)));
    if (release == nullptr) return;  // the hold stays for good, as the contract says
    *release = HoldRelease{hold, waitFirst, argument};
    if (!startThreadReleasing(hold->module, waitThenLeave, release)) HeapFree(GetProcessHeap(), 0, release);
}

AnyFunction functionAtAddress(uint32_t address) {
    return reinterpret_cast<AnyFunction>(static_cast<uintptr_t>(address));
}
