// The rest of the operating system seam for native builds, as a stand-in the
// tests steer: real threads and waits (with a cap), a clock that can be set, a
// desktop that only records what it was asked to show, and 32-bit addresses
// for callbacks. The file access is the real POSIX one of src/platform.
#include "posix_stand_in.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/platform.h"

namespace {

std::atomic<int> fakeClock{-1};  // hour * 60 + minute, or -1 for the real clock
std::atomic<uint32_t> waitCap{0};
std::atomic<int> liveThreads{0};
std::atomic<uint32_t> faultAt{0};  // 0: no call fails
std::atomic<uint32_t> seamCalls{0};
std::atomic<int> faultKind{SEAM_CALL_KINDS};

std::mutex desktopLock;
DesktopRecord desktop;

constexpr int CALLBACK_SLOTS = 16;
std::atomic<AnyFunction> callbackSlots[CALLBACK_SLOTS];

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

bool seamCallFails(SeamCall kind) {
    const uint32_t at = faultAt.load();
    if (at == 0 || seamCalls.fetch_add(1) + 1 != at) return false;
    faultKind.store(kind);
    return true;
}

void showErrorBox(const char* caption, const char* text) {
    if (seamCallFails(SEAM_ERROR_BOX)) return;
    std::lock_guard<std::mutex> guard(desktopLock);
    ++desktop.errorBoxes;
    desktop.lastCaption = caption;
    desktop.lastText = text;
}

void launchProgram(const char* program, const char* parameters) {
    if (seamCallFails(SEAM_LAUNCH)) return;
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

PlatformSignal* createSignal() {
    return seamCallFails(SEAM_SIGNAL) ? nullptr : new (std::nothrow) PlatformSignal;
}

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
    if (seamCallFails(SEAM_THREAD)) return false;
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

AnyFunction functionAtAddress(uint32_t address) {
    if (address == 0 || address > CALLBACK_SLOTS) return nullptr;
    return callbackSlots[address - 1].load();
}

void setFakeClock(uint8_t hour, uint8_t minute) { fakeClock.store(hour * 60 + minute); }

void useRealClock() { fakeClock.store(-1); }

void capWaits(uint32_t milliseconds) { waitCap.store(milliseconds); }

uint32_t addressOfFunction(AnyFunction function) {
    for (int i = 0; i < CALLBACK_SLOTS; ++i) {
        if (callbackSlots[i].load() == function) return static_cast<uint32_t>(i + 1);
        AnyFunction empty = nullptr;
        if (callbackSlots[i].compare_exchange_strong(empty, function)) return static_cast<uint32_t>(i + 1);
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

void failNthSeamCall(uint32_t n) {
    faultAt.store(0);
    seamCalls.store(0);
    faultKind.store(SEAM_CALL_KINDS);
    faultAt.store(n);
}

SeamCall injectedFault() { return static_cast<SeamCall>(faultKind.load()); }
