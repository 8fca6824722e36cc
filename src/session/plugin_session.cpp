#include "session/plugin_session.h"

#include <cstring>

struct ArmedTrigger {
    ArmedTrigger* older;  // the retired list
    uint32_t size;
    uint32_t ansiSize;    // 0: no second spelling
    const uint8_t* ansi;  // inside this block, after the text
    uint8_t bytes[1];     // `size` bytes, then the ANSI spelling
};

namespace {

// What a start took from the session under the lock, to work on without it.
struct StartTicket {
    uint32_t number;
    WatchThread* previousWatch;
    SettingsPath path;
};

ByteView keptSettingsDir(const PluginSession& session) {
    return ByteView{session.settingsDir, session.settingsDirSize};
}

// The first and the last eight bytes of a text of 8 to 16 bytes, which
// between them cover it all.
bool sameEnds(const uint8_t* a, const uint8_t* b, uint32_t size) {
    uint64_t a0, b0, a1, b1;
    memcpy(&a0, a, 8);
    memcpy(&b0, b, 8);
    memcpy(&a1, a + size - 8, 8);
    memcpy(&b1, b + size - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// Most triggers are a short word: those are compared without a call.
bool sameBytes(ByteView text, const uint8_t* bytes, uint32_t size) {
    if (text.size != size) return false;
    if (size - 8 <= 8) return sameEnds(text.data, bytes, size);
    return size == 0 || memcmp(text.data, bytes, size) == 0;
}

bool matches(const ArmedTrigger& trigger, ByteView text) {
    return sameBytes(text, trigger.bytes, trigger.size) ||
           (trigger.ansiSize != 0 && sameBytes(text, trigger.ansi, trigger.ansiSize));
}

bool isArmedAs(const ArmedTrigger* armed, const TriggerText& text) {
    const uint32_t ansiSize = text.ansiBytes != nullptr ? text.ansiSize : 0;
    return armed != nullptr && sameBytes(ByteView{armed->bytes, armed->size}, text.bytes, text.size) &&
           armed->ansiSize == ansiSize &&
           (ansiSize == 0 || memcmp(armed->ansi, text.ansiBytes, ansiSize) == 0);
}

// A published copy of `text`; null when memory ran out.
ArmedTrigger* makeArmedTrigger(const TriggerText& text) {
    const uint32_t ansiSize = text.ansiBytes != nullptr ? text.ansiSize : 0;
    if (text.size > 0x7FFFFFFF - sizeof(ArmedTrigger) - ansiSize) return nullptr;
    auto* armed = static_cast<ArmedTrigger*>(allocateMemory(sizeof(ArmedTrigger) + text.size + ansiSize));
    if (armed == nullptr) return nullptr;
    armed->older = nullptr;
    armed->size = text.size;
    armed->ansiSize = ansiSize;
    armed->ansi = armed->bytes + text.size;
    if (text.size != 0) memcpy(armed->bytes, text.bytes, text.size);
    if (ansiSize != 0) memcpy(armed->bytes + text.size, text.ansiBytes, ansiSize);
    return armed;
}

// Takes the trigger like `text` out of the retired list, if one is there.
ArmedTrigger* takeRetired(PluginSession* session, const TriggerText& text) {
    for (ArmedTrigger** link = &session->retiredTriggers; *link != nullptr; link = &(*link)->older) {
        ArmedTrigger* found = *link;
        if (!isArmedAs(found, text)) continue;
        *link = found->older;
        found->older = nullptr;
        return found;
    }
    return nullptr;
}

// Publishes `next` for text events (null: none); the one it replaces is kept.
// Under stateLock.
void publishTrigger(PluginSession* session, ArmedTrigger* next) {
    auto* current = const_cast<ArmedTrigger*>(session->trigger.load());
    if (current == next) return;
    session->trigger.store(next, std::memory_order_release);
    if (current == nullptr) return;
    current->older = session->retiredTriggers;
    session->retiredTriggers = current;
}

// Arms the trigger of `settings`, or none while it is off. A text used before
// is armed again without new memory, so the kept triggers grow only with
// texts never seen since load. No memory for a new one turns the trigger off,
// as no memory for its text does in the loader. Under stateLock.
void armTrigger(PluginSession* session, Settings* settings) {
    ArmedTrigger* next = nullptr;
    if (settings->triggerEnabled) {
        if (isArmedAs(session->trigger.load(), settings->triggerText)) return;
        next = takeRetired(session, settings->triggerText);
        if (next == nullptr) next = makeArmedTrigger(settings->triggerText);
        settings->triggerEnabled = next != nullptr;
    }
    publishTrigger(session, next);
}

// The first part of a start, under stateLock: numbers it, keeps the host's
// fields, takes the running watch thread to end, and copies what the load
// starts from (everything a load does not reach keeps its value).
void beginStart(PluginSession* session, uint32_t callbackAddress, ByteView settingsDir, StartTicket* ticket,
                Settings* next) {
    takeLock(&session->stateLock);
    ticket->number = ++session->startsAndStops;
    ticket->previousWatch = session->watch;
    session->watch = nullptr;
    session->host.callback.store(reinterpret_cast<HostCallback>(functionAtAddress(callbackAddress)));
    // A directory too long for any settings path is kept only as "too long".
    const bool fits = settingsDir.size <= MAX_SETTINGS_PATH;
    session->settingsDirSize = fits ? settingsDir.size : MAX_SETTINGS_PATH + 1;
    if (fits && settingsDir.size != 0) memcpy(session->settingsDir, settingsDir.data, settingsDir.size);
    formSettingsPath(keptSettingsDir(*session), ticket->path);
    *next = session->settings;
    next->triggerText = TriggerText{};  // every start sets it anew: from line 5 or the default
    releaseLock(&session->stateLock);
}

// Puts `next` in place unless a newer start or stop came in; `next` is left
// holding what is to be freed. True when it was put in place.
bool commitSettings(PluginSession* session, uint32_t startNumber, Settings* next) {
    takeLock(&session->stateLock);
    const bool newest = session->startsAndStops == startNumber;
    if (newest) {
        const Settings previous = session->settings;
        session->settings = *next;
        *next = previous;
        armTrigger(session, &session->settings);
    }
    releaseLock(&session->stateLock);
    return newest;
}

// Replaces, writes or leaves the file as `plan` says; false when the error box is due.
bool settleSettingsFile(const char* path, SettingsFilePlan plan, FileWork* work) {
    if (plan == USE_SETTINGS_FILE) return true;
    if (plan == LEAVE_FILE_SHOW_ERROR) return false;
    if (plan == WRITE_DEFAULT_FILE) return writeDefaultSettings(path, work);
    return replaceJudgedSettingsFile(path, work);
}

// Loads the settings file into `next`, and replaces the file where that failed
// (unless a newer event came in: it stands). All its waiting for files that
// other programs hold comes out of one budget. False when the error box is due.
bool loadAndSettle(PluginSession* session, const StartTicket& ticket, Settings* next) {
    takeLock(&session->fileLock);
    settleLeftovers(&session->leftovers);
    FileWork work{START_PAUSE_BUDGET_MS, &session->leftovers, {}};
    const LoadStatus loaded = loadSettingsFile(ticket.path, next, nullptr, nullptr, &work).status;
    const SettingsFilePlan plan = settleLoadedSettings(next, loaded);
    const bool settled =
        !commitSettings(session, ticket.number, next) || settleSettingsFile(ticket.path, plan, &work);
    releaseLock(&session->fileLock);
    releaseSettings(next);
    return settled;
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

bool prepareSession(PluginSession* session) {
    if (!prepareLock(&session->stateLock)) return false;
    if (prepareLock(&session->fileLock)) return true;
    disposeLock(&session->stateLock);
    return false;
}

void disposeSession(PluginSession* session) {
    disposeLock(&session->fileLock);
    disposeLock(&session->stateLock);
}

void startSession(PluginSession* session, uint32_t callbackAddress, ByteView settingsDir) {
    StartTicket ticket;
    Settings next;
    beginStart(session, callbackAddress, settingsDir, &ticket, &next);
    stopWatch(ticket.previousWatch);
    // The box's message loop may let the host stop and unload the plug-in
    // while this start is still on its stack: the module stays mapped for
    // good from then on. Where it can't be pinned, no box: better unseen than
    // the host's process ended.
    if (!loadAndSettle(session, ticket, &next) && pinModule()) showSettingsFileError();
    takeLock(&session->stateLock);
    if (session->startsAndStops == ticket.number) {
        session->watch = startWatch(scheduleFromSettings(session->settings), &session->host);
    }
    releaseLock(&session->stateLock);
}

void stopSession(PluginSession* session) {
    takeLock(&session->stateLock);
    ++session->startsAndStops;
    WatchThread* watch = session->watch;
    session->watch = nullptr;
    session->host.callback.store(nullptr);
    publishTrigger(session, nullptr);
    releaseLock(&session->stateLock);
    stopWatch(watch);
}

void openSessionSettings(PluginSession* session) {
    uint8_t dir[MAX_SETTINGS_PATH + 1];
    takeLock(&session->stateLock);
    const ByteView kept = keptSettingsDir(*session);
    if (kept.size <= MAX_SETTINGS_PATH && kept.size != 0) memcpy(dir, kept.data, kept.size);
    releaseLock(&session->stateLock);
    openSettingsEditor(ByteView{dir, kept.size});
}

void onTextEvent(const PluginSession& session, Frame frame) {
    const ArmedTrigger* trigger = session.trigger.load(std::memory_order_acquire);
    if (trigger == nullptr) return;
    ByteView text;
    if (decodeTextEvent(frame, &text) && matches(*trigger, text)) requestDisconnect(session.host);
}

void releaseSession(PluginSession* session) {
    settleLeftovers(&session->leftovers);
    publishTrigger(session, nullptr);
    while (session->retiredTriggers != nullptr) {
        ArmedTrigger* older = session->retiredTriggers->older;
        freeMemory(session->retiredTriggers);
        session->retiredTriggers = older;
    }
    releaseSettings(&session->settings);
    session->settings = Settings{};
}
