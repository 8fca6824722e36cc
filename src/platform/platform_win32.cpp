// The operating system seam on Windows.
#include <windows.h>

// After windows.h, which they need.
#include <objbase.h>
#include <shellapi.h>

#include "platform/callconv.h"
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
DORMEX_NO_BUFFER HMODULE referenceThisModule() {
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

// Why a call on `path` was refused with the system's `error`. "Access
// denied" means a program holding the file (the target of a rename is open,
// or the file is pending deletion) as well as rights that will not change: the
// file, asked for delete access alone with every sharing, tells which.
FileRefusal refusalOf(DWORD error, const char* path) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return REFUSED_MISSING;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return REFUSED_EXISTS;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_DELETE_PENDING)
        return REFUSED_BUSY;
    if (error != ERROR_ACCESS_DENIED) return REFUSED_FOR_GOOD;
    // A file pending deletion can't even be asked for its attributes; one gone
    // since tells what it is at the next try.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return REFUSED_BUSY;
    if ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) return REFUSED_FOR_GOOD;
    const HANDLE probe = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return REFUSED_BUSY;  // whoever held it has let go: try again
    }
    // Held by another program (a sharing violation), or closed to us by its rights.
    return GetLastError() == ERROR_ACCESS_DENIED ? REFUSED_FOR_GOOD : REFUSED_BUSY;
}

}  // namespace

PlatformFile* openFileForReading(const char* path, FileRefusal* refusal, bool besideWriters) {
    const DWORD sharing =
        besideWriters ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) *refusal = refusalOf(GetLastError(), path);
    return asFile(file);
}

PlatformFile* createNewFile(const char* path, FileRefusal* refusal) {
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // A folder of that name answers "access denied", not "exists": ask what is there.
        *refusal = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? REFUSED_EXISTS : REFUSED_FOR_GOOD;
    }
    return asFile(file);
}

DORMEX_NO_BUFFER bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got) {
    DWORD read = 0;
    const BOOL ok = ReadFile(asHandle(file), buffer, capacity, &read, nullptr);
    *got = ok ? read : 0;
    return ok != FALSE;
}

DORMEX_NO_BUFFER bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size) {
    DWORD written = 0;
    return WriteFile(asHandle(file), bytes, size, &written, nullptr) && written == size;
}

bool flushFile(PlatformFile* file) { return FlushFileBuffers(asHandle(file)) != FALSE; }

bool closeFile(PlatformFile* file) { return CloseHandle(asHandle(file)) != FALSE; }

bool moveFileIntoPlace(const char* from, const char* to, bool replace, FileRefusal* refusal) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExA(from, to, flags)) return true;
    *refusal = refusalOf(GetLastError(), replace ? to : from);
    return false;
}

bool removeFile(const char* path, FileRefusal* refusal) {
    if (DeleteFileA(path)) return true;
    *refusal = refusalOf(GetLastError(), path);
    return false;
}

bool isReadOnlyFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void showErrorBox(const char16_t* caption, const char16_t* text) {
    // Task-modal is the choice for a library without a window of its own;
    // in front, so it does not hide behind the host's windows at its start.
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text), reinterpret_cast<const wchar_t*>(caption),
                MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

bool launchProgram(const char* target, const char* parameters) {
    // The shell may hand the work to extensions that need COM on this thread.
    // What we start we end; an apartment the host set up is left as it is.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // Above 32 is success; the result is an HINSTANCE only for old programs' sake.
    const HINSTANCE result = ShellExecuteA(nullptr, "open", target, parameters, "", SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    return reinterpret_cast<uintptr_t>(result) > 32;
}

uint32_t systemWindowsDirectory(char* out, uint32_t capacity) {
    // The shared one: a host that is not Terminal Services aware gets a private
    // Windows folder per user from GetWindowsDirectory, without the system's programs.
    const UINT size = GetSystemWindowsDirectoryA(out, capacity);
    return size < capacity ? size : 0;
}

DORMEX_NO_BUFFER uint8_t* ansiSpellingOfUtf8(const uint8_t* utf8, uint32_t utf8Size, uint32_t* size) {
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

DORMEX_NO_BUFFER LocalClock readLocalClock() {
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

DORMEX_NO_BUFFER bool startDetachedThread(void (*body)(void*), void* argument) {
    // The reference is taken before the thread exists, so an unload that
    // follows at once cannot pull the code from under it.
    HMODULE module = referenceThisModule();
    if (module == nullptr) return false;
    if (startThreadReleasing(module, body, argument)) return true;
    FreeLibrary(module);
    return false;
}

void pauseThread(uint32_t milliseconds) { Sleep(milliseconds); }

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock), "a critical section fits");

namespace {

CRITICAL_SECTION* criticalSectionOf(PlatformLock* lock) {
    return reinterpret_cast<CRITICAL_SECTION*>(lock->storage);
}

}  // namespace

// A critical section, as Windows XP has no lighter lock. The spin count
// keeps a short wait on another core out of the kernel; on XP the call can
// fail where memory is short, and says so instead of raising.
bool prepareLock(PlatformLock* lock) {
    return InitializeCriticalSectionAndSpinCount(criticalSectionOf(lock), 1000) != FALSE;
}

void disposeLock(PlatformLock* lock) { DeleteCriticalSection(criticalSectionOf(lock)); }

void takeLock(PlatformLock* lock) { EnterCriticalSection(criticalSectionOf(lock)); }

void releaseLock(PlatformLock* lock) { LeaveCriticalSection(criticalSectionOf(lock)); }

DORMEX_NO_BUFFER bool pinModule() {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    return GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&pinModule), &module) != FALSE;
}

AnyFunction functionAtAddress(uint32_t address) {
    return reinterpret_cast<AnyFunction>(static_cast<uintptr_t>(address));
}
