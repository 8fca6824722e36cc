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

// Why the system refused a file call.
enum FileRefusal : uint8_t {
    REFUSED_FOR_GOOD,  // for good, as far as the system tells (no access, read-only, a full disk, ...)
    REFUSED_MISSING,   // nothing is at the path, or its folder is missing
    REFUSED_EXISTS,    // something (a file, a folder) already has the name asked for
    REFUSED_BUSY,      // another program has the file open right now: may work in a moment
};

// Opens an existing file for reading; null on any failure, with `*refusal`
// saying why. `besideWriters`: others may read, write and delete it meanwhile,
// so an editor's save is never refused because of us; otherwise others may
// only read it, and one that another program has open to write is refused as busy.
PlatformFile* openFileForReading(const char* path, FileRefusal* refusal, bool besideWriters = true);
// Creates a new file for writing while others may read it; never opens one
// that is there. Null on any failure, with `*refusal` saying why (REFUSED_EXISTS
// when something already has that name).
PlatformFile* createNewFile(const char* path, FileRefusal* refusal);
// Reads up to `capacity` bytes; false on a system error. `*got` is 0 at end of file.
bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got);
// Writes all `size` bytes; false on a system error or a short write.
bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size);
// Has the system put everything written so far on the disk; false when it could not.
bool flushFile(PlatformFile* file);
// Closes the file; false when the system reports an error. Always releases it.
bool closeFile(PlatformFile* file);
// Renames the file at `from` to `to` on the same volume, in one step; an existing
// `to` is replaced only when `replace` is set. False on any failure (nothing
// moved), with `*refusal` saying why (REFUSED_EXISTS: `to` is there and `replace` is not set).
bool moveFileIntoPlace(const char* from, const char* to, bool replace, FileRefusal* refusal);
// Deletes the file at `path`; false when it could not be deleted, with `*refusal` saying why.
bool removeFile(const char* path, FileRefusal* refusal);
// True when the file at `path` carries the read-only mark; false when it does
// not, or when nothing can be told.
bool isReadOnlyFile(const char* path);

// --- The user's desktop ----------------------------------------------------

// Shows a modal error box with no owner, in front of other windows, and
// returns once the user closed it. The texts are UTF-16, so they read the same
// whatever the system's code page. While it is up, its message loop may run
// the host's window procedures, and so its calls into the plug-in.
void showErrorBox(const char16_t* caption, const char16_t* text);
// Asks the shell to open `target` (a program, or a document with its
// associated program) with `parameters` (may be null); false when the shell
// says it could not.
bool launchProgram(const char* target, const char* parameters);
// Writes the shared Windows directory, where the system's own programs lie,
// with a terminator; its length, or 0 when it can't be had or does not fit.
uint32_t systemWindowsDirectory(char* out, uint32_t capacity);

// --- Text --------------------------------------------------------------------

// The text `utf8` spelled in the ANSI code page: a block from allocateMemory
// of `*size` bytes. Null when `utf8` is not valid UTF-8, when a character has
// no exact counterpart there (no best-fit look-alikes), when the code page is
// UTF-8 itself, or when memory ran out.
uint8_t* ansiSpellingOfUtf8(const uint8_t* utf8, uint32_t utf8Size, uint32_t* size);

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
// body returns; it gets the process's default stack, which the host's own code
// needs when it is called back from there. False when the thread could not be
// started (body never runs).
bool startDetachedThread(void (*body)(void*), void* argument);
// Sleeps for `milliseconds`.
void pauseThread(uint32_t milliseconds);

// A lock for short sections that call nothing outside the plug-in and never
// take it twice. It must be prepared once before its first use and disposed of
// once after its last.
struct PlatformLock {
    alignas(8) unsigned char storage[64];
};
// Makes `lock` ready for use; false when the system had no resources for it.
bool prepareLock(PlatformLock* lock);
void disposeLock(PlatformLock* lock);
void takeLock(PlatformLock* lock);
void releaseLock(PlatformLock* lock);

// --- The module --------------------------------------------------------------

// Keeps this module mapped until the process ends, whatever the host unloads
// meanwhile, so that code of ours still on a stack (a start inside the error
// box's message loop, down to its last return) never loses its instructions.
// False when the system refused.
bool pinModule();

// --- Code addresses --------------------------------------------------------

// Any function, as an address; the caller casts it to the type it expects.
typedef void (*AnyFunction)();

// Turns a 32-bit code address received from outside (the host sends its
// callback as one) into a callable address; null stays null.
AnyFunction functionAtAddress(uint32_t address);
