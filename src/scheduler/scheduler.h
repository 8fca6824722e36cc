// The watch thread: started for a Schedule, it disconnects and reconnects the
// host at the scheduled minutes until it is stopped.
#pragma once

#include <atomic>
#include <cstdint>

#include "hostlink/requests.h"
#include "platform/platform.h"

constexpr uint32_t POLL_INTERVAL_MS = 10000;

// The part of the settings the watch thread reads; each thread keeps its own copy.
struct Schedule {
    bool disconnectEnabled;
    uint8_t disconnectHour;
    uint8_t disconnectMinute;
    bool onlineEnabled;
    uint8_t onlineHour;
    uint8_t onlineMinute;
};

// One pass of the watch loop at `now`: the disconnect pair, then the connect
// pair. Checks `stop` right before every request and sends nothing once it is set.
void runWatchPass(const Schedule& schedule, LocalClock now, const HostLink& link,
                  const std::atomic<bool>& stop);

// A running watch thread, as its starter holds it.
struct WatchThread;

// Starts a watch thread that sends through `link` (which must outlive it) at
// the minutes of `schedule`; null when no thread could be started.
WatchThread* startWatch(const Schedule& schedule, const HostLink* link);
// Ends the watch thread and releases the starter's hold on it; null is fine.
// Returns at once, without waiting for the host. A request that already passed
// its last stop check may still reach the host just after this returned; no
// request after that one is sent.
void stopWatch(WatchThread* watch);
