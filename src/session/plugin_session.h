// The plug-in's work between its entry point and the subsystems: what a start
// event sets going (the settings, their file, the watch thread), what a stop
// ends, and what the trigger text does.
#pragma once

#include <atomic>
#include <cstdint>

#include "bytes.h"
#include "hostlink/requests.h"
#include "scheduler/scheduler.h"
#include "settings/settings.h"

// Everything a start event leaves behind for later events. Zero at load.
struct PluginSession {
    // Written only by a start event, before it starts the watch thread; read
    // by the host's thread afterwards (the watch thread has its own Schedule).
    Settings settings;
    // The directory the host named, kept for the settings event.
    uint8_t settingsDir[MAX_SETTINGS_PATH + 1];
    uint32_t settingsDirSize;  // MAX_SETTINGS_PATH + 1 when the host's was longer
    // The host's callback; both threads send through it.
    HostLink host;
    // The running watch thread; touched only on the host's thread.
    WatchThread* watch;
    // Start and stop events so far, counted on the host's thread: a start that
    // let the host back in (the error box runs a message loop) leaves the
    // watch thread to the events that came in meanwhile.
    uint32_t startsAndStops;
    // Start events on the host's stack right now.
    std::atomic<int> startsUnderWay;
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

// Keeps the callback and the settings directory of a start event.
void keepStartFields(PluginSession* session, uint32_t callbackAddress, ByteView settingsDir);
// The start sequence: ends a running watch thread, loads the settings file of
// the kept directory (or puts the defaults in place and rewrites the file,
// keeping a file that was there as a backup), then starts a new watch thread.
// While its error box is up the host may send other events, unload included:
// the last start or stop decides whether a watch thread runs, and the module
// stays mapped until this start has returned.
void startSession(PluginSession* session);
// Ends the watch thread; see stopWatch for what holds once it returned.
void stopSession(PluginSession* session);
// Opens the settings file of the kept directory in the editor.
void openSessionSettings(const PluginSession& session);
// The text event: disconnects when `text` is exactly the trigger text, in the
// file's own bytes or in their ANSI spelling.
void onTextEvent(const PluginSession& session, ByteView text);
// Frees the session's strings; called at unload.
void releaseSession(PluginSession* session);
