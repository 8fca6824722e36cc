#include "session/plugin_session.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// How long the module stays after the start that showed the error box has
// returned: the host copies the start answer, which lives in the module, as
// soon as the call returns.
constexpr uint32_t HOST_COPY_MS = 1000;

ByteView keptSettingsDir(const PluginSession& session) {
    return ByteView{session.settingsDir, session.settingsDirSize};
}

void waitForStartsToReturn(void* argument) {
    const PluginSession* session = static_cast<const PluginSession*>(argument);
    while (session->startsUnderWay.load() != 0) pauseThread(10);
    pauseThread(HOST_COPY_MS);
}

// Backs up, writes or leaves the file as `plan` says, with the error box where
// that fails. The box runs a message loop in which the host may stop and
// unload the plug-in, so the module is held until the start has returned.
void settleSettingsFile(PluginSession* session, const char* path, SettingsFilePlan plan) {
    ModuleHold* hold = holdModule();
    if (plan == LEAVE_FILE_SHOW_ERROR) {
        showSettingsFileError();
    } else {
        replaceWithDefaultSettings(path, plan == BACK_UP_THEN_WRITE_DEFAULT_FILE);
    }
    releaseHoldFromThread(hold, waitForStartsToReturn, session);
}

bool sameBytes(ByteView text, const uint8_t* bytes, uint32_t size) {
    return text.size == size && (size == 0 || memcmp(text.data, bytes, size) == 0);
}

}  // namespace

Schedule scheduleFromSettings(const Settings& from) {
    return Schedule{from.disconnectEnabled, from.disconnectHour, from.disconnectMinute,
                    from.onlineEnabled,     from.onlineHour,     from.onlineMinute};
}

SettingsFilePlan settleLoadedSettings(Settings* settings, LoadStatus loaded) {
    if (loaded == LOAD_OK) return USE_SETTINGS_FILE;
    putDefaultSettings(settings);
    if (loaded == LOAD_NO_FILE) return WRITE_DEFAULT_FILE;
    // A file that is there is the user's work: kept before it is replaced, and
    // left alone while the system will not let us read it.
    return loaded == LOAD_NOT_OPENED ? LEAVE_FILE_SHOW_ERROR : BACK_UP_THEN_WRITE_DEFAULT_FILE;
}

void keepStartFields(PluginSession* session, uint32_t callbackAddress, ByteView settingsDir) {
    session->host.callback.store(reinterpret_cast<HostCallback>(functionAtAddress(callbackAddress)));
    // A directory too long for any settings path is kept only as "too long".
    const bool fits = settingsDir.size <= MAX_SETTINGS_PATH;
    session->settingsDirSize = fits ? settingsDir.size : MAX_SETTINGS_PATH + 1;
    if (fits && settingsDir.size != 0) memcpy(session->settingsDir, settingsDir.data, settingsDir.size);
}

void startSession(PluginSession* session) {
    ++session->startsUnderWay;
    stopSession(session);
    const uint32_t thisStart = session->startsAndStops;
    SettingsPath path;
    formSettingsPath(keptSettingsDir(*session), path);
    const LoadStatus loaded = loadSettingsFile(path, &session->settings).status;
    const SettingsFilePlan plan = settleLoadedSettings(&session->settings, loaded);
    if (plan != USE_SETTINGS_FILE) settleSettingsFile(session, path, plan);
    // A start or stop that came in meanwhile stands: the newest event wins.
    if (session->startsAndStops == thisStart) {
        session->watch = startWatch(scheduleFromSettings(session->settings), &session->host);
    }
    --session->startsUnderWay;
}

void stopSession(PluginSession* session) {
    ++session->startsAndStops;
    WatchThread* watch = session->watch;
    session->watch = nullptr;
    stopWatch(watch);
}

void openSessionSettings(const PluginSession& session) { openSettingsEditor(keptSettingsDir(session)); }

void onTextEvent(const PluginSession& session, ByteView text) {
    const TriggerText& trigger = session.settings.triggerText;
    const bool matches =
        sameBytes(text, trigger.bytes, trigger.size) ||
        (trigger.ansiBytes != nullptr && sameBytes(text, trigger.ansiBytes, trigger.ansiSize));
    if (matches) requestDisconnect(session.host);
}

void releaseSession(PluginSession* session) { releaseSettings(&session->settings); }
