// The operating system as the rest of the plug-in sees it. The Win32
// implementation builds the real library; the native builds use the POSIX file
// access beside it and the test stand-in of tests/support for the rest.
// Nothing above this header knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Memory ----------------------------------------------------------------

// A block of `size` bytes from the process heap; null when none is left.
void* allocateMemory(size_t size);
// Grows or shrinks `memory` (null: a new block); null and `memory` untouched on failure.
void* resizeMemory(void* memory, size_t size);
// Gives a block back; null is ignored.
void freeMemory(void* memory);

// --- Files, opened by 8-bit path -------------------------------------------

struct PlatformFile;

// Opens an existing file for reading while others may read it too; null on
// any failure, with `*missing` set when the failure is that nothing is there.
PlatformFile* openFileForReading(const char* path, bool* missing);
// Creates or truncates a file for writing while others may read it; null on any failure.
PlatformFile* createFileForWriting(const char* path);
// Reads up to `capacity` bytes; false on a system error. `*got` is 0 at end of file.
bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got);
// Writes all `size` bytes; false on a system error or a short write.
bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size);
// Closes the file; false when the system reports an error. Always releases it.
bool closeFile(PlatformFile* file);

// --- The user's desktop ----------------------------------------------------

// Shows a modal error box with no owner and returns once the user closed it.
void showErrorBox(const char* caption, const char* text);
// Asks the shell to open `program` with `parameters`; the result is ignored.
void launchProgram(const char* program, const char* parameters);

// --- Time and threads ------------------------------------------------------

struct LocalClock {
    uint8_t hour;    // 0..23
    uint8_t minute;  // 0..59
};

// The local wall-clock hour and minute.
LocalClock readLocalClock();

struct PlatformSignal;

// A manual-reset signal; null when the system has none to give.
PlatformSignal* createSignal();
void raiseSignal(PlatformSignal* signal);
// Waits until the signal is raised or `milliseconds` pass; true when raised.
bool waitForSignal(PlatformSignal* signal, uint32_t milliseconds);
void destroySignal(PlatformSignal* signal);

// Runs body(argument) on a new thread that keeps this module loaded until
// body returns; its stack is a 64 KB reservation. False when the thread
// could not be started (body never runs).
bool startDetachedThread(void (*body)(void*), void* argument);

// --- Code addresses --------------------------------------------------------

// Any function, as an address; the caller casts it to the type it expects.
typedef void (*AnyFunction)();

// Turns a 32-bit code address received from outside (the host sends its
// callback as one) into a callable address; null stays null.
AnyFunction functionAtAddress(uint32_t address);
