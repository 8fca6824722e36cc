#include "win_host.h"

// Needs the types of windows.h.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace winhost {
namespace {

const char* (*faultContext)() = nullptr;

LONG WINAPI reportFault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD* record = fault->ExceptionRecord;
    char line[160];
    snprintf(line, sizeof line, "fault %08lx at %p on thread %lu", record->ExceptionCode,
             record->ExceptionAddress, GetCurrentThreadId());
    endProcessWithFault(line);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The recorder's state. Never freed: a test that unloads without a stop leaves
// a thread that may call in while the process exits.
struct Recorder {
    std::mutex lock;
    std::vector<SentFrame> frames;
    bool keepFrames = true;
    DWORD hostThread = 0;
    long long hostCounts[FRAME_KINDS] = {};
    volatile LONG otherCounts[FRAME_KINDS] = {};
    frames::StateReply stateReply = {};
    volatile LONG holdNext = 0;
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

Recorder& recorder() {
    static Recorder* const made = new Recorder();
    return *made;
}

constexpr int32_t MAX_KEPT_PAYLOAD = 64;

// Where the calling thread's stack stands at `local`: depth and reservation.
void measureStack(const volatile void* local, SentFrame* sent) {
    const auto* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
    const auto base = reinterpret_cast<uintptr_t>(tib->StackBase);
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(const_cast<const void*>(local), &region, sizeof region);
    sent->stackDepth = base - reinterpret_cast<uintptr_t>(local);
    sent->stackReserve = base - reinterpret_cast<uintptr_t>(region.AllocationBase);
}

SentFrame describe(const uint8_t* framed) {
    SentFrame sent{classifyFrame(framed), GetCurrentThreadId(), GetTickCount64(), {}, 0, 0};
    measureStack(&sent, &sent);
    if (framed != nullptr) {
        const int32_t length = announcedLength(framed);
        const int32_t kept = length < 0 ? 0 : (length > MAX_KEPT_PAYLOAD ? MAX_KEPT_PAYLOAD : length);
        sent.bytes.assign(framed, framed + 4 + kept);
    }
    return sent;
}

BOOL CALLBACK matchStaticText(HWND window, LPARAM parameter) {
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    const std::string text = windowText(window);
    if (lstrcmpiA(className, "Static") != 0 || text.empty()) return TRUE;
    *reinterpret_cast<std::string*>(parameter) = text;
    return FALSE;
}

volatile LONG boxExpected = 0;
void (*boxReport)(const std::string& line) = nullptr;

// Stops at the first visible dialog box of this process.
BOOL CALLBACK matchOwnBox(HWND window, LPARAM parameter) {
    DWORD process = 0;
    char className[16] = "";
    GetWindowThreadProcessId(window, &process);
    GetClassNameA(window, className, sizeof className);
    if (process != GetCurrentProcessId() || strcmp(className, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    *reinterpret_cast<HWND*>(parameter) = window;
    return FALSE;
}

DWORD WINAPI watchForBoxes(LPVOID) {
    for (;; Sleep(50)) {
        if (InterlockedCompareExchange(&boxExpected, 0, 0) != 0) continue;
        HWND box = nullptr;
        EnumWindows(matchOwnBox, reinterpret_cast<LPARAM>(&box));
        if (box == nullptr || InterlockedCompareExchange(&boxExpected, 0, 0) != 0) continue;
        const std::string line = "unexpected box \"" + windowText(box) + "\": \"" + staticTextOf(box) + "\"";
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        if (boxReport == nullptr) endProcessWithFault(line.c_str());
        boxReport(line);
        // The box needs a moment to go; do not report it twice.
        waitUntil([box] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
    }
}

}  // namespace

void closeUnexpectedBoxes(void (*report)(const std::string& line)) {
    boxReport = report;
    CloseHandle(CreateThread(nullptr, 0, watchForBoxes, nullptr, 0, nullptr));
}

void expectBox(bool expected) { InterlockedExchange(&boxExpected, expected ? 1 : 0); }

std::string windowText(HWND window) {
    wchar_t wide[512] = L"";
    char utf8[1536] = "";
    GetWindowTextW(window, wide, 512);
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

std::string staticTextOf(HWND window) {
    std::string text;
    EnumChildWindows(window, matchStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

int32_t announcedLength(const uint8_t* frame) {
    int32_t length;
    memcpy(&length, frame, 4);
    return length;
}

LoadedPlugin loadPlugin(const char* path) {
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) return LoadedPlugin{nullptr, nullptr};
    // Through void(*)(), the one pointer type every function pointer converts to cleanly.
    const auto entry = reinterpret_cast<void (*)()>(GetProcAddress(module, "pluginFun"));
    return LoadedPlugin{module, reinterpret_cast<PluginFun>(entry)};
}

bool moduleMapped(const char* name) { return GetModuleHandleA(name) != nullptr; }

void* replaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); entry->Name != 0;
         ++entry) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* named = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(named->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* before = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<uintptr_t>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return before;
        }
    }
    return nullptr;
}

void exitOnAnyFault(const char* (*context)()) {
    faultContext = context;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(reportFault);
}

void endProcessWithFault(const char* line) {
    fflush(stdout);  // where both go to one file, what came before stays before
    if (faultContext != nullptr) {
        fprintf(stderr, "\n%s: %s\n", faultContext(), line);
    } else {
        fprintf(stderr, "\n%s\n", line);
    }
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
}

std::string makeScratchDir(const char* tag) {
    char temp[MAX_PATH];
    if (GetTempPathA(sizeof temp, temp) == 0) return std::string();
    // Wine reuses process ids, so a name may be left over from an earlier run.
    static unsigned attempt = 0;
    for (unsigned tries = 0; tries < 1000; ++tries, ++attempt) {
        char name[MAX_PATH + 64];
        snprintf(name, sizeof name, "%sdormex-%s-%lu-%u", temp, tag, GetCurrentProcessId(), attempt);
        if (CreateDirectoryA(name, nullptr)) return std::string(name) + "\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::string();
}

HANDLE startThisProgram(const std::wstring& arguments) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return nullptr;
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return nullptr;
    CloseHandle(child.hThread);
    return child.hProcess;
}

void removeScratchDir(const std::string& dir) {
    if (dir.empty()) return;
    DeleteFileA((dir + "dormex.ini").c_str());
    DeleteFileA((dir + "dormex.ini.bak").c_str());
    RemoveDirectoryA(dir.c_str());
}

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string readWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool writeWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return CloseHandle(file) && ok && written == bytes.size();
}

FrameKind classifyFrame(const uint8_t* framed) {
    if (framed == nullptr || memcmp(framed, "\x02\x00\x00\x00", 4) != 0) return FRAME_TORN;
    if (memcmp(framed, frames::queryFrame().data(), 6) == 0) return FRAME_QUERY;
    if (memcmp(framed, frames::connectFrame().data(), 6) == 0) return FRAME_CONNECT;
    if (memcmp(framed, frames::disconnectFrame().data(), 6) == 0) return FRAME_DISCONNECT;
    return FRAME_TORN;
}

const uint8_t* __stdcall recordingCallback(const uint8_t* framed) {
    Recorder& r = recorder();
    const FrameKind kind = classifyFrame(framed);
    if (GetCurrentThreadId() == r.hostThread) {
        ++r.hostCounts[kind];  // only the host's thread writes these
    } else {
        InterlockedIncrement(&r.otherCounts[kind]);
    }
    if (r.keepFrames) {
        const SentFrame sent = describe(framed);
        std::lock_guard<std::mutex> hold(r.lock);
        r.frames.push_back(sent);
    }
    if (InterlockedExchange(&r.holdNext, 0) != 0) {
        SetEvent(r.entered);
        WaitForSingleObject(r.release, 15000);
    }
    return kind == FRAME_QUERY ? r.stateReply : nullptr;
}

uint32_t recorderAddress() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&recordingCallback)); }

void resetRecorder() {
    Recorder& r = recorder();
    {
        std::lock_guard<std::mutex> hold(r.lock);
        r.frames.clear();
    }
    r.keepFrames = true;
    r.hostThread = GetCurrentThreadId();
    for (int kind = 0; kind < FRAME_KINDS; ++kind) {
        r.hostCounts[kind] = 0;
        InterlockedExchange(&r.otherCounts[kind], 0);
    }
    r.holdNext = 0;
    ResetEvent(r.entered);
    ResetEvent(r.release);
    answerQueriesWith(2);
}

void answerQueriesWith(int32_t state) { frames::putStateReply(recorder().stateReply, state); }

void keepOnlyCounts() { recorder().keepFrames = false; }

std::vector<SentFrame> recordedFrames() {
    std::lock_guard<std::mutex> hold(recorder().lock);
    return recorder().frames;
}

std::vector<frames::Bytes> framesSentOn(DWORD thread) {
    std::vector<frames::Bytes> result;
    for (const SentFrame& sent : recordedFrames()) {
        if (sent.threadId == thread) result.push_back(sent.bytes);
    }
    return result;
}

long long countOnHostThread(FrameKind kind) { return recorder().hostCounts[kind]; }

long countOnOtherThreads(FrameKind kind) {
    return InterlockedCompareExchange(&recorder().otherCounts[kind], 0, 0);
}

void holdNextCall() { recorder().holdNext = 1; }

bool waitForHeldCall(DWORD limitMs) {
    return WaitForSingleObject(recorder().entered, limitMs) == WAIT_OBJECT_0;
}

void releaseHeldCall() { SetEvent(recorder().release); }

frames::Bytes startEventFor(HostCallback callback, const std::string& dir) {
    return frames::startEvent(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(callback)), dir);
}

bool isStartAnswer(const uint8_t* answer) {
    const frames::Bytes& expected = frames::expectedStartAnswer();
    return answer != nullptr && memcmp(answer, expected.data(), expected.size()) == 0;
}

double preciseMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

long zoneBiasNow() {
    TIME_ZONE_INFORMATION zone;
    const DWORD which = GetTimeZoneInformation(&zone);
    if (which == TIME_ZONE_ID_DAYLIGHT) return zone.Bias + zone.DaylightBias;
    return zone.Bias + (which == TIME_ZONE_ID_STANDARD ? zone.StandardBias : 0);
}

HourMinute presentMinute() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return HourMinute{now.wHour, now.wMinute};
}

HourMinute presentMinuteWithRoom() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (now.wSecond >= 50) Sleep((60 - now.wSecond) * 1000 - now.wMilliseconds + 50);
    return presentMinute();
}

HourMinute minuteAfter(HourMinute time) {
    if (time.minute < 59) return HourMinute{time.hour, time.minute + 1};
    return HourMinute{(time.hour + 1) % 24, 0};
}

bool writeSchedule(const std::string& dir, HourMinute off, HourMinute on) {
    char text[256];
    snprintf(
        text, sizeof text,
        "h_disconnect=%d\r\nm_disconnect=%d\r\nh_online=%d\r\nm_online=%d\r\nDisconnectStr=/disconnect\r\n",
        off.hour, off.minute, on.hour, on.minute);
    return writeWholeFile(dir + "dormex.ini", text);
}

int countProcessThreads() {
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

ImageRange imageOf(HMODULE module) {
    const auto base = reinterpret_cast<uintptr_t>(module);
    if (module == nullptr) return ImageRange{0, 0};
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(module)->e_lfanew);
    return ImageRange{base, base + headers->OptionalHeader.SizeOfImage};
}

int countThreadsStartedIn(ImageRange image) {
    typedef LONG(WINAPI * QueryThread)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto queryThread = reinterpret_cast<QueryThread>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    const int THREAD_QUERY_SET_WIN32_START_ADDRESS = 9;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE || queryThread == nullptr) return -1;
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != self) continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ThreadID);
        uintptr_t start = 0;
        if (thread == nullptr) continue;  // gone since the snapshot
        queryThread(thread, THREAD_QUERY_SET_WIN32_START_ADDRESS, &start, sizeof start, nullptr);
        const bool running = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
        CloseHandle(thread);
        if (running && start >= image.begin && start < image.end) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

long countOpenHandles() {
    long count = 0;
    for (uintptr_t value = 4; value < 65536; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

long long processHeapInUse() {
    HANDLE heap = GetProcessHeap();
    long long inUse = 0;
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) inUse += entry.cbData;
    }
    HeapUnlock(heap);
    return inUse;
}

}  // namespace winhost
