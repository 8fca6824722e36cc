#include "session/plugin_session.h"

#include <cstring>

#include "platform/platform.h"

namespace {

ByteView keptSettingsDir(const PluginSession& session) {
    return ByteView{session.settingsDir, session.settingsDirSize};
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
    stopSession(session);
    SettingsPath path;
    formSettingsPath(keptSettingsDir(*session), path);
    const LoadStatus loaded = loadSettingsFile(path, &session->settings).status;
    const SettingsFilePlan plan = settleLoadedSettings(&session->settings, loaded);
    if (plan == LEAVE_FILE_SHOW_ERROR) {
        showSettingsFileError();
    } else if (plan != USE_SETTINGS_FILE) {
        replaceWithDefaultSettings(path, plan == BACK_UP_THEN_WRITE_DEFAULT_FILE);
    }
    session->watch = startWatch(scheduleFromSettings(session->settings), &session->host);
}

void stopSession(PluginSession* session) {
    WatchThread* watch = session->watch;
    session->watch = nullptr;
    stopWatch(watch);
}

void openSessionSettings(const PluginSession& session) { openSettingsEditor(keptSettingsDir(session)); }

void onTextEvent(const PluginSession& session, ByteView text) {
    const TriggerText& trigger = session.settings.triggerText;
    if (text.size != trigger.size) return;
    if (text.size != 0 && memcmp(text.data, trigger.bytes, text.size) != 0) return;
    requestDisconnect(session.host);
}

void releaseSession(PluginSession* session) { releaseSettings(&session->settings); }
