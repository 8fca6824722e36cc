#include "dll_test.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace winhost {
namespace {

std::atomic<int> decoyCount{0};

const uint8_t* __stdcall countDecoyCall(const uint8_t*) {
    ++decoyCount;
    return nullptr;
}

// The frame callGuarded handed over, and the unreadable page behind it.
const uint8_t* volatile guardedFrame = nullptr;
volatile size_t guardedSize = 0;
const uint8_t* volatile guardPage = nullptr;
volatile size_t guardPageSize = 0;

const char* currentTestName() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? test->name() : "(no test)";
}

// A read into the guard page is a read past the frame: say so and end the
// program at once (left alone, Wine would wait in its debugger).
LONG CALLBACK reportReadPastFrame(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const uint8_t* at = reinterpret_cast<const uint8_t*>(record->ExceptionInformation[1]);
    if (guardPage == nullptr || at < guardPage || at >= guardPage + guardPageSize)
        return EXCEPTION_CONTINUE_SEARCH;
    char line[120];
    snprintf(line, sizeof line, "pluginFun read offset %u of a %u-byte frame, past its end",
             static_cast<unsigned>(at - guardedFrame), static_cast<unsigned>(guardedSize));
    endProcessWithFault(line);
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI runStart(LPVOID parameter) {
    BackgroundStart* start = static_cast<BackgroundStart*>(parameter);
    start->answer = callAndCopy(start->frame);
    InterlockedExchange(&start->returned, 1);
    return 0;
}

// As the box shows them, in Unicode: the same under every code page.
const char ERROR_CAPTION[] = "Ошибка";
const char ERROR_TEXT[] = "Ошибка при создании файла.";
// Generous: Wine starts its desktop with a process's first window, and under
// emulation or on a loaded machine that takes long. A box that comes ends the wait.
constexpr DWORD BOX_WAIT_MS = 120000;

}  // namespace

const std::string& dllPath() {
    // By its bare name: LoadLibrary and GetFileVersionInfo look beside this
    // program first, where the build tree and the kit alike keep it, and an
    // 8-bit full path would lose letters the code page lacks.
    static const std::string path = "Dormex.dll";
    return path;
}

PluginFun pluginFun() {
    static const PluginFun entry = [] {
        exitOnAnyFault(currentTestName);
        closeUnexpectedBoxes([](const std::string& line) { ADD_FAILURE() << line; });
        AddVectoredExceptionHandler(1, reportReadPastFrame);
        return loadPlugin(dllPath().c_str()).pluginFun;
    }();
    return entry;
}

uint32_t decoyAddress() { return reinterpret_cast<uint32_t>(&countDecoyCall); }

int decoyCalls() { return decoyCount; }

void clearRecord() {
    resetRecorder();
    decoyCount = 0;
}

const uint8_t* callGuarded(const frames::Bytes& bytes) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t dataPages = (bytes.size() + page - 1) / page + 1;
    uint8_t* base = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (base == nullptr) return nullptr;
    DWORD old;
    VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &old);
    uint8_t* copy = base + dataPages * page - bytes.size();
    if (!bytes.empty()) memcpy(copy, bytes.data(), bytes.size());
    guardedFrame = copy;
    guardedSize = bytes.size();
    guardPage = base + dataPages * page;
    guardPageSize = page;
    const uint8_t* answer = pluginFun()(copy);
    guardPage = nullptr;
    VirtualFree(base, 0, MEM_RELEASE);
    return answer;
}

frames::Bytes callAndCopy(const frames::Bytes& bytes) {
    const uint8_t* answer = callGuarded(bytes);
    if (answer == nullptr) return {};
    const int32_t length = announcedLength(answer);
    return frames::Bytes(answer, answer + 4 + (length > 0 && length < 4096 ? length : 0));
}

ImportHooks::~ImportHooks() {
    const HMODULE module = GetModuleHandleA(dllPath().c_str());
    for (auto hook = hooks_.rbegin(); hook != hooks_.rend(); ++hook)
        replaceImport(module, hook->dll, hook->function, hook->original);
}

void* ImportHooks::replaceAny(const char* dll, const char* function, void* replacement) {
    void* original = replaceImport(GetModuleHandleA(dllPath().c_str()), dll, function, replacement);
    if (original != nullptr) hooks_.push_back(Hook{dll, function, original});
    return original;
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return names;
}

namespace {

// A window search: of `process`, visible, titled `title` when one is given.
struct WindowSearch {
    DWORD process;
    const char* title;
    HWND found;
    std::string seen;  // "title" (class), ... of every visible window of the process
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process || !IsWindowVisible(window)) return TRUE;
    const std::string title = windowText(window);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    search->seen += std::string(search->seen.empty() ? "" : ", ") + "\"" + title + "\" (" + className + ")";
    if (search->found == nullptr && (search->title == nullptr || title == search->title))
        search->found = window;
    return TRUE;
}

WindowSearch searchWindows(DWORD process, const char* title) {
    WindowSearch search = {process, title, nullptr, std::string()};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
    return search;
}

ULONGLONG asNumber(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// What the system starts for a program is not the test's: Wine's desktop
// (explorer.exe, started with a process's first window), a console host, an
// error report.
bool systemHelper(const char* name) {
    return lstrcmpiA(name, "explorer.exe") == 0 || lstrcmpiA(name, "conhost.exe") == 0 ||
           lstrcmpiA(name, "WerFault.exe") == 0;
}

}  // namespace

HWND waitForOwnWindowTitled(const char* title, DWORD timeoutMs) {
    HWND found = nullptr;
    waitUntil([&] { return (found = searchWindows(GetCurrentProcessId(), title).found) != nullptr; },
              timeoutMs);
    return found;
}

std::string windowsOf(DWORD process) {
    const std::string seen = searchWindows(process, nullptr).seen;
    return seen.empty() ? "no window at all" : "its windows: " + seen;
}

StartedPrograms::StartedPrograms() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    mark_ = asNumber(now);
}

StartedPrograms::~StartedPrograms() {
    look();
    for (const Program& program : programs_) {
        const HWND window = searchWindows(program.id, nullptr).found;
        if (window != nullptr) PostMessageA(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(program.process, window != nullptr ? 3000 : 0) != WAIT_OBJECT_0)
            TerminateProcess(program.process, 0);
        CloseHandle(program.process);
    }
}

// Breadth first from this process: a child started after the mark, then its
// own. A handle to each keeps its id from going to another process.
void StartedPrograms::look() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    std::vector<PROCESSENTRY32> all;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.push_back(entry);
    CloseHandle(snapshot);
    std::vector<DWORD> parents(1, GetCurrentProcessId());
    for (const Program& program : programs_) parents.push_back(program.id);
    for (size_t next = 0; next < parents.size(); ++next) {
        for (const PROCESSENTRY32& candidate : all) {
            if (candidate.th32ParentProcessID != parents[next] || systemHelper(candidate.szExeFile)) continue;
            const DWORD id = candidate.th32ProcessID;
            if (std::find(parents.begin(), parents.end(), id) != parents.end()) continue;
            HANDLE process =
                OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
            FILETIME created, exited, kernel, user;
            if (process == nullptr) continue;
            if (!GetProcessTimes(process, &created, &exited, &kernel, &user) || asNumber(created) < mark_) {
                CloseHandle(process);
                continue;
            }
            programs_.push_back(Program{id, process, candidate.szExeFile, false});
            parents.push_back(id);
        }
    }
    for (Program& program : programs_) {
        if (searchWindows(program.id, nullptr).found != nullptr) program.showedWindow = true;
    }
}

HWND StartedPrograms::waitForWindow(DWORD timeoutMs) {
    HWND found = nullptr;
    waitUntil(
        [&] {
            look();
            for (const Program& program : programs_) {
                if ((found = searchWindows(program.id, nullptr).found) != nullptr) return true;
            }
            return false;
        },
        timeoutMs);
    return found;
}

size_t StartedPrograms::count() {
    look();
    return programs_.size();
}

bool StartedPrograms::handedOver() {
    look();
    for (const Program& program : programs_) {
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeProcess(program.process, &exitCode);
        if (exitCode != 0 || program.showedWindow) return false;
    }
    return !programs_.empty();
}

std::string StartedPrograms::describe() {
    look();
    std::string text;
    for (const Program& program : programs_) {
        DWORD exitCode = 0;
        GetExitCodeProcess(program.process, &exitCode);
        text +=
            (text.empty() ? "" : "; ") + program.name +
            (exitCode == STILL_ACTIVE ? " still runs" : " ended with exit code " + std::to_string(exitCode)) +
            (program.showedWindow ? ", showed a window" : ", never showed a window");
    }
    return text.empty() ? "no program started" : text;
}

void beginStart(BackgroundStart* start) {
    start->returned = 0;
    start->thread = CreateThread(nullptr, 0, runStart, start, 0, nullptr);
}

bool finishStart(BackgroundStart* start, DWORD timeoutMs) {
    if (start->thread == nullptr) return false;
    const bool ended = WaitForSingleObject(start->thread, timeoutMs) == WAIT_OBJECT_0;
    // A start stuck in a box nobody closes must not outlive the test.
    if (!ended) TerminateThread(start->thread, 1);
    CloseHandle(start->thread);
    start->thread = nullptr;
    return ended;
}

void expectStartHeldByErrorBox(const std::string& settingsDir) {
    BackgroundStart start;
    start.frame = frames::startEvent(recorderAddress(), settingsDir);
    expectBox(true);
    beginStart(&start);
    HWND box = waitForOwnWindowTitled(ERROR_CAPTION, BOX_WAIT_MS);
    EXPECT_NE(box, nullptr) << "no error box appeared; this process shows "
                            << windowsOf(GetCurrentProcessId());
    if (box != nullptr) {
        EXPECT_EQ(staticTextOf(box), ERROR_TEXT);
        EXPECT_EQ(start.returned, 0) << "the start returned while its box was still open";
        const HWND cancel = GetDlgItem(box, IDCANCEL);
        EXPECT_TRUE(cancel == nullptr || !IsWindowVisible(cancel)) << "the error box has a Cancel button";
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    const bool returned = finishStart(&start, BOX_WAIT_MS);
    expectBox(false);
    ASSERT_TRUE(returned) << "the start did not return after the box closed";
    EXPECT_EQ(start.answer, frames::expectedStartAnswer());
}

void DllTest::SetUp() {
    ASSERT_NE(pluginFun(), nullptr) << "could not load pluginFun from " << dllPath();
    clearRecord();
    dir_ = newDirectory();
}

void DllTest::TearDown() {
    if (started_ && pluginFun() != nullptr) callGuarded(frames::stopEvent());
    for (const std::string& dir : dirs_) removeScratchDir(dir);
}

std::string DllTest::newDirectory() {
    dirs_.push_back(makeScratchDir("wine"));
    return dirs_.back();
}

frames::Bytes DllTest::start(const std::string& settingsDir, uint32_t callback) {
    started_ = true;
    return callAndCopy(frames::startEvent(callback, settingsDir));
}

frames::Bytes DllTest::startWithFile(const std::string& content) {
    writeWholeFile(settingsFile(), content);
    return start(dir_);
}

}  // namespace winhost
