// The watch thread of the real Dormex.dll under Wine, with the real clock:
// this program loads the library and plays its host.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "win_host.h"

namespace winhost {

// Names the request kinds in failure messages.
void PrintTo(FrameKind kind, std::ostream* out) {
    static const char* const names[] = {"query", "connect", "disconnect", "torn"};
    *out << (kind >= 0 && kind < FRAME_KINDS ? names[kind] : "?");
}

}  // namespace winhost

namespace winehost = winhost;

namespace {

using winehost::answerQueriesWith;
using winehost::FrameKind;
using winehost::HourMinute;
// One call of the host callback, as the recorder saw it.
using Call = winehost::SentFrame;

constexpr char DLL_NAME[] = "Dormex.dll";

const bool faultsEndTheProgram = [] {
    winehost::exitOnAnyFault();
    winehost::closeUnexpectedBoxes([](const std::string& line) { ADD_FAILURE() << line; });
    return true;
}();

std::vector<Call> recordedCalls() { return winehost::recordedFrames(); }

size_t callCount() { return recordedCalls().size(); }

// Upper bound for anything the plug-in does at once: generous, because Wine may
// run under emulation; a wait that is met returns at once.
constexpr DWORD PROMPTLY_MS = 30000;

DWORD WINAPI waitFor(LPVOID event) { return WaitForSingleObject(event, INFINITE); }

bool waitForCalls(size_t count, DWORD limitMs) {
    return winehost::waitUntil([count] { return callCount() >= count; }, limitMs);
}

std::vector<FrameKind> kindsOf(const std::vector<Call>& calls) {
    std::vector<FrameKind> kinds;
    for (const Call& call : calls) kinds.push_back(call.kind);
    return kinds;
}

const FrameKind Q = winehost::FRAME_QUERY;
const FrameKind C = winehost::FRAME_CONNECT;
const FrameKind D = winehost::FRAME_DISCONNECT;

class WatchThread : public ::testing::Test {
   protected:
    void SetUp() override {
        resetHost();
        loadFresh();
        dir = winehost::makeScratchDir("threads");
        ASSERT_FALSE(dir.empty());
    }

    // Every test leaves the library unloaded, so the next one starts from a fresh module.
    void TearDown() override {
        winehost::releaseHeldCall();
        if (plugin.module != nullptr) stopAndUnload();
        // The module is unmapped a moment before its last thread is gone: let
        // that thread go, so the next test counts from a settled process.
        watchThreadsSettleAt(0);
        winehost::removeScratchDir(dir);
    }

    void resetHost() { winehost::resetRecorder(); }

    void loadFresh() {
        ASSERT_FALSE(winehost::moduleMapped(DLL_NAME)) << "Dormex.dll left mapped by an earlier test";
        plugin = winehost::loadPlugin(DLL_NAME);
        ASSERT_NE(plugin.pluginFun, nullptr) << "Dormex.dll or its pluginFun not found";
        image = winehost::imageOf(plugin.module);
    }

    // Threads that began in Dormex.dll's code: the watch threads. Counting
    // them alone, not the process's, leaves out the threads Windows starts
    // and ends on its own (thread pool workers, the loader's).
    int watchThreads() { return winehost::countThreadsStartedIn(image); }

    bool watchThreadsSettleAt(int count) {
        return winehost::waitUntil([this, count] { return watchThreads() == count; }, PROMPTLY_MS);
    }

    void stopAndUnload() {
        send(frames::stopEvent());
        unloadAndExpectUnmapped();
    }

    const uint8_t* send(const frames::Bytes& event) { return plugin.pluginFun(event.data()); }

    void writeSchedule(HourMinute off, HourMinute on) { ASSERT_TRUE(winehost::writeSchedule(dir, off, on)); }

    // Sends the start event and checks its answer.
    void start() {
        const uint8_t* answer = send(winehost::startEventFor(winehost::recordingCallback, dir));
        EXPECT_TRUE(winehost::isStartAnswer(answer));
    }

    // Sends the stop event; returns how long the call took.
    double stopMs() {
        const double before = winehost::preciseMs();
        send(frames::stopEvent());
        return winehost::preciseMs() - before;
    }

    void unloadAndExpectUnmapped() {
        FreeLibrary(plugin.module);
        plugin.module = nullptr;
        EXPECT_TRUE(winehost::waitUntil([] { return !winehost::moduleMapped(DLL_NAME); }, PROMPTLY_MS))
            << "Dormex.dll still mapped 5 s after its last unload";
    }

    winehost::ImageRange image{};  // of the library as last loaded
    winehost::LoadedPlugin plugin{};
    std::string dir;
};

TEST_F(WatchThread, FirstPassAtOnceInOrderForEachHostState) {
    struct Case {
        int32_t state;
        std::vector<FrameKind> pass;
    };
    const Case cases[] = {
        {1, {Q, Q, C}},     // already off-line: only the connect is needed
        {2, {Q, D, Q}},     // on-line: only the disconnect
        {0, {Q, D, Q, C}},  // neither: both commands
        {-7, {Q, D, Q, C}},
    };
    Call deepest{};
    for (const Case& c : cases) {
        // Per case: under emulation the four cases together may outlast a minute.
        const HourMinute now = winehost::presentMinuteWithRoom();
        writeSchedule(now, now);
        if (plugin.module == nullptr) loadFresh();
        resetHost();
        answerQueriesWith(c.state);
        const ULONGLONG started = GetTickCount64();
        start();
        EXPECT_TRUE(waitForCalls(c.pass.size(), PROMPTLY_MS)) << "state " << c.state;
        Sleep(200);  // room for a stray extra request to show
        stopAndUnload();
        const std::vector<Call> calls = recordedCalls();
        EXPECT_EQ(kindsOf(calls), c.pass) << "state " << c.state;
        if (!calls.empty()) {
            EXPECT_LT(calls[0].tick - started, 5000u) << "state " << c.state;
        }
        for (const Call& call : calls) {
            EXPECT_NE(call.threadId, GetCurrentThreadId());
            if (call.stackDepth > deepest.stackDepth) deepest = call;
        }
    }
    printf("watch thread at the host callback: %u bytes of stack in use, %u KB reserved\n",
           static_cast<unsigned>(deepest.stackDepth), static_cast<unsigned>(deepest.stackReserve / 1024));
}

// The clock the plug-in reads is UTC shifted by the machine's zone, whatever
// it is. Off UTC by a fraction of an hour (the Linux harness runs at +5:45, its
// kit proof at -3:30), a plug-in that read the UTC clock would miss every
// scheduled minute of the tests here.
TEST(LocalClock, IsUtcShiftedByTheMachinesZone) {
    const long bias = winehost::zoneBiasNow();
    SYSTEMTIME local, utc;
    do {
        GetSystemTime(&utc);
        GetLocalTime(&local);
    } while (local.wSecond != utc.wSecond);  // read again across a change of second
    const int localMinute = local.wHour * 60 + local.wMinute;
    const int shifted = ((utc.wHour * 60 + utc.wMinute - bias) % 1440 + 1440) % 1440;
    EXPECT_EQ(localMinute, shifted) << "local " << local.wHour << ":" << local.wMinute << ", UTC "
                                    << utc.wHour << ":" << utc.wMinute << ", zone's bias " << bias
                                    << " minutes";
    if (bias % 60 == 0)
        GTEST_SKIP() << "needs a zone off UTC by a fraction of an hour; this one is " << -bias / 60 << " h";
}

// Disconnect due now and connect due the minute after: every pass in the next
// two minutes sends something, so silence after the stop means the stop worked.
TEST_F(WatchThread, SecondPassTenSecondsLaterAndNothingAfterStop) {
    answerQueriesWith(0);
    const HourMinute now = winehost::presentMinute();
    writeSchedule(now, winehost::minuteAfter(now));
    start();
    ASSERT_TRUE(waitForCalls(2, PROMPTLY_MS));
    ASSERT_TRUE(waitForCalls(4, 20000)) << "no second pass";
    const std::vector<Call> calls = recordedCalls();
    const ULONGLONG gap = calls[2].tick - calls[0].tick;
    EXPECT_GE(gap, 9000u);
    EXPECT_LE(gap, 12000u);
    EXPECT_NE(calls[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(calls[2].threadId, calls[0].threadId);

    EXPECT_LT(stopMs(), 1000.0);
    const size_t afterStop = callCount();
    Sleep(11000);
    EXPECT_EQ(callCount(), afterStop) << "a request followed the stop";
}

TEST_F(WatchThread, StopReturnsWhileHostCallbackBlocksAndNothingFollows) {
    const HourMinute now = winehost::presentMinuteWithRoom();
    writeSchedule(now, now);
    winehost::holdNextCall();
    start();
    ASSERT_TRUE(winehost::waitForHeldCall(PROMPTLY_MS)) << "the first query never came";

    EXPECT_LT(stopMs(), 1000.0);
    winehost::releaseHeldCall();
    // The thread can only be gone once it has left the callback and chosen to send nothing more.
    unloadAndExpectUnmapped();
    EXPECT_EQ(kindsOf(recordedCalls()), std::vector<FrameKind>{Q});
}

TEST_F(WatchThread, HundredStartStopCyclesLeaveNoThread) {
    answerQueriesWith(0);
    const HourMinute now = winehost::presentMinute();
    writeSchedule(now, winehost::minuteAfter(now));
    const long handles = winehost::countOpenHandles();
    // A thread of someone else's that comes meanwhile and outlives the check,
    // as Windows' own do: it must not count.
    const HANDLE bystanderEnds = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, waitFor, bystanderEnds, 0, nullptr));
    for (int cycle = 0; cycle < 100; ++cycle) {
        start();
        send(frames::stopEvent());
    }
    EXPECT_TRUE(watchThreadsSettleAt(0)) << watchThreads() << " watch threads left";
    SetEvent(bystanderEnds);
    CloseHandle(bystanderEnds);
    // A handle left open per cycle shows as 100; a few may come from objects the system opens lazily.
    EXPECT_LE(winehost::countOpenHandles(), handles + 8) << "open handles before: " << handles;
}

// Stop and unload at once, before the new thread has run: the thread must
// already hold its own reference to the module, or its code is unmapped under it.
// Each unload releases what the module holds, so the heap does not grow.
TEST_F(WatchThread, UnloadRightAfterStartAndStopUnmapsTheModuleAndFreesItsHeap) {
    const HourMinute now = winehost::presentMinute();
    writeSchedule(now, winehost::minuteAfter(now));
    winehost::keepOnlyCounts();  // the recorder itself must not grow the heap
    // The module is unmapped a moment before its last thread is gone.
    const auto settled = [this] { return watchThreadsSettleAt(0); };
    long long heapAfterFirst = 0;
    for (int round = 0; round < 200; ++round) {
        if (plugin.module == nullptr) loadFresh();
        start();
        send(frames::stopEvent());
        unloadAndExpectUnmapped();
        if (round == 0 && settled()) heapAfterFirst = winehost::processHeapInUse();
    }
    EXPECT_TRUE(settled()) << watchThreads() << " watch threads left";
    // Less than the 11-byte trigger text per cycle.
    EXPECT_LT(winehost::processHeapInUse() - heapAfterFirst, 199 * 11)
        << "heap in use after the first cycle: " << heapAfterFirst;
}

TEST_F(WatchThread, SecondStartWithoutStopLeavesOnePoller) {
    answerQueriesWith(0);
    const HourMinute now = winehost::presentMinute();
    writeSchedule(now, winehost::minuteAfter(now));
    start();
    start();
    const ULONGLONG secondStart = GetTickCount64();
    EXPECT_TRUE(watchThreadsSettleAt(1)) << watchThreads() << " watch threads";

    // The first passes of both threads come at once; the next pass is the second thread's alone.
    // Half way to the next pass; on a slow machine that moment may be gone already.
    const ULONGLONG halfWay = secondStart + 5000;
    const ULONGLONG rightNow = GetTickCount64();
    if (rightNow < halfWay) Sleep(static_cast<DWORD>(halfWay - rightNow));
    const size_t early = callCount();
    ASSERT_TRUE(waitForCalls(early + 2, 15000)) << "no pass 10 s after the second start";
    Sleep(500);
    const std::vector<Call> calls = recordedCalls();
    ASSERT_EQ(calls.size(), early + 2) << "more than one thread polled";
    EXPECT_EQ(calls[early].threadId, calls[early + 1].threadId);
    EXPECT_GE(calls[early].tick - secondStart, 9000u);
}

// Host threads race starts, stops and text events for some hundreds of
// rounds: a start that lost its watch thread would leave it running after the
// last stop, calling the host and keeping the module mapped.
struct Racer {
    winehost::PluginFun pluginFun;
    const frames::Bytes* events;  // start, stop, text
    int offset;
};

DWORD WINAPI race(LPVOID parameter) {
    const Racer& racer = *static_cast<const Racer*>(parameter);
    for (int round = 0; round < 100; ++round)
        racer.pluginFun(racer.events[(round + racer.offset) % 3].data());
    return 0;
}

TEST_F(WatchThread, HostThreadsRacingLeaveNoWatchThreadAfterTheLastStop) {
    writeSchedule(HourMinute{0, 0}, HourMinute{0, 0});
    const frames::Bytes events[] = {winehost::startEventFor(winehost::recordingCallback, dir),
                                    frames::stopEvent(), frames::textEvent("/disconnect")};
    Racer racers[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        racers[i] = Racer{plugin.pluginFun, events, i};
        threads[i] = CreateThread(nullptr, 0, race, &racers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 120000), WAIT_OBJECT_0) << "a host thread hangs";
    for (HANDLE thread : threads) CloseHandle(thread);
    send(frames::stopEvent());
    EXPECT_TRUE(watchThreadsSettleAt(0)) << watchThreads() << " watch threads left";
    resetHost();
    send(frames::textEvent("/disconnect"));
    EXPECT_EQ(callCount(), 0u) << "a text after the stop reached the host";
}

// A host that unloads without a stop: the thread keeps the library mapped and
// the process runs on. Loading the library again reaches the same module,
// whose stop then ends that thread and lets the module go.
TEST_F(WatchThread, UnloadWithoutStopKeepsModuleUntilStopped) {
    const HourMinute now = winehost::presentMinute();
    writeSchedule(now, winehost::minuteAfter(now));
    start();
    ASSERT_TRUE(waitForCalls(1, PROMPTLY_MS));
    FreeLibrary(plugin.module);
    plugin.module = nullptr;
    Sleep(3000);
    EXPECT_TRUE(winehost::moduleMapped(DLL_NAME));
    EXPECT_EQ(watchThreads(), 1);

    plugin = winehost::loadPlugin(DLL_NAME);
    ASSERT_NE(plugin.pluginFun, nullptr);
    EXPECT_LT(stopMs(), 1000.0);
    unloadAndExpectUnmapped();
}

// The error box runs a message loop on the host's thread, and with it the
// host's window procedures: here one that, while the box is up, stops the
// plug-in and unloads it, or starts it again. The box pins the module, so the
// start returns through code that is still mapped, and a new load gets the
// same module. A pinned module stays until its process ends, so this runs in
// a process of its own: this program started again with --box-visit.
enum BoxVisit { ONLY_CLOSE, STOP_AND_UNLOAD, START_AGAIN };

struct Visit {
    BoxVisit what;
    winehost::LoadedPlugin* plugin;
    frames::Bytes nestedStart;
    bool nestedAnswered;
};
Visit visit;

BOOL CALLBACK closeOwnBox(HWND window, LPARAM) {
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") == 0) PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

LRESULT CALLBACK hostWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_TIMER) return DefWindowProcA(window, message, wParam, lParam);
    KillTimer(window, 1);
    if (visit.what == STOP_AND_UNLOAD) {
        visit.plugin->pluginFun(frames::stopEvent().data());
        FreeLibrary(visit.plugin->module);
        visit.plugin->module = nullptr;
    } else if (visit.what == START_AGAIN) {
        visit.nestedAnswered = winehost::isStartAnswer(visit.plugin->pluginFun(visit.nestedStart.data()));
    }
    EnumThreadWindows(GetCurrentThreadId(), closeOwnBox, 0);
    return 0;
}

// Shows the error box with `what` happening inside it; the start's answer,
// read as the host reads it, at once.
bool startIntoBox(HWND window, BoxVisit what, winehost::LoadedPlugin* plugin, const std::string& missing,
                  const std::string& other) {
    visit = Visit{what, plugin, winehost::startEventFor(winehost::recordingCallback, other), false};
    SetTimer(window, 1, 200, nullptr);
    winehost::expectBox(true);
    const uint8_t* answer =
        plugin->pluginFun(winehost::startEventFor(winehost::recordingCallback, missing).data());
    winehost::expectBox(false);
    return winehost::isStartAnswer(answer);
}

// The child's whole run; each failure is a line on standard error and a
// non-zero exit code.
int visitTheBox() {
    int failures = 0;
    const auto check = [&failures](bool holds, const char* what) {
        if (!holds) fprintf(stderr, "box visit: %s\n", what);
        failures += holds ? 0 : 1;
    };
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = hostWindow;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "DormexTestHost";
    RegisterClassA(&windowClass);
    const HWND window = CreateWindowA("DormexTestHost", "host", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    const std::string dir = winehost::makeScratchDir("box"), other = winehost::makeScratchDir("box");
    check(window != nullptr && !dir.empty() && !other.empty(), "no window or no scratch folder");
    winehost::writeSchedule(dir, HourMinute{0, 0}, HourMinute{0, 0});  // valid, due at no minute near now
    winehost::writeSchedule(other, HourMinute{0, 0}, HourMinute{0, 0});
    // Wine starts threads of its own when the process first shows a box: count from after one.
    visit = Visit{ONLY_CLOSE, nullptr, {}, false};
    SetTimer(window, 1, 200, nullptr);
    winehost::expectBox(true);
    MessageBoxA(nullptr, "warm-up", "warm-up", MB_OK);
    winehost::expectBox(false);

    winehost::LoadedPlugin plugin = winehost::loadPlugin(DLL_NAME);
    const HMODULE first = plugin.module;
    const winehost::ImageRange image = winehost::imageOf(first);
    check(plugin.pluginFun != nullptr, "Dormex.dll or its pluginFun not found");
    // Unloaded from inside the box: the start still returns, and its answer is there.
    check(startIntoBox(window, STOP_AND_UNLOAD, &plugin, dir + "missing\\", other),
          "no answer after an unload");
    check(winehost::moduleMapped(DLL_NAME), "unloaded inside the box, the module was unmapped");
    // A new load is the same module; its start and stop work as ever.
    plugin = winehost::loadPlugin(DLL_NAME);
    check(plugin.module == first, "a new load after the box is another module");
    check(winehost::isStartAnswer(
              plugin.pluginFun(winehost::startEventFor(winehost::recordingCallback, dir).data())),
          "no answer from the module loaded again");
    // Started again from inside the box: that start's watch thread is the only one.
    check(startIntoBox(window, START_AGAIN, &plugin, dir + "missing\\", other),
          "no answer after a nested start");
    check(visit.nestedAnswered, "the nested start was not answered");
    check(winehost::waitUntil([&] { return winehost::countThreadsStartedIn(image) == 1; }, PROMPTLY_MS),
          "not exactly one watch thread after a start inside the box");
    plugin.pluginFun(frames::stopEvent().data());
    FreeLibrary(plugin.module);
    check(winehost::waitUntil([&] { return winehost::countThreadsStartedIn(image) == 0; }, PROMPTLY_MS),
          "a watch thread outlived the stop");
    DestroyWindow(window);
    winehost::removeScratchDir(dir);
    winehost::removeScratchDir(other);
    return failures == 0 ? 0 : 1;
}

const bool boxVisitChild = [] {
    if (wcsstr(GetCommandLineW(), L" --box-visit") != nullptr) ExitProcess(static_cast<UINT>(visitTheBox()));
    return false;
}();

TEST(ErrorBox, HostBackInsideTheBoxStopsUnloadsAndStartsAgain) {
    const HANDLE process = winehost::startThisProgram(L"--box-visit");
    ASSERT_NE(process, nullptr);
    const bool ended = WaitForSingleObject(process, 180000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process, 4);
    DWORD code = 4;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    EXPECT_TRUE(ended) << "the box visit hangs";
    // 3: a fault in the child (code of the module run after it was unmapped).
    EXPECT_EQ(code, 0u) << "the box visit failed (3: a fault, see its line above)";
}

}  // namespace
