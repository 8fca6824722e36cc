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

// Windows-1251: "Ошибка" and "Ошибка при создании файла.".
constexpr char ERROR_CAPTION[] = "\xCE\xF8\xE8\xE1\xEA\xE0";
constexpr char ERROR_TEXT[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xF1\xEE\xE7\xE4\xE0\xED\xE8\xE8 "
    "\xF4\xE0\xE9\xEB\xE0.";

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

// Copies the rest of `source` to a new file at `to`; false on any failure.
bool copyToNewFile(PlatformFile* source, const char* to) {
    PlatformFile* target = createFileForWriting(to);
    if (target == nullptr) return false;
    bool ok = true;
    uint8_t chunk[READ_CHUNK];
    uint32_t got = 0;
    while (ok && (ok = readFileChunk(source, chunk, sizeof chunk, &got)) && got != 0) {
        ok = writeFileBytes(target, chunk, got);
    }
    return closeFile(target) && ok;
}

// Keeps the file at `path` as `path` + ".bak". True when it was kept or is no
// longer there; false when it is there but could not be kept, so that a file
// the system refuses to show us today is never replaced unseen.
bool keepAsBackup(const char* path) {
    bool missing = false;
    PlatformFile* source = openFileForReading(path, &missing);
    if (source == nullptr) return missing;
    SettingsPath backup;
    const bool kept = joinPath(path, static_cast<uint32_t>(strlen(path)), BACKUP_SUFFIX, backup) &&
                      copyToNewFile(source, backup);
    closeFile(source);
    return kept;
}

}  // namespace

bool formSettingsPath(ByteView dir, SettingsPath out) { return joinPath(dir.data, dir.size, FILE_NAME, out); }

LoadResult loadSettingsFile(const char* path, Settings* target, ParseWatch watch, void* watchContext) {
    bool missing = false;
    PlatformFile* file = openFileForReading(path, &missing);
    if (file == nullptr) return LoadResult{missing ? LOAD_NO_FILE : LOAD_NOT_OPENED, 0, VALUE_FINE};
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

void writeDefaultSettings(const char* path) {
    PlatformFile* file = createFileForWriting(path);
    if (file == nullptr) {
        showSettingsFileError();
        return;
    }
    writeFileBytes(file, DEFAULT_SETTINGS_FILE, DEFAULT_SETTINGS_FILE_SIZE);
    closeFile(file);
}

void replaceWithDefaultSettings(const char* path, bool wasThere) {
    // A file that was there is the user's work: keep it before it is replaced.
    if (wasThere && !keepAsBackup(path)) {
        showSettingsFileError();
        return;
    }
    writeDefaultSettings(path);
}

void showSettingsFileError() { showErrorBox(ERROR_CAPTION, ERROR_TEXT); }

void openSettingsEditor(ByteView dir) {
    SettingsPath path;
    if (!formSettingsPath(dir, path)) return;
    launchProgram("notepad.exe", path);
}

void releaseSettings(Settings* settings) { setTriggerText(&settings->triggerText, nullptr, 0); }
