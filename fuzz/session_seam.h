// The operating system seam for deterministic session fuzzing: no system
// call at all. A started thread becomes a fiber that runs only when the
// harness resumes it and yields back at every wait (and wherever the harness
// makes it yield); the clock is set by hand; files live in memory with the
// share rules the real seam promises; any seam call can be made to fail.
// The same calls in the same order always give the same run.
#pragma once

#include <cstdint>

#include "platform/fault_posix.h"
#include "platform/platform.h"

constexpr int MAX_FIBERS = 8;

enum FiberState { FIBER_FREE, FIBER_READY, FIBER_WAITING, FIBER_HELD };

// Forgets every file, signal and desktop record and puts the clock at 00:00.
// Every fiber must have ended.
void resetSeam();

// --- Fibers -------------------------------------------------------------------

// Called on the harness each time a thread start creates fiber `index`.
void setFiberStartHook(void (*hook)(int index));
FiberState fiberState(int index);
// Runs fiber `index` until it yields or ends; false when it is free.
bool resumeFiber(int index);
// The fiber running now, or -1 on the harness (the host's thread).
int runningFiber();
// Yields the running fiber back to the harness, as held by the host.
void holdRunningFiber();
// Times the harness itself waited on a signal (a host thread never should).
int harnessWaits();
// Times the harness paused, as a host thread does for a file another program holds.
int harnessPauses();

// --- Clock, host address, faults -----------------------------------------------

void setSeamClock(uint8_t hour, uint8_t minute);
// The one callback address functionAtAddress() knows (1).
uint32_t registerHostCallback(AnyFunction callback);
// Lets the n-th seam call from now fail (0: none).
void failNthSeamCallOfSession(uint32_t n);

// --- Files and desktop -----------------------------------------------------------

// The directory every settings directory of the harness lies in ("s/").
extern const char SEAM_DIR[];
void putFile(const char* path, const uint8_t* bytes, uint32_t size);
void putDirectory(const char* path);
void removeEntry(const char* path);
// Another program holds `path` open for writing (sharing reads), or lets go.
void holdOpenForWriting(const char* path, bool held);
// The bytes of file `path`; null when there is none.
const uint8_t* fileBytes(const char* path, uint32_t* size);
// Open handles of the plug-in's still open.
int openHandles();

int launchesSeen();
const char* lastLaunchProgram();
