// What a test program needs to act as Dormex.dll's host under Wine: loading
// the library, a fault filter, scratch directories and files, a recording
// callback that answers queries with a chosen state, bounded waits, the clock,
// and the process's thread and handle counts. Shared by the Wine tests, the
// thread tests and the endurance run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"

namespace winhost {

typedef const uint8_t*(__stdcall* PluginFun)(const uint8_t* data);
typedef const uint8_t*(__stdcall* HostCallback)(const uint8_t* framed);

// --- The library -------------------------------------------------------------

struct LoadedPlugin {
    HMODULE module;
    PluginFun pluginFun;
};

// Loads the library at `path` (a bare name is looked for beside this program
// first); both fields null on failure.
LoadedPlugin loadPlugin(const char* path);
// True while a module named `name` is mapped into this process.
bool moduleMapped(const char* name);

// A fault on any thread ends the process at once with exit code 3 and a line
// saying where, instead of leaving it to the system's debugger, which may hang.
// `context`, when given, names what was running (a test's name) in that line.
void exitOnAnyFault(const char* (*context)() = nullptr);
// Prints `line` after the context and ends the process with exit code 3.
void endProcessWithFault(const char* line);

// Points `module`'s import of `function` from `dll` at `replacement` and
// returns the address it held; null when the module imports no such function.
// A test sees there what the library asks of Windows, where Wine would hide it.
void* replaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

// --- Windows -----------------------------------------------------------------

// Watches this process's windows from a thread of its own: a dialog box that
// appears while no test expects one is closed at once and `report` gets a
// line naming it; without a `report` the line ends the process (exit code 3).
// So an unexpected box fails the test instead of holding its program for ever.
void closeUnexpectedBoxes(void (*report)(const std::string& line) = nullptr);
// Whether a box is expected from now on (the error box a test waits for).
void expectBox(bool expected);
// A window's title in UTF-8, as Windows holds it (in Unicode), whatever the code page.
std::string windowText(HWND window);
// The text of the first Static child with text (a message box's message), in UTF-8.
std::string staticTextOf(HWND window);

// --- Files -------------------------------------------------------------------

// A new empty directory under the Wine temp directory, ending in a backslash;
// empty on failure.
std::string makeScratchDir(const char* tag);
// Deletes the settings files the plug-in may leave, then the directory.
void removeScratchDir(const std::string& dir);
// Starts this program again with `arguments`, sharing its console output, as
// a process of its own; its handle, or null when it could not be started.
HANDLE startThisProgram(const std::wstring& arguments);
bool fileExists(const std::string& path);
// The file's bytes; "<missing>" when it cannot be read.
std::string readWholeFile(const std::string& path);
bool writeWholeFile(const std::string& path, const std::string& bytes);

// --- The recording callback --------------------------------------------------

// The payload length a frame announces in its first four bytes.
int32_t announcedLength(const uint8_t* frame);

enum FrameKind { FRAME_QUERY, FRAME_CONNECT, FRAME_DISCONNECT, FRAME_TORN, FRAME_KINDS };

// Which of the three requests `framed` is; anything else, null or a wrong
// length included, is torn. Reads no byte past the length it announces.
FrameKind classifyFrame(const uint8_t* framed);

struct SentFrame {
    FrameKind kind;
    DWORD threadId;
    ULONGLONG tick;
    frames::Bytes bytes;     // as announced by its length, at most 4 + 64 bytes kept
    uintptr_t stackDepth;    // bytes of the calling thread's stack in use at the callback
    uintptr_t stackReserve;  // bytes reserved for that stack (Wine: at least 1 MB, whatever was asked)
};

// The callback to hand over in a start event, and its address.
const uint8_t* __stdcall recordingCallback(const uint8_t* framed);
uint32_t recorderAddress();
// Forgets every frame and count, answers queries with state 2 (on-line), keeps
// frames, holds no call, and counts the calling thread as the host's.
void resetRecorder();
// The state every later query is answered with.
void answerQueriesWith(int32_t state);
// Only counts frames from now on (for runs too long to keep them all).
void keepOnlyCounts();
std::vector<SentFrame> recordedFrames();
// The bytes of the frames that came from `thread`, in order.
std::vector<frames::Bytes> framesSentOn(DWORD thread);
// Frames of `kind` from the host's thread, or from any other thread.
long long countOnHostThread(FrameKind kind);
long countOnOtherThreads(FrameKind kind);
// The next call waits inside the callback until releaseHeldCall() (15 s at most).
void holdNextCall();
// True once the held call has entered the callback, within `limitMs`.
bool waitForHeldCall(DWORD limitMs);
void releaseHeldCall();

// The start event that hands the plug-in `callback` and `dir`.
frames::Bytes startEventFor(HostCallback callback, const std::string& dir);
bool isStartAnswer(const uint8_t* answer);

// --- Time and the process ----------------------------------------------------

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

// Milliseconds from a monotonic counter, finer than the tick count.
double preciseMs();

struct HourMinute {
    int hour;
    int minute;
};

// Minutes to add to local time for UTC, as the machine's zone has it now
// (daylight saving time included): -330 at UTC+5:30.
long zoneBiasNow();

HourMinute presentMinute();
// The present minute, after waiting for the next one when fewer than ten
// seconds of this one are left, so the passes a test looks at fall inside it.
HourMinute presentMinuteWithRoom();
HourMinute minuteAfter(HourMinute time);
// Writes dormex.ini into `dir`: disconnect at `off`, connect at `on`, the default trigger text.
bool writeSchedule(const std::string& dir, HourMinute off, HourMinute on);

// Threads of this process as a Toolhelp snapshot sees them; -1 when it fails.
int countProcessThreads();
// Where a loaded module's image lies.
struct ImageRange {
    uintptr_t begin;
    uintptr_t end;
};
ImageRange imageOf(HMODULE module);
// Threads of this process that began in code within `image`: the threads a
// module started, uncounted whatever threads the system adds or ends.
int countThreadsStartedIn(ImageRange image);
// Open handles of this process, found by asking after every handle value up
// to 65536; the system hands out the lowest free values first.
long countOpenHandles();
// Bytes in blocks in use on the process heap, the one the library allocates from.
long long processHeapInUse();

}  // namespace winhost
