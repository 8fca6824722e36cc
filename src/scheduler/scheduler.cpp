#include "scheduler/scheduler.h"

#include <new>

// Shared by the starter's thread and the watch thread; the last of the two to
// let go frees it.
struct WatchThread {
    std::atomic<int> holders;
    std::atomic<bool> stopRequested;
    PlatformSignal* stopSignal;
    Schedule schedule;
    const HostLink* link;
};

namespace {

void releaseWatch(WatchThread* watch) {
    if (watch->holders.fetch_sub(1) != 1) return;
    destroySignal(watch->stopSignal);
    watch->~WatchThread();
    freeMemory(watch);
}

bool isDue(bool enabled, uint8_t hour, uint8_t minute, LocalClock now) {
    return enabled && now.hour == hour && now.minute == minute;
}

// Queries the host and sends `request` unless it already is in `wanted`.
// False when a stop cut it short.
bool requestUnlessInState(int32_t wanted, void (*request)(const HostLink&), const HostLink& link,
                          const std::atomic<bool>& stop) {
    if (stop.load()) return false;
    const int32_t state = queryNetState(link);
    if (stop.load()) return false;
    if (state != wanted) request(link);
    return true;
}

void watchLoop(WatchThread* watch) {
    do {
        if (watch->stopRequested.load()) return;
        runWatchPass(watch->schedule, readLocalClock(), *watch->link, watch->stopRequested);
    } while (!waitForSignal(watch->stopSignal, POLL_INTERVAL_MS));
}

void watchThreadMain(void* argument) {
    WatchThread* watch = static_cast<WatchThread*>(argument);
    watchLoop(watch);
    releaseWatch(watch);
}

}  // namespace

void runWatchPass(const Schedule& schedule, LocalClock now, const HostLink& link,
                  const std::atomic<bool>& stop) {
    const bool disconnectDue =
        isDue(schedule.disconnectEnabled, schedule.disconnectHour, schedule.disconnectMinute, now);
    if (disconnectDue && !requestUnlessInState(NET_OFFLINE, requestDisconnect, link, stop)) return;
    if (isDue(schedule.onlineEnabled, schedule.onlineHour, schedule.onlineMinute, now)) {
        requestUnlessInState(NET_ONLINE, requestConnect, link, stop);
    }
}

WatchThread* startWatch(const Schedule& schedule, const HostLink* link) {
    void* memory = allocateMemory(sizeof(WatchThread));
    if (memory == nullptr) return nullptr;
    WatchThread* watch = new (memory) WatchThread;
    watch->holders.store(2);
    watch->stopRequested.store(false);
    watch->stopSignal = createSignal();
    watch->schedule = schedule;
    watch->link = link;
    if (watch->stopSignal == nullptr || !startDetachedThread(watchThreadMain, watch)) {
        watch->holders.store(1);
        releaseWatch(watch);
        return nullptr;
    }
    return watch;
}

void stopWatch(WatchThread* watch) {
    if (watch == nullptr) return;
    watch->stopRequested.store(true);
    raiseSignal(watch->stopSignal);
    releaseWatch(watch);
}
