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

// --- Windows ---------------------------------------------------------------

// Polls every 50 ms until a top-level window whose title is `title` (UTF-8; or,
// when `partly`, contains it) exists; null when none appears within `timeoutMs`.
HWND waitForWindowTitled(const char* title, bool partly, DWORD timeoutMs);
// Asks the window's process to close the window, and ends it if it lingers.
void closeProgramWindow(HWND window);

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
