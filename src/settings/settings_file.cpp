// The settings file on disk: loading it, writing the default file, keeping a
// bad file before it is replaced, and opening it in the editor.
#include <cstring>

#include "platform/callconv.h"
#include "platform/platform.h"
#include "settings/settings.h"

const char DEFAULT_SETTINGS_FILE[] =
    "h_disconnect=17\r\n"
    "m_disconnect=15\r\n"
    "h_online=7\r\n"
    "m_online=30\r\n"
    "DisconnectStr=/disconnect\r\n";
static_assert(sizeof DEFAULT_SETTINGS_FILE - 1 == DEFAULT_SETTINGS_FILE_SIZE, "default file size");

namespace {

constexpr char FILE_NAME[] = "dormex.ini";
constexpr char BACKUP_SUFFIX[] = ".bak";
constexpr char DEFAULT_TRIGGER[] = "/disconnect";

constexpr char16_t ERROR_CAPTION[] = u"Ошибка";
constexpr char16_t ERROR_TEXT[] = u"Ошибка при создании файла.";

constexpr uint32_t READ_CHUNK = 512;

// Joins the `headSize` bytes at `head` and `tail` into `out`; false (and "")
// when it does not fit or the head holds a NUL byte.
bool joinPath(const void* head, uint32_t headSize, const char* tail, SettingsPath out) {
    const size_t tailSize = strlen(tail);
    const bool fits = headSize <= MAX_SETTINGS_PATH && tailSize <= MAX_SETTINGS_PATH - headSize;
    if (!fits || (headSize != 0 && memchr(head, 0, headSize) != nullptr)) {
        out[0] = '\0';
        return false;
    }
    if (headSize != 0) memcpy(out, head, headSize);
    memcpy(out + headSize, tail, tailSize + 1);
    return true;
}

// Another program may hold a file for a moment right after it was written or
// closed (a virus scanner, the search indexer, a sync client), and dormex.ini
// itself whenever the user saves it: a call refused that way is made again
// after each of these pauses, out of the one budget a start has for all its
// calls, so that a start cannot hang on a file held for good.
constexpr uint16_t BUSY_PAUSES_MS[] = {10, 20, 40, 80, 160, 320, 500};
constexpr uint32_t LAST_PAUSE = sizeof BUSY_PAUSES_MS / sizeof BUSY_PAUSES_MS[0] - 1;

// One call on a file: a move of `path` to `target`, an open of `path` for
// reading (`opened` set on success) or its removal.
struct FileCall {
    enum { MOVE, OPEN, OPEN_ALONE, REMOVE } kind;
    const char* path;
    const char* target;
    bool replace;
    PlatformFile* opened;
};

bool attempt(FileCall* call, FileRefusal* refusal) {
    if (call->kind == FileCall::MOVE)
        return moveFileIntoPlace(call->path, call->target, call->replace, refusal);
    if (call->kind == FileCall::REMOVE) return removeFile(call->path, refusal);
    call->opened = openFileForReading(call->path, refusal, call->kind == FileCall::OPEN);
    return call->opened != nullptr;
}

// Makes the call until it succeeds, is refused other than for a file held by
// another program, or the start's pauses ran out (it is made once all the
// same); true when it succeeded, else false with `*refusal` saying why.
DORMEX_NO_BUFFER bool whenFree(FileCall* call, FileRefusal* refusal, FileWork* work) {
    for (uint32_t retry = 0;; ++retry) {
        if (attempt(call, refusal)) return true;
        const uint32_t wanted = BUSY_PAUSES_MS[retry < LAST_PAUSE ? retry : LAST_PAUSE];
        const uint32_t pause = wanted < work->pauseLeftMs ? wanted : work->pauseLeftMs;
        if (*refusal != REFUSED_BUSY || pause == 0) return false;
        work->pauseLeftMs -= pause;
        pauseThread(pause);
    }
}

// Moves `from` to `to` as moveFileIntoPlace does, waiting out another program that holds either.
DORMEX_NO_BUFFER bool moveWhenFree(const char* from, const char* to, bool replace, FileRefusal* refusal,
                                   FileWork* work) {
    FileCall call{FileCall::MOVE, from, to, replace, nullptr};
    return whenFree(&call, refusal, work);
}

// Opens `path` for reading as openFileForReading does, waiting out another
// program that holds it for a moment.
DORMEX_NO_BUFFER PlatformFile* openWhenFree(const char* path, bool besideWriters, FileRefusal* refusal,
                                            FileWork* work) {
    FileCall call{besideWriters ? FileCall::OPEN : FileCall::OPEN_ALONE, path, nullptr, false, nullptr};
    whenFree(&call, refusal, work);
    return call.opened;
}

// Removes the file of ours at `path`, or puts the user's file there back at
// `putBackAt` (never over a file there, which is newer); true when that is
// done, or nothing is left to do.
DORMEX_NO_BUFFER bool settleWhenFree(const char* path, const char* putBackAt, FileWork* work) {
    FileCall call{putBackAt[0] != '\0' ? FileCall::MOVE : FileCall::REMOVE, path, putBackAt, false, nullptr};
    FileRefusal refusal = REFUSED_FOR_GOOD;
    return whenFree(&call, &refusal, work) || refusal == REFUSED_MISSING || refusal == REFUSED_EXISTS;
}

// As settleWhenFree, leaving what another program keeps us from doing to a
// later start. Full, the first slot gives way: a list of names, never worth a failure.
void settleOrLeave(const char* path, const char* putBackAt, FileWork* work) {
    Leftovers* leftovers = work->leftovers;
    if (settleWhenFree(path, putBackAt, work) || leftovers == nullptr) return;
    Leftover* slot = leftovers->items;
    for (Leftover& item : leftovers->items) {
        if (item.path[0] == '\0') slot = &item;
    }
    memcpy(slot->path, path, strlen(path) + 1);
    memcpy(slot->putBackAt, putBackAt, strlen(putBackAt) + 1);
}

void removeOurFile(const char* path, FileWork* work) { settleOrLeave(path, "", work); }

constexpr uint32_t FNV_PRIME = 0x01000193;
constexpr FileFingerprint EMPTY_FINGERPRINT{0x811c9dc5, 0, false};

// Reads the open file on from where it is: into `parser` while it wants more
// bytes, and into `print` all along, on to the end when the parse failed (or
// there is no parser), so that the fingerprint tells that file from any
// other. False on a read error.
bool readThrough(PlatformFile* file, SettingsParser* parser, FileFingerprint* print) {
    uint8_t chunk[READ_CHUNK];
    for (;;) {
        uint32_t got = 0;
        if (!readFileChunk(file, chunk, sizeof chunk, &got)) return false;
        if (got == 0) return print->whole = true;
        for (uint32_t i = 0; i < got; ++i) print->hash = (print->hash ^ chunk[i]) * FNV_PRIME;
        print->size += got;
        if (parser != nullptr && parser->status != PARSE_FAILED &&
            feedSettingsBytes(parser, chunk, got) == PARSE_DONE)
            return true;
    }
}

// Reads the open file through the parser until it has what it needs.
LoadResult parseOpenFile(PlatformFile* file, Settings* target, ParseWatch watch, void* watchContext,
                         FileFingerprint* print) {
    SettingsParser parser;
    beginSettingsParse(&parser, target);
    parser.watch = watch;
    parser.watchContext = watchContext;
    *print = EMPTY_FINGERPRINT;
    if (!readThrough(file, &parser, print)) {
        abandonSettingsParse(&parser);
        return LoadResult{LOAD_READ_ERROR, 0, VALUE_FINE};
    }
    finishSettingsParse(&parser);
    return parseResult(&parser);
}

// Temporary names beside `target`: its name with "~" and two letters or
// digits for its last three letters (dormex.~00, dormex.ini.~01, ...), so
// never longer than the target's, and 1,296 of them for names that are taken.
constexpr uint32_t TEMPORARY_NAMES = 36 * 36;

// The `index`-th temporary name for `target`; false when the target's name is
// too short to carry one.
bool temporaryPathFor(const char* target, uint32_t index, SettingsPath out) {
    static const char symbols[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    const size_t size = strlen(target);
    if (size < 3 || size > MAX_SETTINGS_PATH) return false;
    memcpy(out, target, size + 1);
    out[size - 3] = '~';
    out[size - 2] = symbols[index / 36];
    out[size - 1] = symbols[index % 36];
    return true;
}

// Creates a temporary file of our own beside `target`: never one that is
// there, a user's file or folder of that name included. Null when none could
// be made for any other reason, or every name is taken.
PlatformFile* createTemporaryFile(const char* target, SettingsPath temporary) {
    for (uint32_t index = 0; index < TEMPORARY_NAMES; ++index) {
        FileRefusal refusal = REFUSED_FOR_GOOD;
        if (!temporaryPathFor(target, index, temporary)) return nullptr;
        PlatformFile* file = createNewFile(temporary, &refusal);
        if (file != nullptr || refusal != REFUSED_EXISTS) return file;
    }
    return nullptr;
}

// Makes a temporary file beside `target` that holds the default file, every
// byte written, on the disk and closed: a rename only rewrites the folder, so
// without the flush a power cut could leave the new name on bytes that never
// reached the disk. False, with nothing of it left, when any step failed.
bool makeDefaultFileBeside(const char* target, SettingsPath temporary, FileWork* work) {
    PlatformFile* file = createTemporaryFile(target, temporary);
    if (file == nullptr) return false;
    const bool filled =
        writeFileBytes(file, DEFAULT_SETTINGS_FILE, DEFAULT_SETTINGS_FILE_SIZE) && flushFile(file);
    if (closeFile(file) && filled) return true;
    removeOurFile(temporary, work);
    return false;
}

// What placing a new file came to.
enum PlaceResult : uint8_t {
    PLACED,
    NOT_PLACED,
    TARGET_APPEARED,  // a file is there now, which is not ours to replace
};

// Moves the finished temporary file to `target`, where nothing is to be
// replaced; on any failure it is removed and `target` is as it was.
DORMEX_NO_BUFFER PlaceResult placeTemporary(const char* temporary, const char* target, FileWork* work) {
    FileRefusal refusal = REFUSED_FOR_GOOD;
    if (moveWhenFree(temporary, target, false, &refusal, work)) return PLACED;
    removeOurFile(temporary, work);
    return refusal == REFUSED_EXISTS ? TARGET_APPEARED : NOT_PLACED;
}

// Notepad by its full path, in the system's own Windows folder: by its bare
// name it is looked for in the current folder first, where anyone may have put
// a notepad.exe of their own. False when that folder can't be had.
bool notepadPath(SettingsPath out) {
    char windows[MAX_SETTINGS_PATH + 1];
    const uint32_t size = systemWindowsDirectory(windows, sizeof windows);
    if (size == 0) return false;
    // "C:\" ends in its separator, "C:\Windows" does not.
    return joinPath(windows, size, windows[size - 1] == '\\' ? "notepad.exe" : "\\notepad.exe", out);
}

// Moves the file at `path` to a name of ours beside `backup`, where nobody
// else changes it or puts another in its place. False when it could not be
// moved: `*gone` when nothing is at `path` any more.
DORMEX_NO_BUFFER bool setAside(const char* path, const char* backup, SettingsPath aside, bool* gone,
                               FileWork* work) {
    FileRefusal refusal = REFUSED_EXISTS;
    for (uint32_t index = 0; refusal == REFUSED_EXISTS && temporaryPathFor(backup, index, aside); ++index) {
        if (moveWhenFree(path, aside, false, &refusal, work)) return true;
    }
    *gone = refusal == REFUSED_MISSING;
    return false;
}

// Whether the file at `path` holds the bytes `judged` describes, read with
// writers kept out; `*unreadable` when it could not be read whole.
DORMEX_NO_BUFFER bool holdsJudgedBytes(const char* path, const FileFingerprint& judged, bool* unreadable,
                                       FileWork* work) {
    FileRefusal refusal = REFUSED_FOR_GOOD;
    PlatformFile* file = openWhenFree(path, false, &refusal, work);
    FileFingerprint now = EMPTY_FINGERPRINT;
    *unreadable = file == nullptr || !readThrough(file, nullptr, &now);
    if (file != nullptr) closeFile(file);
    return !*unreadable && now.hash == judged.hash && now.size == judged.size;
}

// Keeps the judged file, set aside at `aside`, as `backup`, then puts the
// finished default file `temporary` at `path`. Whatever fails, the user's file
// goes back to `path`. False when the box is due.
DORMEX_NO_BUFFER bool backUpAndPlace(const char* aside, const char* backup, const char* temporary,
                                     const char* path, FileWork* work) {
    FileRefusal refusal = REFUSED_FOR_GOOD;
    if (!moveWhenFree(aside, backup, true, &refusal, work)) {
        settleOrLeave(aside, path, work);
        removeOurFile(temporary, work);
        return false;
    }
    const PlaceResult placed = placeTemporary(temporary, path, work);
    if (placed == NOT_PLACED) settleOrLeave(backup, path, work);
    // A file saved at `path` since it was set aside is the user's newer work: kept.
    return placed != NOT_PLACED;
}

}  // namespace

bool formSettingsPath(ByteView dir, SettingsPath out) { return joinPath(dir.data, dir.size, FILE_NAME, out); }

LoadResult loadSettingsFile(const char* path, Settings* target, ParseWatch watch, void* watchContext,
                            FileWork* work) {
    FileWork own{START_PAUSE_BUDGET_MS, nullptr, {}};
    if (work == nullptr) work = &own;
    FileRefusal refusal = REFUSED_FOR_GOOD;
    PlatformFile* file = openWhenFree(path, true, &refusal, work);
    if (file == nullptr)
        return LoadResult{refusal == REFUSED_MISSING ? LOAD_NO_FILE : LOAD_NOT_OPENED, 0, VALUE_FINE};
    const LoadResult parsed = parseOpenFile(file, target, watch, watchContext, &work->read);
    const bool closed = closeFile(file);
    if (!closed && parsed.status == LOAD_OK) return LoadResult{LOAD_READ_ERROR, 0, VALUE_FINE};
    return parsed;
}

void putDefaultSettings(Settings* target) {
    target->disconnectHour = 17;
    target->disconnectMinute = 15;
    target->onlineHour = 7;
    target->onlineMinute = 30;
    // On failure the old text stays; the trigger still works as before.
    setTriggerText(&target->triggerText, reinterpret_cast<const uint8_t*>(DEFAULT_TRIGGER),
                   sizeof DEFAULT_TRIGGER - 1);
}

bool writeDefaultSettings(const char* path, FileWork* work) {
    SettingsPath temporary;
    // One that appeared since there was none (the user saved it, a sync client,
    // a drive coming back) is the user's: kept, and nothing went wrong.
    return makeDefaultFileBeside(path, temporary, work) &&
           placeTemporary(temporary, path, work) != NOT_PLACED;
}

bool replaceJudgedSettingsFile(const char* path, FileWork* work) {
    SettingsPath backup, aside, temporary;
    // A file not read whole can't be told from another; one the user made
    // read-only, or whose backup they did, is not ours to replace.
    if (!work->read.whole || isReadOnlyFile(path) ||
        !joinPath(path, static_cast<uint32_t>(strlen(path)), BACKUP_SUFFIX, backup) ||
        isReadOnlyFile(backup) || !makeDefaultFileBeside(path, temporary, work))
        return false;
    // What is at the path now may not be the file judged: set aside, it is
    // ours to look at, and goes back where it was when it is another.
    bool gone = false, unreadable = true;
    const bool moved = setAside(path, backup, aside, &gone, work);
    if (moved && holdsJudgedBytes(aside, work->read, &unreadable, work))
        return backUpAndPlace(aside, backup, temporary, path, work);
    if (moved) settleOrLeave(aside, path, work);
    removeOurFile(temporary, work);
    // Changed or gone since it was read: the user's doing, and no error.
    return gone || (moved && !unreadable);
}

DORMEX_NO_BUFFER void settleLeftovers(Leftovers* leftovers) {
    FileWork once{0, nullptr, {}};
    for (Leftover& item : leftovers->items) {
        if (item.path[0] != '\0' && settleWhenFree(item.path, item.putBackAt, &once)) item.path[0] = '\0';
    }
}

void showSettingsFileError() { showErrorBox(ERROR_CAPTION, ERROR_TEXT); }

void openSettingsEditor(ByteView dir) {
    SettingsPath path;
    if (!formSettingsPath(dir, path)) return;
    // Quoted: Notepad takes its whole command line as one name only by habit.
    char quoted[MAX_SETTINGS_PATH + 3];
    const size_t size = strlen(path);
    quoted[0] = '"';
    memcpy(quoted + 1, path, size);
    memcpy(quoted + 1 + size, "\"", 2);
    SettingsPath notepad;
    if (notepadPath(notepad) && launchProgram(notepad, quoted)) return;
    // Notepad is an optional part of Windows that users do remove: then the
    // program the user opens .ini files with.
    launchProgram(path, nullptr);
}

void releaseSettings(Settings* settings) { setTriggerText(&settings->triggerText, nullptr, 0); }
