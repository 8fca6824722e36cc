// The operating system seam as a POSIX stand-in for native tests: real files
// and threads, a clock and waits the tests can steer, and a desktop that only
// records what it was asked to show.
#include <fcntl.h>
#include <sys/stat.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/platform.h"
#include "platform/posix_testing.h"

namespace {

std::atomic<int> fakeClock{-1};  // hour * 60 + minute, or -1 for the real clock
std::atomic<uint32_t> waitCap{0};
std::atomic<int> liveThreads{0};

std::mutex desktopLock;
DesktopRecord desktop;

constexpr int CALLBACK_SLOTS = 16;
std::atomic<HostCallback> callbackSlots[CALLBACK_SLOTS];

int descriptorOf(PlatformFile* file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

PlatformFile* fileOf(int descriptor) {
    return descriptor < 0 ? nullptr : reinterpret_cast<PlatformFile*>(static_cast<intptr_t>(descriptor) + 1);
}

struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

void* threadTrampoline(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.body(start.argument);
    liveThreads.fetch_sub(1);
    return nullptr;
}

}  // namespace

struct PlatformSignal {
    std::mutex lock;
    std::condition_variable raised;
    bool isRaised = false;
};

PlatformFile* openFileForReading(const char* path) {
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    // Like Windows, a directory is not a file that can be opened for reading.
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode))) {
        close(descriptor);
        return nullptr;
    }
    return fileOf(descriptor);
}

PlatformFile* createFileForWriting(const char* path) {
    return fileOf(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got) {
    ssize_t n;
    do {
        n = read(descriptorOf(file), buffer, capacity);
    } while (n < 0 && errno == EINTR);
    *got = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n >= 0;
}

bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size) {
    const ssize_t n = write(descriptorOf(file), bytes, size);
    return n == static_cast<ssize_t>(size);
}

bool closeFile(PlatformFile* file) { return close(descriptorOf(file)) == 0; }

void showErrorBox(const char* caption, const char* text) {
    std::lock_guard<std::mutex> guard(desktopLock);
    ++desktop.errorBoxes;
    desktop.lastCaption = caption;
    desktop.lastText = text;
}

void launchProgram(const char* program, const char* parameters) {
    std::lock_guard<std::mutex> guard(desktopLock);
    ++desktop.launches;
    desktop.lastProgram = program;
    desktop.lastParameters = parameters;
}

LocalClock readLocalClock() {
    const int fake = fakeClock.load();
    if (fake >= 0) return LocalClock{static_cast<uint8_t>(fake / 60), static_cast<uint8_t>(fake % 60)};
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return LocalClock{static_cast<uint8_t>(local.tm_hour), static_cast<uint8_t>(local.tm_min)};
}

PlatformSignal* createSignal() { return new (std::nothrow) PlatformSignal; }

void raiseSignal(PlatformSignal* signal) {
    std::lock_guard<std::mutex> guard(signal->lock);
    signal->isRaised = true;
    signal->raised.notify_all();
}

bool waitForSignal(PlatformSignal* signal, uint32_t milliseconds) {
    const uint32_t cap = waitCap.load();
    if (cap != 0 && cap < milliseconds) milliseconds = cap;
    std::unique_lock<std::mutex> guard(signal->lock);
    return signal->raised.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                   [signal] { return signal->isRaised; });
}

void destroySignal(PlatformSignal* signal) { delete signal; }

bool startDetachedThread(void (*body)(void*), void* argument) {
    ThreadStart* start = new (std::nothrow) ThreadStart{body, argument};
    if (start == nullptr) return false;
    liveThreads.fetch_add(1);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, threadTrampoline, start) != 0) {
        liveThreads.fetch_sub(1);
        delete start;
        return false;
    }
    pthread_detach(thread);
    return true;
}

HostCallback hostCallbackFromAddress(uint32_t address) {
    if (address == 0 || address > CALLBACK_SLOTS) return nullptr;
    return callbackSlots[address - 1].load();
}

void setFakeClock(uint8_t hour, uint8_t minute) { fakeClock.store(hour * 60 + minute); }

void useRealClock() { fakeClock.store(-1); }

void capWaits(uint32_t milliseconds) { waitCap.store(milliseconds); }

uint32_t addressOfCallback(HostCallback callback) {
    for (int i = 0; i < CALLBACK_SLOTS; ++i) {
        if (callbackSlots[i].load() == callback) return static_cast<uint32_t>(i + 1);
        HostCallback empty = nullptr;
        if (callbackSlots[i].compare_exchange_strong(empty, callback)) return static_cast<uint32_t>(i + 1);
    }
    return 0;
}

DesktopRecord desktopRecord() {
    std::lock_guard<std::mutex> guard(desktopLock);
    return desktop;
}

void clearDesktopRecord() {
    std::lock_guard<std::mutex> guard(desktopLock);
    desktop = DesktopRecord{};
}

int runningThreads() { return liveThreads.load(); }
