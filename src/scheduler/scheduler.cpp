#include "scheduler/scheduler.h"

#include <cstring>
#include <new>

#include "hostlink/plugin.h"

namespace {

// Shared by the host's thread (start and stop) and one watch thread; the last
// of the two to let go frees it.
struct WatchControl {
    std::atomic<int> holders;
    std::atomic<bool> stopRequested;
    PlatformSignal* stopSignal;
    Schedule schedule;
};

// The running thread's control; touched only on the host's thread.
WatchControl* runningWatch = nullptr;

void releaseWatch(WatchControl* control) {
    if (control->holders.fetch_sub(1) != 1) return;
    destroySignal(control->stopSignal);
    control->~WatchControl();
    freeMemory(control);
}

bool isDue(bool enabled, uint8_t hour, uint8_t minute, LocalClock now) {
    return enabled && now.hour == hour && now.minute == minute;
}

// Queries the host and sends `request` unless it already is in `wanted`.
// False when a stop cut it short.
bool requestUnlessInState(int32_t wanted, void (*request)(), const std::atomic<bool>& stop) {
    if (stop.load()) return false;
    const int32_t state = queryNetState();
    if (stop.load()) return false;
    if (state != wanted) request();
    return true;
}

void watchLoop(WatchControl* control) {
    do {
        if (control->stopRequested.load()) return;
        runWatchPass(control->schedule, readLocalClock(), control->stopRequested);
    } while (!waitForSignal(control->stopSignal, POLL_INTERVAL_MS));
}

void watchThreadMain(void* argument) {
    WatchControl* control = static_cast<WatchControl*>(argument);
    watchLoop(control);
    releaseWatch(control);
}

// Starts a watch thread for `schedule`; on failure nothing runs.
void startWatch(const Schedule& schedule) {
    void* memory = allocateMemory(sizeof(WatchControl));
    if (memory == nullptr) return;
    WatchControl* control = new (memory) WatchControl;
    control->holders.store(2);
    control->stopRequested.store(false);
    control->stopSignal = createSignal();
    control->schedule = schedule;
    if (control->stopSignal == nullptr || !startDetachedThread(watchThreadMain, control)) {
        control->holders.store(1);
        releaseWatch(control);
        return;
    }
    runningWatch = control;
}

}  // namespace

Schedule scheduleFromSettings(const Settings& from) {
    return Schedule{from.disconnectEnabled, from.disconnectHour, from.disconnectMinute,
                    from.onlineEnabled,     from.onlineHour,     from.onlineMinute};
}

void runWatchPass(const Schedule& schedule, LocalClock now, const std::atomic<bool>& stop) {
    const bool disconnectDue =
        isDue(schedule.disconnectEnabled, schedule.disconnectHour, schedule.disconnectMinute, now);
    if (disconnectDue && !requestUnlessInState(NET_OFFLINE, requestDisconnect, stop)) return;
    if (isDue(schedule.onlineEnabled, schedule.onlineHour, schedule.onlineMinute, now)) {
        requestUnlessInState(NET_ONLINE, requestConnect, stop);
    }
}

void startPlugin(ByteView settingsDir) {
    stopWatch();
    SettingsPath path;
    formSettingsPath(settingsDir, path);
    if (!loadSettings(path)) {
        putDefaultSettings(&settings);
        replaceWithDefaultSettings(path);
    }
    startWatch(scheduleFromSettings(settings));
}

void stopWatch() {
    WatchControl* control = runningWatch;
    if (control == nullptr) return;
    runningWatch = nullptr;
    control->stopRequested.store(true);
    raiseSignal(control->stopSignal);
    releaseWatch(control);
}

void onTextEvent(ByteView text) {
    const TriggerText& trigger = settings.DisconnectStr;
    if (text.size != trigger.size) return;
    if (text.size != 0 && memcmp(text.data, trigger.bytes, text.size) != 0) return;
    requestDisconnect();
}
