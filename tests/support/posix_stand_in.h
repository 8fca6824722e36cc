// Controls of the POSIX stand-in, for native tests: a fake clock, short
// waits, callbacks that fit the host's 32-bit addresses, and a record of what
// would have been shown to the user.
#pragma once

#include <cstdint>
#include <string>

#include "platform/callconv.h"
#include "platform/fault_posix.h"
#include "platform/platform.h"

// Makes readLocalClock() return this time until useRealClock().
void setFakeClock(uint8_t hour, uint8_t minute);
void useRealClock();

// Caps every waitForSignal() at `milliseconds` (0: waits as asked).
void capWaits(uint32_t milliseconds);

// Gives `function` a 32-bit address that functionAtAddress() turns back into
// it. Addresses that were never handed out give null.
uint32_t addressOfFunction(AnyFunction function);

// The same for a host callback, as a start event carries it.
inline uint32_t addressOfCallback(const uint8_t*(DORMEX_STDCALL* callback)(const uint8_t*)) {
    return addressOfFunction(reinterpret_cast<AnyFunction>(callback));
}

struct DesktopRecord {
    int errorBoxes;
    std::string lastCaption;  // in UTF-8
    std::string lastText;
    int launches;
    std::string lastProgram;
    std::string lastParameters;
};

// What showErrorBox() and launchProgram() were asked to do so far.
DesktopRecord desktopRecord();
void clearDesktopRecord();

// Number of threads started with startDetachedThread() that are still running.
int runningThreads();
// From now on, keeps each new thread to be joined instead of detaching it
// (off: detached, as the plug-in's threads are).
void keepThreadsToJoin(bool keep);
// Waits until every thread kept since is gone, its resources given back.
void joinThreads();
// Times the module was pinned.
int modulePins();
// Runs `loop` inside every error box from now on, as the box's message loop
// runs the host's window procedures; null for none.
void setErrorBoxLoop(void (*loop)());

// From now on, lets the n-th call into the seam (counted over every kind)
// fail as the system would fail it; 0 lets none fail. An error box or launch
// that fails shows nothing and returns at once. With `busy` set, the n-th
// call, when it is an open, move or remove, instead finds its file held by
// another program, it and the next `busy` - 1 calls of its kind (of those
// three kinds, with `everyKind`).
void failNthSeamCall(uint32_t n, uint32_t busy = 0, bool everyKind = false);
// From now on, runs `action` just before the n-th call into the seam, which
// then goes as ever: another program at work at that moment.
void actAtNthSeamCall(uint32_t n, void (*action)());
// The milliseconds pauseThread() was asked for since the last call.
uint64_t takePausesAskedMs();
// Seam calls counted since failNthSeamCall() armed a fault.
uint32_t seamCallsMade();
// Caps every pauseThread() at `milliseconds` (20 unless set).
void capPauses(uint32_t milliseconds);
// The kind of the call made to fail since failNthSeamCall(), or
// SEAM_CALL_KINDS while none was.
SeamCall injectedFault();
