// The plug-in's work between its entry point and the subsystems: what a start
// event sets going (the settings, their file, the watch thread), what a stop
// ends, and what the trigger text does.
//
// The host may call from any number of threads at once. Starts, stops and
// settings events meet under `stateLock`, held only for short sections that
// call nothing outside the plug-in; text events take no lock at all.
#pragma once

#include <atomic>
#include <cstdint>

#include "bytes.h"
#include "hostlink/codec.h"
#include "hostlink/requests.h"
#include "platform/platform.h"
#include "scheduler/scheduler.h"
#include "settings/settings.h"

// The trigger as text events read it: made whole before it is published and
// never changed after. Once replaced it is kept until unload, since a text
// event on another thread may still be comparing it.
struct ArmedTrigger;

// Everything a start event leaves behind for later events. Zero at load.
struct PluginSession {
    // Under stateLock. Written by a start before it starts the watch thread
    // (the watch thread has its own Schedule, text events their ArmedTrigger).
    Settings settings;
    // The directory the last start named, kept for the settings event; under stateLock.
    uint8_t settingsDir[MAX_SETTINGS_PATH + 1];
    uint32_t settingsDirSize;  // MAX_SETTINGS_PATH + 1 when the host's was longer
    // The host's callback; both threads send through it. Null from a stop to the next start.
    HostLink host;
    // What text events compare with; null while the trigger is off or stopped.
    std::atomic<const ArmedTrigger*> trigger;
    // Triggers replaced since load; under stateLock, freed at unload.
    ArmedTrigger* retiredTriggers;
    // The running watch thread; under stateLock.
    WatchThread* watch;
    // Start and stop events so far; under stateLock. A start whose number is
    // no longer the newest (another thread, or the host inside its error box,
    // started or stopped meanwhile) leaves the watch thread to that event.
    uint32_t startsAndStops;
    PlatformLock stateLock;
    // One start at a time reads and replaces the settings file, never while
    // holding stateLock and never across the error box.
    PlatformLock fileLock;
    // Temporary files of ours still to remove; under fileLock.
    Leftovers leftovers;
};

// The part of `from` a watch thread needs.
Schedule scheduleFromSettings(const Settings& from);

// What a start does with the settings file once it has been loaded.
enum SettingsFilePlan : uint8_t {
    USE_SETTINGS_FILE,                // it loaded: leave it as it is
    WRITE_DEFAULT_FILE,               // write the default file at its path
    BACK_UP_THEN_WRITE_DEFAULT_FILE,  // keep it as path + ".bak", then write the default file
    LEAVE_FILE_SHOW_ERROR,            // it is there but could not be opened: never replace it unseen
};

// The start sequence's decision after a load: when the load failed, puts the
// default times and trigger text in `settings` (the flags stay as the load
// left them) and plans the default file. Changes no file.
SettingsFilePlan settleLoadedSettings(Settings* settings, LoadStatus loaded);

// Makes the session's locks ready, once, before its first event; false when
// the system had no resources for them.
bool prepareSession(PluginSession* session);
// Gives the locks back, once, after the last event.
void disposeSession(PluginSession* session);
// The start sequence for a start event carrying `callbackAddress` and
// `settingsDir`: ends a running watch thread, loads the settings file (or puts
// the defaults in place and rewrites the file, keeping a file that was there as
// a backup), then starts a new watch thread. The error box, where it is due,
// pins the module first: its message loop lets the host in, which may stop,
// restart or unload the plug-in meanwhile. The newest start or stop decides
// whether a watch thread runs.
void startSession(PluginSession* session, uint32_t callbackAddress, ByteView settingsDir);
// Ends the watch thread and forgets the host's callback and the trigger, so
// nothing reaches the host until the next start; see stopWatch for a request
// already on its way.
void stopSession(PluginSession* session);
// Opens the settings file of the last start's directory in the editor.
void openSessionSettings(PluginSession* session);
// The text event: disconnects when the frame's text is exactly the trigger
// text, in the file's own bytes or in their ANSI spelling. Reads nothing of the
// frame past its code while there is no trigger. Takes no lock, allocates nothing.
void onTextEvent(const PluginSession& session, Frame frame);
// Frees the session's strings and triggers, clears its settings and removes
// what temporary files of ours it can; called at unload.
void releaseSession(PluginSession* session);
