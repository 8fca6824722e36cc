// The rest of the operating system seam for native builds, as a stand-in the
// tests steer: real threads and waits (with a cap), a clock that can be set, a
// desktop that only records what it was asked to show, and 32-bit addresses
// for callbacks. The file access is the real POSIX one of src/platform.
#include "posix_stand_in.h"

#include <iconv.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

std::atomic<int> fakeClock{-1};  // hour * 60 + minute, or -1 for the real clock
std::atomic<uint32_t> waitCap{0};
std::atomic<int> liveThreads{0};
std::atomic<int> pins{0};
std::atomic<uint32_t> faultAt{0};    // 0: no call fails
std::atomic<uint32_t> busyTimes{0};  // 0: the call at faultAt fails; else its file is busy this often
std::atomic<uint32_t> seamCalls{0};
std::atomic<int> faultKind{SEAM_CALL_KINDS};
std::atomic<int> busyKind{SEAM_CALL_KINDS};
std::atomic<uint32_t> busyLeft{0};
std::atomic<bool> busyEveryKind{false};
std::atomic<uint32_t> pauseCap{20};
std::atomic<uint64_t> pausesAsked{0};
void (*actionAtCall)() = nullptr;  // runs at call faultAt instead of a fault

std::mutex desktopLock;
DesktopRecord desktop;
void (*boxLoop)() = nullptr;

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

// Threads kept for joinThreads(), while keepThreadsToJoin() is on.
std::atomic<bool> keepToJoin{false};
std::mutex toJoinLock;
std::vector<pthread_t> toJoin;

// Runs `trampoline` on a detached thread (or one kept to join); false when
// none could be started.
bool startPosixThread(void* (*trampoline)(void*), void* parameter) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, trampoline, parameter) != 0) return false;
    if (!keepToJoin.load()) {
        pthread_detach(thread);
        return true;
    }
    std::lock_guard<std::mutex> guard(toJoinLock);
    toJoin.push_back(thread);
    return true;
}

// UTF-16 in, UTF-8 out, one unit at a time: enough for the box's texts.
std::string utf8Of(const char16_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        const char16_t unit = *text;
        if (unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

}  // namespace

struct PlatformSignal {
    std::mutex lock;
    std::condition_variable raised;
    bool isRaised = false;
};

bool canBeBusy(SeamCall kind) { return kind == SEAM_OPEN || kind == SEAM_MOVE || kind == SEAM_REMOVE; }

bool seamCallFails(SeamCall kind) {
    const uint32_t at = faultAt.load();
    if (at == 0 || seamCalls.fetch_add(1) + 1 != at) return false;
    if (actionAtCall != nullptr) {
        actionAtCall();
        return false;
    }
    if (busyTimes.load() == 0 || canBeBusy(kind)) faultKind.store(kind);
    if (busyTimes.load() == 0) return true;
    busyKind.store(kind);
    busyLeft.store(busyTimes.load());
    return false;
}

bool seamFileBusy(SeamCall kind) {
    if (!canBeBusy(kind)) return false;
    const int held = busyKind.load();
    if (held != kind && !(busyEveryKind.load() && held != SEAM_CALL_KINDS && canBeBusy(kind))) return false;
    uint32_t left = busyLeft.load();
    while (left != 0 && !busyLeft.compare_exchange_weak(left, left - 1)) {
    }
    int none = SEAM_CALL_KINDS;
    if (left != 0) faultKind.compare_exchange_strong(none, kind);
    return left != 0;
}

void showErrorBox(const char16_t* caption, const char16_t* text) {
    if (seamCallFails(SEAM_ERROR_BOX)) return;
    void (*loop)() = nullptr;
    {
        std::lock_guard<std::mutex> guard(desktopLock);
        ++desktop.errorBoxes;
        desktop.lastCaption = utf8Of(caption);
        desktop.lastText = utf8Of(text);
        loop = boxLoop;
    }
    if (loop != nullptr) loop();
}

bool launchProgram(const char* target, const char* parameters) {
    if (seamCallFails(SEAM_LAUNCH)) return false;
    std::lock_guard<std::mutex> guard(desktopLock);
    ++desktop.launches;
    desktop.lastProgram = target;
    desktop.lastParameters = parameters != nullptr ? parameters : "(none)";
    return true;
}

uint8_t* ansiSpellingOfUtf8(const uint8_t* utf8, uint32_t utf8Size, uint32_t* size) {
    if (seamCallFails(SEAM_CONVERT)) return nullptr;
    // Code page 1251, as the plug-in's users have it; iconv without
    // transliteration fails on a character the code page lacks, as the system does.
    static std::mutex converterLock;
    static const iconv_t converter = iconv_open("CP1251", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return nullptr;
    auto* out = static_cast<uint8_t*>(allocateMemory(utf8Size));
    char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(utf8));
    char* at = reinterpret_cast<char*>(out);
    size_t inLeft = utf8Size, outLeft = utf8Size;
    bool exact = false;
    if (out != nullptr) {
        std::lock_guard<std::mutex> guard(converterLock);
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        exact = iconv(converter, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1);
    }
    if (!exact) {
        freeMemory(out);
        return nullptr;
    }
    *size = utf8Size - static_cast<uint32_t>(outLeft);
    return out;
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
    if (startPosixThread(threadTrampoline, start)) return true;
    liveThreads.fetch_sub(1);
    delete start;
    return false;
}

// Short pauses only: what a pause waits for here is over in a few milliseconds.
void pauseThread(uint32_t milliseconds) {
    pausesAsked.fetch_add(milliseconds);
    const uint32_t cap = pauseCap.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds < cap ? milliseconds : cap));
}

bool pinModule() {
    if (seamCallFails(SEAM_PIN)) return false;
    pins.fetch_add(1);
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

int modulePins() { return pins.load(); }

void setErrorBoxLoop(void (*loop)()) {
    std::lock_guard<std::mutex> guard(desktopLock);
    boxLoop = loop;
}

void failNthSeamCall(uint32_t n, uint32_t busy, bool everyKind) {
    faultAt.store(0);
    seamCalls.store(0);
    faultKind.store(SEAM_CALL_KINDS);
    busyKind.store(SEAM_CALL_KINDS);
    busyLeft.store(0);
    busyTimes.store(busy);
    busyEveryKind.store(everyKind);
    actionAtCall = nullptr;
    faultAt.store(n);
}

void actAtNthSeamCall(uint32_t n, void (*action)()) {
    failNthSeamCall(0);
    actionAtCall = action;
    faultAt.store(n);
}

uint64_t takePausesAskedMs() { return pausesAsked.exchange(0); }

uint32_t seamCallsMade() { return seamCalls.load(); }

void keepThreadsToJoin(bool keep) { keepToJoin.store(keep); }

void joinThreads() {
    std::vector<pthread_t> threads;
    {
        std::lock_guard<std::mutex> guard(toJoinLock);
        threads.swap(toJoin);
    }
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

void capPauses(uint32_t milliseconds) { pauseCap.store(milliseconds); }

SeamCall injectedFault() { return static_cast<SeamCall>(faultKind.load()); }
