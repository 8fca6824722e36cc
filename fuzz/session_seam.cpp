// The deterministic seam: fibers for threads, a hand-set clock, files in
// memory. See session_seam.h.
#include "session_seam.h"

#include <ucontext.h>

#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEAM_ASAN 1
#include <sanitizer/common_interface_defs.h>
#endif
#endif

const char SEAM_DIR[] = "s/";

namespace {

// --- Fibers -------------------------------------------------------------------

constexpr size_t FIBER_STACK = 128 * 1024;

// Each fiber slot enters its stack once through a ucontext and stays there,
// running one thread body after another; every switch after that is the
// compiler's own setjmp/longjmp: no signal mask, no system call.
struct Fiber {
    FiberState state;
    bool made;     // its context is made
    bool entered;  // it runs on its stack
    void (*body)(void*);
    void* argument;
    ucontext_t context;
    void* jump[5];
    void* fakeStack;  // ASan's record of the fiber's stack while it is switched out
};

Fiber fibers[MAX_FIBERS];
alignas(64) uint8_t fiberStacks[MAX_FIBERS][FIBER_STACK];
void* harnessJump[5];
const void* harnessStack = nullptr;
size_t harnessStackSize = 0;
int running = -1;
int waitsOnHarness = 0;
int pausesOnHarness = 0;
void (*startHook)(int) = nullptr;

// Marks the switch to a stack for the sanitizer.
void beginSwitch(void** save, const void* bottom, size_t size) {
#ifdef SEAM_ASAN
    __sanitizer_start_switch_fiber(save, bottom, size);
#else
    (void)save, (void)bottom, (void)size;
#endif
}

void endSwitch(void* saved, const void** bottom, size_t* size) {
#ifdef SEAM_ASAN
    __sanitizer_finish_switch_fiber(saved, bottom, size);
#else
    (void)saved, (void)bottom, (void)size;
#endif
}

// The two switches leave no stack for good, so ASan must not unpoison the
// stack they jump away from, as it would before any other jump that does not return.
#define SWITCHES_STACKS __attribute__((no_sanitize("address")))

// Back to the harness, until the harness resumes this fiber.
SWITCHES_STACKS void switchToHarness() {
    Fiber& fiber = fibers[running];
    beginSwitch(&fiber.fakeStack, harnessStack, harnessStackSize);
    if (__builtin_setjmp(fiber.jump) == 0) __builtin_longjmp(harnessJump, 1);
    endSwitch(fiber.fakeStack, &harnessStack, &harnessStackSize);
}

// A slot's life: each body to its end, then parked until the next thread start.
void fiberMain() {
    endSwitch(nullptr, &harnessStack, &harnessStackSize);
    const int index = running;
    for (;;) {
        fibers[index].body(fibers[index].argument);
        fibers[index].state = FIBER_FREE;
        switchToHarness();
    }
}

// --- Signals --------------------------------------------------------------------

constexpr int MAX_SIGNALS = 16;

}  // namespace

struct PlatformSignal {
    bool used;
    bool raised;
};

namespace {

PlatformSignal signals[MAX_SIGNALS];

// --- Files -----------------------------------------------------------------------

constexpr int MAX_ENTRIES = 12;
constexpr uint32_t MAX_PATH_BYTES = 260;
constexpr uint32_t MAX_FILE_BYTES = 4096;
constexpr int MAX_HANDLES = 8;

struct Entry {
    bool used;
    bool directory;
    bool heldForWriting;  // by another program
    int readers;
    int writers;
    uint32_t size;
    char path[MAX_PATH_BYTES];
    uint8_t bytes[MAX_FILE_BYTES];
};

}  // namespace

struct PlatformFile {
    bool used;
    bool writing;
    Entry* entry;
    uint32_t position;
};

namespace {

Entry entries[MAX_ENTRIES];
PlatformFile handles[MAX_HANDLES];

uint8_t clockHour = 0, clockMinute = 0;
AnyFunction hostCallback = nullptr;
uint32_t failAt = 0, seamCalls = 0;

int launches = 0;
char launchProgramName[300];  // Notepad, or a settings path

Entry* findEntry(const char* path) {
    for (Entry& entry : entries) {
        if (entry.used && strcmp(entry.path, path) == 0) return &entry;
    }
    return nullptr;
}

// The entry for `path`, made when missing; null when the table is full or the path too long.
Entry* makeEntry(const char* path) {
    Entry* entry = findEntry(path);
    if (entry != nullptr || strlen(path) >= MAX_PATH_BYTES) return entry;
    for (Entry& slot : entries) {
        if (slot.used) continue;
        slot.used = true;
        slot.directory = slot.heldForWriting = false;
        slot.readers = slot.writers = 0;
        slot.size = 0;
        strcpy(slot.path, path);
        return &slot;
    }
    return nullptr;
}

// Whether the directory part of `path` (up to its last '/') exists; a bare name is in the current one.
bool parentExists(const char* path) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) return true;
    char parent[MAX_PATH_BYTES];
    const size_t length = static_cast<size_t>(slash - path) + 1;
    if (length >= sizeof parent) return false;
    memcpy(parent, path, length);
    parent[length] = '\0';
    const Entry* entry = findEntry(parent);
    return entry != nullptr && entry->directory;
}

PlatformFile* openHandle(Entry* entry, bool writing) {
    for (PlatformFile& handle : handles) {
        if (handle.used) continue;
        handle = PlatformFile{true, writing, entry, 0};
        ++(writing ? entry->writers : entry->readers);
        return &handle;
    }
    return nullptr;
}

}  // namespace

bool seamCallFails(SeamCall) { return failAt != 0 && ++seamCalls == failAt; }

// --- The seam itself -----------------------------------------------------------------

PlatformFile* openFileForReading(const char* path, FileRefusal* refusal, bool besideWriters) {
    *refusal = REFUSED_FOR_GOOD;
    if (seamCallFails(SEAM_OPEN)) return nullptr;
    Entry* entry = findEntry(path);
    if (entry == nullptr) *refusal = REFUSED_MISSING;
    if (entry == nullptr || entry->directory) return nullptr;
    // Reading alone keeps writers out: one there, ours or another program's, keeps us out for now.
    if (!besideWriters && (entry->writers != 0 || entry->heldForWriting)) *refusal = REFUSED_BUSY;
    return *refusal == REFUSED_BUSY ? nullptr : openHandle(entry, false);
}

PlatformFile* createNewFile(const char* path, FileRefusal* refusal) {
    *refusal = REFUSED_FOR_GOOD;
    if (seamCallFails(SEAM_CREATE) || !parentExists(path)) return nullptr;
    if (findEntry(path) != nullptr) *refusal = REFUSED_EXISTS;
    Entry* entry = *refusal == REFUSED_EXISTS ? nullptr : makeEntry(path);
    if (entry == nullptr) return nullptr;
    PlatformFile* handle = openHandle(entry, true);
    if (handle != nullptr) entry->size = 0;
    return handle;
}

bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got) {
    *got = 0;
    if (seamCallFails(SEAM_READ)) return false;
    const uint32_t left = file->entry->size - file->position;
    *got = left < capacity ? left : capacity;
    memcpy(buffer, file->entry->bytes + file->position, *got);
    file->position += *got;
    return true;
}

bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size) {
    const bool fails = seamCallFails(SEAM_WRITE);
    // A failing write may leave part of its bytes; the disk holds MAX_FILE_BYTES.
    const uint32_t room = MAX_FILE_BYTES - file->position;
    uint32_t count = fails ? size / 2 : size;
    if (count > room) count = room;
    memcpy(file->entry->bytes + file->position, bytes, count);
    file->position += count;
    file->entry->size = file->position;
    return !fails && count == size;
}

bool flushFile(PlatformFile*) { return !seamCallFails(SEAM_FLUSH); }

bool closeFile(PlatformFile* file) {
    --(file->writing ? file->entry->writers : file->entry->readers);
    file->used = false;
    return !seamCallFails(file->writing ? SEAM_CLOSE_WRITTEN : SEAM_CLOSE);
}

namespace {

// Open here or by another program: a rename or delete waits for it.
bool isOpen(const Entry* entry) {
    return entry->readers != 0 || entry->writers != 0 || entry->heldForWriting;
}

}  // namespace

bool moveFileIntoPlace(const char* from, const char* to, bool replace, FileRefusal* refusal) {
    *refusal = REFUSED_FOR_GOOD;
    if (seamCallFails(SEAM_MOVE)) return false;
    Entry* source = findEntry(from);
    Entry* target = findEntry(to);
    if (source == nullptr || !parentExists(to)) *refusal = REFUSED_MISSING;
    if (*refusal == REFUSED_MISSING || strlen(to) >= MAX_PATH_BYTES || source->directory) return false;
    if (target != nullptr && target->directory) return false;
    if (isOpen(source) || (target != nullptr && isOpen(target))) *refusal = REFUSED_BUSY;
    if (*refusal != REFUSED_BUSY && target != nullptr && !replace) *refusal = REFUSED_EXISTS;
    if (*refusal != REFUSED_FOR_GOOD) return false;
    if (target != nullptr) target->used = false;
    strcpy(source->path, to);
    return true;
}

bool removeFile(const char* path, FileRefusal* refusal) {
    *refusal = REFUSED_FOR_GOOD;
    if (seamCallFails(SEAM_REMOVE)) return false;
    Entry* entry = findEntry(path);
    if (entry == nullptr) *refusal = REFUSED_MISSING;
    if (entry == nullptr || entry->directory) return false;
    if (isOpen(entry)) {
        *refusal = REFUSED_BUSY;
        return false;
    }
    entry->used = false;
    return true;
}

bool isReadOnlyFile(const char*) { return false; }

void showErrorBox(const char16_t*, const char16_t*) { seamCallFails(SEAM_ERROR_BOX); }

// ASCII and the Cyrillic letters А to я, as code page 1251 spells them; any
// other text has no second spelling here.
uint8_t* ansiSpellingOfUtf8(const uint8_t* utf8, uint32_t utf8Size, uint32_t* size) {
    if (seamCallFails(SEAM_CONVERT)) return nullptr;
    auto* out = static_cast<uint8_t*>(allocateMemory(utf8Size));
    uint32_t count = 0;
    for (uint32_t i = 0; out != nullptr && i < utf8Size; ++i) {
        const uint32_t letter = i + 1 < utf8Size ? (utf8[i] << 8 | utf8[i + 1]) : 0;
        if (utf8[i] < 0x80) {
            out[count++] = utf8[i];
        } else if (letter >= 0xD090 && letter <= 0xD0BF) {
            out[count++] = static_cast<uint8_t>(0xC0 + (letter - 0xD090));
            ++i;
        } else if (letter >= 0xD180 && letter <= 0xD18F) {
            out[count++] = static_cast<uint8_t>(0xF0 + (letter - 0xD180));
            ++i;
        } else {
            freeMemory(out);
            out = nullptr;
        }
    }
    *size = count;
    return out;
}

bool launchProgram(const char* target, const char*) {
    if (seamCallFails(SEAM_LAUNCH)) return false;
    ++launches;
    strncpy(launchProgramName, target, sizeof launchProgramName - 1);
    return true;
}

LocalClock readLocalClock() { return LocalClock{clockHour, clockMinute}; }

PlatformSignal* createSignal() {
    if (seamCallFails(SEAM_SIGNAL)) return nullptr;
    for (PlatformSignal& signal : signals) {
        if (!signal.used) {
            signal = PlatformSignal{true, false};
            return &signal;
        }
    }
    return nullptr;
}

void raiseSignal(PlatformSignal* signal) { signal->raised = true; }

// On a fiber: yields; when resumed, the wait is over (raised, or its time passed).
bool waitForSignal(PlatformSignal* signal, uint32_t) {
    if (running < 0) ++waitsOnHarness;
    if (signal->raised || running < 0) return signal->raised;
    fibers[running].state = FIBER_WAITING;
    switchToHarness();
    return signal->raised;
}

void destroySignal(PlatformSignal* signal) {
    if (signal != nullptr) signal->used = false;
}

// On a fiber: yields; the pause is over when the harness resumes it. On the
// harness, as a host thread waits for a file another program holds, it is
// over at once.
void pauseThread(uint32_t) {
    if (running < 0) {
        ++pausesOnHarness;
        return;
    }
    fibers[running].state = FIBER_WAITING;
    switchToHarness();
}

// One thread runs at a time and no lock is held across a switch: a lock taken
// twice is a fault of the plug-in's, which the fuzzer must see.
void takeLock(PlatformLock* lock) {
    if (lock->storage[0] != 0) __builtin_trap();
    lock->storage[0] = 1;
}

void releaseLock(PlatformLock* lock) { lock->storage[0] = 0; }

bool prepareLock(PlatformLock* lock) {
    lock->storage[0] = 0;
    return true;
}

void disposeLock(PlatformLock*) {}

bool pinModule() { return !seamCallFails(SEAM_PIN); }

bool startDetachedThread(void (*body)(void*), void* argument) {
    if (seamCallFails(SEAM_THREAD)) return false;
    for (int index = 0; index < MAX_FIBERS; ++index) {
        Fiber& fiber = fibers[index];
        if (fiber.state != FIBER_FREE) continue;
        fiber.state = FIBER_READY;
        fiber.body = body;
        fiber.argument = argument;
        if (!fiber.made) {
            fiber.made = true;
            getcontext(&fiber.context);
            fiber.context.uc_stack.ss_sp = fiberStacks[index];
            fiber.context.uc_stack.ss_size = FIBER_STACK;
            fiber.context.uc_link = nullptr;
            makecontext(&fiber.context, fiberMain, 0);
        }
        if (startHook != nullptr) startHook(index);
        return true;
    }
    return false;
}

AnyFunction functionAtAddress(uint32_t address) { return address == 1 ? hostCallback : nullptr; }

// --- The harness's controls -------------------------------------------------------------

void resetSeam() {
    memset(signals, 0, sizeof signals);
    for (Entry& entry : entries) entry.used = false;
    memset(handles, 0, sizeof handles);
    putDirectory(SEAM_DIR);
    clockHour = clockMinute = 0;
    failAt = seamCalls = 0;
    launches = 0;
    waitsOnHarness = 0;
    pausesOnHarness = 0;
}

void setFiberStartHook(void (*hook)(int)) { startHook = hook; }

FiberState fiberState(int index) { return fibers[index].state; }

SWITCHES_STACKS bool resumeFiber(int index) {
    Fiber& fiber = fibers[index];
    if (fiber.state == FIBER_FREE || running >= 0) return false;
    fiber.state = FIBER_READY;
    running = index;
    void* fakeStack = nullptr;
    beginSwitch(&fakeStack, fiberStacks[index], FIBER_STACK);
    if (__builtin_setjmp(harnessJump) == 0) {
        if (!fiber.entered) {
            fiber.entered = true;
            setcontext(&fiber.context);
        }
        __builtin_longjmp(fiber.jump, 1);
    }
    endSwitch(fakeStack, nullptr, nullptr);
    running = -1;
    return true;
}

int runningFiber() { return running; }

void holdRunningFiber() {
    fibers[running].state = FIBER_HELD;
    switchToHarness();
    fibers[running].state = FIBER_READY;
}

int harnessWaits() { return waitsOnHarness; }

int harnessPauses() { return pausesOnHarness; }

void setSeamClock(uint8_t hour, uint8_t minute) {
    clockHour = hour;
    clockMinute = minute;
}

uint32_t registerHostCallback(AnyFunction callback) {
    hostCallback = callback;
    return 1;
}

void failNthSeamCallOfSession(uint32_t n) {
    failAt = n;
    seamCalls = 0;
}

void putFile(const char* path, const uint8_t* bytes, uint32_t size) {
    Entry* entry = makeEntry(path);
    if (entry == nullptr || entry->directory) return;
    entry->size = size < MAX_FILE_BYTES ? size : MAX_FILE_BYTES;
    memcpy(entry->bytes, bytes, entry->size);
}

void putDirectory(const char* path) {
    Entry* entry = makeEntry(path);
    if (entry != nullptr && entry->readers == 0 && entry->writers == 0) entry->directory = true;
}

void removeEntry(const char* path) {
    Entry* entry = findEntry(path);
    // Like Windows: a file open here can't be deleted.
    if (entry != nullptr && entry->readers == 0 && entry->writers == 0) entry->used = false;
}

void holdOpenForWriting(const char* path, bool held) {
    Entry* entry = findEntry(path);
    if (entry != nullptr) entry->heldForWriting = held;
}

const uint8_t* fileBytes(const char* path, uint32_t* size) {
    const Entry* entry = findEntry(path);
    if (entry == nullptr || entry->directory) return nullptr;
    *size = entry->size;
    return entry->bytes;
}

int openHandles() {
    int count = 0;
    for (const PlatformFile& handle : handles) count += handle.used ? 1 : 0;
    return count;
}

int launchesSeen() { return launches; }

const char* lastLaunchProgram() { return launchProgramName; }
