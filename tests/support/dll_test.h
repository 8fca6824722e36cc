// The fixture of the Wine tests of the built Dormex.dll: calls that fault on a
// read past the frame, the windows the plug-in opens, a start on a thread of
// its own, and a fresh settings directory per test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "win_host.h"

namespace winhost {

// The DLL's name, found beside this program, and its pluginFun (loaded on first use; null on failure).
const std::string& dllPath();
PluginFun pluginFun();

// Address of a decoy callback that only counts its calls (to show a callback
// was not replaced), and the count.
uint32_t decoyAddress();
int decoyCalls();
// Forgets every recorded frame and decoy call; queries are answered "on-line".
void clearRecord();

// Calls pluginFun on a copy of `bytes` placed so that its last byte is followed
// by an unreadable page: a read past the frame ends the test program.
const uint8_t* callGuarded(const frames::Bytes& bytes);
// Calls pluginFun with a frame and returns the answer copied by its own length
// (empty for a null answer), as a host copies it.
frames::Bytes callAndCopy(const frames::Bytes& bytes);

// Replaces imports of the loaded Dormex.dll for as long as it lives, to see
// or steer what the DLL asks of Windows; the originals go back at its end.
class ImportHooks {
   public:
    ~ImportHooks();
    // What `function` of `dll` was before; null when Dormex.dll does not import it.
    template <typename Function>
    Function replace(const char* dll, const char* function, Function replacement) {
        return reinterpret_cast<Function>(replaceAny(dll, function, reinterpret_cast<void*>(replacement)));
    }

   private:
    void* replaceAny(const char* dll, const char* function, void* replacement);
    struct Hook {
        const char* dll;
        const char* function;
        void* original;
    };
    std::vector<Hook> hooks_;
};

// The names in folder `dir` (ending in a separator), "." and ".." left out.
std::vector<std::string> namesIn(const std::string& dir);

// --- Windows ---------------------------------------------------------------

// Polls every 50 ms until a visible top-level window of this process titled
// `title` (UTF-8) exists; null when none appears within `timeoutMs`.
HWND waitForOwnWindowTitled(const char* title, DWORD timeoutMs);
// The visible top-level windows of `process`, titles and classes, or that it
// shows none: what a failure says when an awaited window did not come.
std::string windowsOf(DWORD process);

// The programs started from the moment this is made by this test program, or
// by one of those, found by their parent and their start (never by a title):
// only these are a test's to close, never a user's own editor.
class StartedPrograms {
   public:
    StartedPrograms();
    // Closes the windows of those still running, and ends any that lingers.
    ~StartedPrograms();
    // A visible top-level window of one of them, waited for up to `timeoutMs`;
    // null when none showed one.
    HWND waitForWindow(DWORD timeoutMs);
    // How many were found so far.
    size_t count();
    // True when some were started and each ended well without a window, as
    // a program does that hands its work to one already running.
    bool handedOver();
    // Each one's name, whether it runs or how it ended, and whether it ever showed a window.
    std::string describe();

   private:
    struct Program {
        DWORD id;
        HANDLE process;
        std::string name;
        bool showedWindow;
    };
    void look();
    ULONGLONG mark_;
    std::vector<Program> programs_;
};

// Runs a start event on a thread of its own, so the test thread can watch
// what happens while the call has not returned.
struct BackgroundStart {
    frames::Bytes frame;
    frames::Bytes answer;  // copied when the call returned
    volatile LONG returned;
    HANDLE thread;
};
void beginStart(BackgroundStart* start);
// Waits for the start to return; false when it did not within `timeoutMs`.
bool finishStart(BackgroundStart* start, DWORD timeoutMs);
// Starts the plug-in on `settingsDir` from another thread and expects the
// error box, as the plug-in shows it, to hold that start until the test
// closes the box.
void expectStartHeldByErrorBox(const std::string& settingsDir);

// Each test gets a fresh settings directory and a clean record; a test that
// started the plug-in is stopped at its end, so no watch thread outlives it.
class DllTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
    // Another fresh directory, removed at the end of the test.
    std::string newDirectory();
    // Starts the plug-in on `settingsDir` and returns its answer as copied.
    frames::Bytes start(const std::string& settingsDir, uint32_t callback = recorderAddress());
    // Writes `content` as the settings file of `dir_` and starts on it.
    frames::Bytes startWithFile(const std::string& content);
    // The frames the plug-in sent on the test's own thread (the watch thread
    // may add its own at a scheduled minute; those are not the test's).
    std::vector<frames::Bytes> sentHere() { return framesSentOn(GetCurrentThreadId()); }
    std::string settingsFile() const { return dir_ + "dormex.ini"; }

    std::string dir_;
    bool started_ = false;
    std::vector<std::string> dirs_;
};

}  // namespace winhost
