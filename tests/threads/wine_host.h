// What a program needs to act as Dormex.dll's host under Wine: loading the
// library, a settings directory of its own, the clock, frame checks, and the
// process's thread and handle counts. Shared by the thread tests and the
// endurance run.
#pragma once

#include <windows.h>
// Needs the types of windows.h.
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/frames.h"

namespace winehost {

typedef const uint8_t*(__stdcall* PluginFun)(const uint8_t* data);
typedef const uint8_t*(__stdcall* HostCallback)(const uint8_t* framed);

constexpr char DLL_NAME[] = "Dormex.dll";

struct LoadedPlugin {
    HMODULE module;
    PluginFun pluginFun;
};

// Loads Dormex.dll from beside this program; both fields null on failure.
inline LoadedPlugin loadPlugin() {
    HMODULE module = LoadLibraryA(DLL_NAME);
    if (module == nullptr) return LoadedPlugin{nullptr, nullptr};
    // Through void(*)(), the one pointer type every function pointer converts to cleanly.
    const auto entry = reinterpret_cast<void (*)()>(GetProcAddress(module, "pluginFun"));
    return LoadedPlugin{module, reinterpret_cast<PluginFun>(entry)};
}

// A fault on any thread ends the process at once with exit code 3 and a line
// saying where, instead of leaving it to the system's debugger, which may hang.
inline LONG WINAPI exitOnFault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD* record = fault->ExceptionRecord;
    fprintf(stderr, "fault %08lx at %p on thread %lu\n", record->ExceptionCode, record->ExceptionAddress,
            GetCurrentThreadId());
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

inline void exitOnAnyFault() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(exitOnFault);
}

inline bool moduleMapped() { return GetModuleHandleA(DLL_NAME) != nullptr; }

// Calls `holds` every 10 ms until it returns true or `limitMs` pass.
template <class Condition>
bool waitUntil(Condition holds, DWORD limitMs) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        if (holds()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

// Threads of this process as a Toolhelp snapshot sees them; -1 when it fails.
inline int countProcessThreads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// Open handles of this process as the system counts them; -1 when it does not
// say. Wine answers 0, so countOpenHandles() is the figure to check there.
inline long countProcessHandles() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
}

// Open handles of this process, found by asking after every handle value up
// to 65536; the system hands out the lowest free values first.
inline long countOpenHandles() {
    long count = 0;
    for (uintptr_t value = 4; value < 65536; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Milliseconds from a monotonic counter, finer than the tick count.
inline double preciseMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct HourMinute {
    int hour;
    int minute;
};

inline HourMinute presentMinute() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return HourMinute{now.wHour, now.wMinute};
}

// The present minute, after waiting for the next one when fewer than ten
// seconds of this one are left, so the passes a test looks at fall inside it.
inline HourMinute presentMinuteWithRoom() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (now.wSecond >= 50) Sleep((60 - now.wSecond) * 1000 - now.wMilliseconds + 50);
    return presentMinute();
}

inline HourMinute minuteAfter(HourMinute time) {
    if (time.minute < 59) return HourMinute{time.hour, time.minute + 1};
    return HourMinute{(time.hour + 1) % 24, 0};
}

// A new directory under the Wine temp dir, ending in a backslash; empty on failure.
inline std::string makeFreshDir(const char* tag) {
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) == 0) return std::string();
    // Wine reuses process ids, so a name may be left over from an earlier run.
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%sdormex-%s-%lu-%u", temp, tag, GetCurrentProcessId(), attempt);
        if (CreateDirectoryA(name, nullptr)) return std::string(name) + "\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::string();
}

// Removes a directory made by makeFreshDir and the settings file in it.
inline void removeFreshDir(const std::string& dir) {
    if (dir.empty()) return;
    DeleteFileA((dir + "dormex.ini").c_str());
    RemoveDirectoryA(dir.c_str());
}

// Writes dormex.ini into `dir`: disconnect at `off`, connect at `on`, the default trigger text.
inline bool writeSettings(const std::string& dir, HourMinute off, HourMinute on) {
    char text[256];
    const int size = snprintf(text, sizeof text,
                              "h_disconnect=%d\r\nm_disconnect=%d\r\nh_online=%d\r\nm_online=%d\r\n"
                              "DisconnectStr=/disconnect\r\n",
                              off.hour, off.minute, on.hour, on.minute);
    const std::string path = dir + "dormex.ini";
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
    return CloseHandle(file) && ok && written == static_cast<DWORD>(size);
}

// The start event that hands the plug-in `callback` and `dir`.
inline frames::Bytes startEventFor(HostCallback callback, const std::string& dir) {
    return frames::startEvent(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(callback)), dir);
}

inline bool isStartAnswer(const uint8_t* answer) {
    const frames::Bytes& expected = frames::expectedStartAnswer();
    return answer != nullptr && memcmp(answer, expected.data(), expected.size()) == 0;
}

enum FrameKind { FRAME_QUERY, FRAME_CONNECT, FRAME_DISCONNECT, FRAME_TORN, FRAME_KINDS };

// Which of the three requests `framed` is; anything else, null or a wrong
// length included, is torn. Reads no byte past the length it announces.
inline FrameKind classifyFrame(const uint8_t* framed) {
    if (framed == nullptr || memcmp(framed, "\x02\x00\x00\x00", 4) != 0) return FRAME_TORN;
    if (memcmp(framed, frames::queryFrame().data(), 6) == 0) return FRAME_QUERY;
    if (memcmp(framed, frames::connectFrame().data(), 6) == 0) return FRAME_CONNECT;
    if (memcmp(framed, frames::disconnectFrame().data(), 6) == 0) return FRAME_DISCONNECT;
    return FRAME_TORN;
}

}  // namespace winehost
