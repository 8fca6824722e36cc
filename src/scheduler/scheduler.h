// The watch thread that disconnects and reconnects the host at the scheduled
// minutes, the start and stop around it, and the trigger text.
#pragma once

#include <atomic>
#include <cstdint>

#include "hostlink/pluginutil.h"
#include "platform/platform.h"
#include "settings/settings.h"

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

Schedule scheduleFromSettings(const Settings& from);

// One pass of the watch loop at `now`: the disconnect pair, then the connect
// pair. Checks `stop` right before every request and sends nothing once it is set.
void runWatchPass(const Schedule& schedule, LocalClock now, const std::atomic<bool>& stop);

// The start event's work: ends a running watch thread, loads the settings of
// `settingsDir` (or puts the defaults in place and rewrites the file), then
// starts a new watch thread.
void startPlugin(ByteView settingsDir);
// Ends the watch thread: returns at once, and no request begins afterwards.
void stopWatch();
// The text event: disconnects when `text` is exactly the trigger text.
void onTextEvent(ByteView text);
