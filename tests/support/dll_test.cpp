#include "dll_test.h"

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
constexpr DWORD BOX_WAIT_MS = 15000;

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

namespace {

struct TitleSearch {
    const char* title;
    bool partly;
    HWND found;
};

BOOL CALLBACK matchTitle(HWND window, LPARAM parameter) {
    TitleSearch* search = reinterpret_cast<TitleSearch*>(parameter);
    const std::string title = windowText(window);
    const bool match =
        search->partly ? title.find(search->title) != std::string::npos : title == search->title;
    if (!match) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND waitForWindowTitled(const char* title, bool partly, DWORD timeoutMs) {
    const DWORD begun = GetTickCount();
    do {
        TitleSearch search = {title, partly, nullptr};
        EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(50);
    } while (GetTickCount() - begun < timeoutMs);
    return nullptr;
}

void closeProgramWindow(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (processId == GetCurrentProcessId()) return;  // never end the test program itself
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return;
    if (WaitForSingleObject(process, 3000) != WAIT_OBJECT_0) TerminateProcess(process, 0);
    CloseHandle(process);
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
    HWND box = waitForWindowTitled(ERROR_CAPTION, false, BOX_WAIT_MS);
    EXPECT_NE(box, nullptr) << "no error box appeared";
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
