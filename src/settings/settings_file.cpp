// The settings file on disk: loading it, writing the default file, keeping a
// bad file before it is replaced, and opening it in the editor.
#include <cstring>

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
// after each of these pauses, 2.6 s in all, and never more, so that a start
// cannot hang on a file held for good.
constexpr uint16_t BUSY_PAUSES_MS[] = {10, 20, 40, 80, 160, 320, 500, 500, 500, 500};
constexpr uint32_t BUSY_RETRIES = sizeof BUSY_PAUSES_MS / sizeof BUSY_PAUSES_MS[0];

// One call on a file: a move of `path` to `target`, an open of `path` for
// reading (`opened` set on success) or its removal.
struct FileCall {
    enum { MOVE, OPEN, REMOVE } kind;
    const char* path;
    const char* target;
    bool replace;
    PlatformFile* opened;
};

bool attempt(FileCall* call, FileRefusal* refusal) {
    if (call->kind == FileCall::MOVE)
        return moveFileIntoPlace(call->path, call->target, call->replace, refusal);
    if (call->kind == FileCall::REMOVE) return removeFile(call->path, refusal);
    call->opened = openFileForReading(call->path, refusal);
    return call->opened != nullptr;
}

// Makes the call until it succeeds, is refused other than for a file held by
// another program, or the pauses ran out; true when it succeeded, else false
// with `*refusal` saying why.
bool whenFree(FileCall* call, FileRefusal* refusal) {
    for (uint32_t retry = 0;; ++retry) {
        if (attempt(call, refusal)) return true;
        if (*refusal != REFUSED_BUSY || retry == BUSY_RETRIES) return false;
        pauseThread(BUSY_PAUSES_MS[retry]);
    }
}

// Opens `path` for reading as openFileForReading does, waiting out another
// program that holds it for a moment.
PlatformFile* openWhenFree(const char* path, FileRefusal* refusal) {
    FileCall call{FileCall::OPEN, path, nullptr, false, nullptr};
    whenFree(&call, refusal);
    return call.opened;
}

// Reads the open file through the parser until it has what it needs.
LoadResult parseOpenFile(PlatformFile* file, Settings* target, ParseWatch watch, void* watchContext) {
    SettingsParser parser;
    beginSettingsParse(&parser, target);
    parser.watch = watch;
    parser.watchContext = watchContext;
    uint8_t chunk[READ_CHUNK];
    ParseStatus status = PARSE_MORE;
    while (status == PARSE_MORE) {
        uint32_t got = 0;
        if (!readFileChunk(file, chunk, sizeof chunk, &got)) {
            abandonSettingsParse(&parser);
            return LoadResult{LOAD_READ_ERROR, 0, VALUE_FINE};
        }
        if (got == 0) break;
        status = feedSettingsBytes(&parser, chunk, got);
    }
    finishSettingsParse(&parser);
    return parseResult(&parser);
}

// Writes what is left of the open file `source` into `target`.
bool copyRestOfFile(PlatformFile* target, void* source) {
    uint8_t chunk[READ_CHUNK];
    uint32_t got = 0;
    while (readFileChunk(static_cast<PlatformFile*>(source), chunk, sizeof chunk, &got)) {
        if (got == 0) return true;
        if (!writeFileBytes(target, chunk, got)) return false;
    }
    return false;
}

bool writeDefaultLines(PlatformFile* target, void*) {
    return writeFileBytes(target, DEFAULT_SETTINGS_FILE, DEFAULT_SETTINGS_FILE_SIZE);
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

// What placing a new file came to.
enum PlaceResult : uint8_t {
    PLACED,
    NOT_PLACED,
    TARGET_APPEARED,  // a file that was not to be replaced is there now
};

// Makes `target` whole or not at all: `fill` writes a temporary file beside
// it, and only once every write, the flush to the disk and the close
// succeeded is it moved into place, over a file there only when `replace`. A
// rename only rewrites the folder, so without the flush a power cut could
// leave the new name on a file whose bytes never reached the disk. On any
// failure the temporary file is removed and `target` is as it was.
PlaceResult placeNewFile(const char* target, bool replace, bool (*fill)(PlatformFile*, void*),
                         void* context) {
    SettingsPath temporary;
    PlatformFile* file = createTemporaryFile(target, temporary);
    if (file == nullptr) return NOT_PLACED;
    const bool filled = fill(file, context) && flushFile(file);
    FileRefusal refusal = REFUSED_FOR_GOOD;
    FileCall move{FileCall::MOVE, temporary, target, replace, nullptr};
    if (closeFile(file) && filled && whenFree(&move, &refusal)) return PLACED;
    FileRefusal ignored;
    FileCall removal{FileCall::REMOVE, temporary, nullptr, false, nullptr};
    whenFree(&removal, &ignored);
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

// Keeps the file at `path` as `path` + ".bak". True when it was kept or is no
// longer there; false when it is there but could not be kept, so that a file
// the system refuses to show us today is never replaced unseen.
bool keepAsBackup(const char* path) {
    FileRefusal refusal = REFUSED_FOR_GOOD;
    PlatformFile* source = openWhenFree(path, &refusal);
    if (source == nullptr) return refusal == REFUSED_MISSING;
    SettingsPath backup;
    // A backup the user made read-only is not ours to replace, on any system.
    const bool kept = joinPath(path, static_cast<uint32_t>(strlen(path)), BACKUP_SUFFIX, backup) &&
                      !isReadOnlyFile(backup) && placeNewFile(backup, true, copyRestOfFile, source) == PLACED;
    closeFile(source);
    return kept;
}

}  // namespace

bool formSettingsPath(ByteView dir, SettingsPath out) { return joinPath(dir.data, dir.size, FILE_NAME, out); }

LoadResult loadSettingsFile(const char* path, Settings* target, ParseWatch watch, void* watchContext) {
    FileRefusal refusal = REFUSED_FOR_GOOD;
    PlatformFile* file = openWhenFree(path, &refusal);
    if (file == nullptr)
        return LoadResult{refusal == REFUSED_MISSING ? LOAD_NO_FILE : LOAD_NOT_OPENED, 0, VALUE_FINE};
    const LoadResult parsed = parseOpenFile(file, target, watch, watchContext);
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

bool writeDefaultSettings(const char* path, bool replace) {
    // One that appeared since there was none (the user saved it, a sync client,
    // a drive coming back) is the user's: kept, and nothing went wrong.
    return placeNewFile(path, replace, writeDefaultLines, nullptr) != NOT_PLACED;
}

bool replaceWithDefaultSettings(const char* path, bool wasThere) {
    // A file that was there is the user's work: kept before it is replaced, and
    // never replaced where the user made it read-only (the backup untouched too).
    if (wasThere && (isReadOnlyFile(path) || !keepAsBackup(path))) return false;
    return writeDefaultSettings(path, wasThere);
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
