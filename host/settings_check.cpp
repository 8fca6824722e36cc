// dormex-host check. The file is read by the plug-in's own loader, with a
// watch that notes each line's value for the report, and what happens next is
// the start sequence's own decision. Beside that the checker looks only at
// what the loader cannot tell: whether the file is UTF-16, and whether the
// files the plug-in would write can be written (write_outlook.h).
#include "settings_check.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "host_text.h"
#include "messages.h"
#include "session/plugin_session.h"
#include "settings/settings.h"
#include "write_outlook.h"

namespace {

constexpr int EXIT_VALID = 0;
constexpr int EXIT_REPLACED = 1;
constexpr int EXIT_UNREADABLE = 2;

constexpr int LINE_COUNT = 5;
constexpr int TRIGGER_INDEX = 4;
constexpr uint32_t SHOWN_BYTES = 48;  // of a value, in a report line
constexpr uint32_t HEAD_BYTES = 64;   // of the file, to tell UTF-16
constexpr char FILE_NAME[] = "dormex.ini";
constexpr char BACKUP_SUFFIX[] = ".bak";

// A value as a report shows it: its first bytes and its whole size.
struct SeenValue {
    uint8_t bytes[SHOWN_BYTES];
    uint32_t size;
};

// What the watch saw of one line.
struct SeenLine {
    bool read;      // the parser came to its end
    bool pastEnd;   // it lies after the end of the file
    bool isNumber;  // lines 1 to 4: the value parses, as `number`
    int32_t number;
    SeenValue value;
};

// The watch's notes over one load.
struct Seen {
    SeenLine lines[LINE_COUNT];
    SeenValue wholeLine;    // the line so far
    SeenValue afterEquals;  // what follows its first "=" so far
    bool fileEnded;
    bool byteOrderMark;  // the parser skipped one at the file start
};

enum Utf16Form { NOT_UTF16, UTF16_LE, UTF16_BE };

// One file as a freshly loaded plug-in reads it at a start.
struct Reading {
    Settings settings;
    Seen seen;
    LoadResult result;
    DWORD openError;  // why the file could not be opened
    Utf16Form utf16;
};

void put(const std::string& line) { writeText(stdout, line + "\n"); }

void addByte(SeenValue* value, uint8_t byte) {
    if (value->size < SHOWN_BYTES) value->bytes[value->size] = byte;
    if (value->size != UINT32_MAX) ++value->size;
}

void noteLineEnd(Seen* seen, const SettingsParser* parser) {
    SeenLine& line = seen->lines[parser->line];
    line.read = true;
    line.pastEnd = seen->fileEnded && seen->wholeLine.size == 0;
    line.value = parser->sawEquals ? seen->afterEquals : seen->wholeLine;
    if (parser->line != TRIGGER_INDEX) {
        const ValueScan& scan = parser->sawEquals ? parser->afterEquals : parser->wholeLine;
        line.isNumber = finishNumber(&scan.number, &line.number);
    }
    seen->wholeLine.size = 0;
    seen->afterEquals.size = 0;
}

// The parser's watch: keeps the start of each line's value.
void watchLine(void* context, const SettingsParser* parser, int byte) {
    Seen* seen = static_cast<Seen*>(context);
    seen->byteOrderMark = parser->skippedByteOrderMark;
    if (byte == FILE_ENDED) {
        seen->fileEnded = true;
    } else if (byte == LINE_ENDED) {
        noteLineEnd(seen, parser);
    } else {
        addByte(&seen->wholeLine, static_cast<uint8_t>(byte));
        if (parser->sawEquals) addByte(&seen->afterEquals, static_cast<uint8_t>(byte));
    }
}

bool endsWithSeparator(const std::string& path) {
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// The file an argument names: FILE, or the dormex.ini of a folder. A folder is
// one that is there or a name that ends in a separator; cmd hands "C:\dir\" over
// as C:\dir" (to it \" is a quote), so a trailing quote marks a folder too.
std::string settingsPathFor(std::string argument) {
    bool folder = !argument.empty() && argument.back() == '"';
    if (folder) argument.pop_back();
    folder = folder || endsWithSeparator(argument) || isFolder(argument);
    if (!folder) return argument;
    if (!argument.empty() && !endsWithSeparator(argument)) argument += '\\';
    return argument + FILE_NAME;
}

// UTF-16 by its byte-order mark, or by NUL bytes in every other place, as
// ASCII text spelled in UTF-16 has them.
Utf16Form utf16FormOf(const uint8_t* head, uint32_t size) {
    if (size >= 2 && head[0] == 0xff && head[1] == 0xfe) return UTF16_LE;
    if (size >= 2 && head[0] == 0xfe && head[1] == 0xff) return UTF16_BE;
    uint32_t nuls[2] = {0, 0};
    for (uint32_t i = 0; i < size; ++i) nuls[i % 2] += head[i] == 0;
    const uint32_t pairs = size / 2;
    if (pairs >= 2 && nuls[1] * 2 > pairs && nuls[0] == 0) return UTF16_LE;
    if (pairs >= 2 && nuls[0] * 2 > pairs && nuls[1] == 0) return UTF16_BE;
    return NOT_UTF16;
}

Utf16Form utf16FormOfFile(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return NOT_UTF16;
    uint8_t head[HEAD_BYTES];
    DWORD got = 0;
    const BOOL read = ReadFile(file, head, sizeof head, &got, nullptr);
    CloseHandle(file);
    return read ? utf16FormOf(head, got) : NOT_UTF16;
}

TextEncoding encodingOf(const uint8_t* bytes, uint32_t size) {
    return isUtf8Letters(bytes, size) ? TEXT_UTF8 : TEXT_ANSI;
}

// A value quoted as the plug-in reads it, its size after it when it is cut.
std::string quotedValue(const SeenValue& value) {
    const uint32_t kept = value.size < SHOWN_BYTES ? value.size : SHOWN_BYTES;
    const TextEncoding encoding = encodingOf(value.bytes, utf8Boundary(value.bytes, kept));
    const std::string quoted = quotedText(value.bytes, value.size, encoding, SHOWN_BYTES);
    return value.size > SHOWN_BYTES ? quoted + " (" + byteCount(value.size) + ")" : quoted;
}

unsigned lineNumber(int index) { return static_cast<unsigned>(index + 1); }

std::string twoDigits(uint8_t value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// Why a line that was read switched its setting off.
std::string offReason(const SeenLine& line, int index) {
    if (line.pastEnd) return say(NO_LINE, lineNumber(index));
    return say(line.value.size == 0 ? LINE_EMPTY : LINE_DASH, lineNumber(index));
}

std::string offAsLoaded(int index) { return say(SETTING_OFF, say(LINE_NOT_READ, lineNumber(index)).c_str()); }

// Why a stored hour or minute differs from the number on its line; "" when not.
std::string numberNote(const SeenLine& line, int index, uint8_t stored) {
    const unsigned low = static_cast<uint8_t>(line.number);
    if (stored != low)
        return say(OUT_OF_RANGE, lineNumber(index), static_cast<int>(line.number), unsigned{stored});
    if (line.number != static_cast<int32_t>(low)) {
        return say(LOW_BITS, lineNumber(index), static_cast<int>(line.number), low);
    }
    return "";
}

void addNote(std::string* notes, const std::string& note) {
    if (note.empty()) return;
    *notes += notes->empty() ? " (" : "; ";
    *notes += note;
}

// A read time line that is not a number is off, or the load would have failed on it.
std::string timeLineNote(const SeenLine& line, int index, uint8_t stored) {
    if (line.isNumber) return numberNote(line, index, stored);
    return say(VALUE_FROM_BEFORE, offReason(line, index).c_str());
}

// A time pair: its hour on line `first`, its minute on the line after.
std::string describePair(const Reading& reading, int first, bool on, uint8_t hour, uint8_t minute) {
    const SeenLine& minuteLine = reading.seen.lines[first + 1];
    if (!on && !minuteLine.read) return offAsLoaded(first + 1);
    if (!on) return say(SETTING_OFF, offReason(minuteLine, first + 1).c_str());
    const std::string time = say(EVERY_DAY_AT, (twoDigits(hour) + ":" + twoDigits(minute)).c_str());
    if (reading.result.status != LOAD_OK) return time + " (" + text(DEFAULT_TIME) + ")";
    std::string notes;
    addNote(&notes, timeLineNote(reading.seen.lines[first], first, hour));
    addNote(&notes, timeLineNote(minuteLine, first + 1, minute));
    return time + notes + (notes.empty() ? "" : ")");
}

std::string describeTrigger(const Reading& reading) {
    const Settings& settings = reading.settings;
    const SeenLine& line = reading.seen.lines[TRIGGER_INDEX];
    if (settings.triggerEnabled) {
        const TriggerText& trigger = settings.triggerText;
        const TextEncoding encoding = encodingOf(trigger.bytes, trigger.size);
        std::string about = byteCount(trigger.size);
        if (encoding == TEXT_UTF8) about += ", UTF-8";
        if (reading.result.status != LOAD_OK) about += std::string(", ") + text(DEFAULT_TRIGGER);
        return quotedText(trigger.bytes, trigger.size, encoding, SHOWN_BYTES) + " (" + about + ")";
    }
    if (line.read && reading.result.status != LOAD_NO_MEMORY) {
        return say(SETTING_OFF, offReason(line, TRIGGER_INDEX).c_str());
    }
    return offAsLoaded(TRIGGER_INDEX);
}

void printSettings(const Reading& reading, const char* indent) {
    const Settings& s = reading.settings;
    const MessageId labels[3] = {LABEL_DISCONNECT, LABEL_CONNECT, LABEL_TRIGGER};
    const std::string values[3] = {
        describePair(reading, 0, s.disconnectEnabled, s.disconnectHour, s.disconnectMinute),
        describePair(reading, 2, s.onlineEnabled, s.onlineHour, s.onlineMinute), describeTrigger(reading)};
    uint32_t width = 0;
    for (const MessageId label : labels) width = std::max(width, textWidth(text(label)));
    for (int i = 0; i < 3; ++i) put(indent + paddedTo(text(labels[i]), width + 2) + values[i]);
}

MessageId problemWords(ValueProblem problem) {
    switch (problem) {
        case VALUE_TRAILING_BLANK:
            return BAD_TRAILING_BLANK;
        case VALUE_NO_DIGITS:
            return BAD_NO_DIGITS;
        case VALUE_TOO_LARGE:
            return BAD_TOO_LARGE;
        default:
            return BAD_CHARACTER;
    }
}

// The first lines of the report: the verdict, and why the file would be replaced.
void printVerdict(const std::string& name, const Reading& reading) {
    const LoadResult& result = reading.result;
    const char* file = name.c_str();
    switch (result.status) {
        case LOAD_OK:
            put(say(CHECK_VALID, file));
            return;
        case LOAD_NO_FILE:
        case LOAD_NOT_OPENED:
            put(say(CHECK_UNREADABLE, file, windowsErrorWords(reading.openError).c_str()));
            return;
        case LOAD_READ_ERROR:
            put(say(CHECK_UNREADABLE, file, text(CHECK_READ_ERROR)));
            return;
        case LOAD_NO_MEMORY:
            put(say(CHECK_REPLACED, file));
            put(text(CHECK_NO_MEMORY));
            return;
        case LOAD_BAD_VALUE:
            put(say(CHECK_REPLACED, file));
            // In UTF-16 every value holds NUL bytes: the encoding is the reason, not the line.
            if (reading.utf16 != NOT_UTF16) return;
            put(say(CHECK_BAD_LINE, unsigned{result.line},
                    quotedValue(reading.seen.lines[result.line - 1].value).c_str(),
                    text(problemWords(result.problem))));
            return;
    }
}

// Reads `path` as the plug-in does at a start and settles it with the start
// sequence's decision; the file is neither changed nor replaced here.
SettingsFilePlan readAsAtStart(const std::string& path, Reading* reading) {
    reading->result = loadSettingsFile(path.c_str(), &reading->settings, watchLine, &reading->seen);
    const LoadStatus status = reading->result.status;
    const bool opened = status != LOAD_NO_FILE && status != LOAD_NOT_OPENED;
    reading->openError = opened ? 0 : GetLastError();
    reading->utf16 = opened ? utf16FormOfFile(path) : NOT_UTF16;
    return settleLoadedSettings(&reading->settings, reading->result.status);
}

// The default file, read by the same parser, for what follows the replacement.
void printDefaultFileSettings() {
    Reading reading = {};
    SettingsParser parser;
    beginSettingsParse(&parser, &reading.settings);
    parser.watch = watchLine;
    parser.watchContext = &reading.seen;
    feedSettingsBytes(&parser, reinterpret_cast<const uint8_t*>(DEFAULT_SETTINGS_FILE),
                      DEFAULT_SETTINGS_FILE_SIZE);
    finishSettingsParse(&parser);
    reading.result = parseResult(&parser);
    printSettings(reading, "    ");
    releaseSettings(&reading.settings);
}

// One file the plug-in writes: `done` when it can, the error box when it cannot.
bool planWrite(const std::string& path, const WriteOutlook& outlook, const std::string& done) {
    if (outlook.chance == CANNOT_WRITE) {
        put(say(PLAN_BOX_CANNOT_WRITE, shownAnsi(path).c_str(), text(outlook.why)));
        return false;
    }
    put(done);
    if (outlook.chance == MAY_WRITE) put(text(outlook.why));
    return true;
}

// The backup first: when it cannot be written, the file is left as it is.
bool planBackupAndReplace(const std::string& path) {
    const std::string backup = path + BACKUP_SUFFIX;
    const WriteOutlook outlook = writeOutlook(backup);
    if (outlook.chance == CANNOT_WRITE) put(text(PLAN_LEAVE_FILE));
    return planWrite(backup, outlook, say(PLAN_KEEP_BACKUP, shownAnsi(backup).c_str())) &&
           planWrite(path, writeOutlook(path), text(PLAN_WRITE_IN_PLACE));
}

// Something is there that cannot be opened, or nothing can be by that name.
bool isThereButClosed(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

void printRunUntilNextStart(const Reading& reading) {
    put(text(PLAN_RUN_UNTIL));
    printSettings(reading, "    ");
}

void printPlan(const std::string& path, const Reading& reading, SettingsFilePlan plan) {
    put(text(PLAN_HEAD));
    if (plan == LEAVE_FILE_SHOW_ERROR) {
        put(text(isThereButClosed(reading.openError) ? PLAN_BOX_LOCKED : PLAN_BOX_NO_SUCH_NAME));
        printRunUntilNextStart(reading);
        put(text(PLAN_SAME_UNTIL_READABLE));
        return;
    }
    const bool written = plan == BACK_UP_THEN_WRITE_DEFAULT_FILE
                             ? planBackupAndReplace(path)
                             : planWrite(path, writeOutlook(path), text(PLAN_WRITE_THERE));
    printRunUntilNextStart(reading);
    if (!written) {
        put(text(PLAN_SAME_UNTIL_FIXED));
        return;
    }
    put(text(PLAN_THEN_DEFAULT));
    printDefaultFileSettings();
}

void printUtf16Note(Utf16Form form) {
    if (form != NOT_UTF16) put(say(NOTE_UTF16, form == UTF16_LE ? "UTF-16 LE" : "UTF-16 BE"));
}

void printBlankNote(MessageId note, uint8_t byte) {
    if (byte == ' ') put(say(note, text(A_BLANK)));
    if (byte == '\t') put(say(note, text(A_TAB)));
}

// Which spellings of UTF-8 letters a chat text may come in.
void printSpellings(const TriggerText& trigger) {
    const unsigned codePage = ansiCodePage();
    if (codePage == CP_UTF8) return;
    if (trigger.ansiBytes == nullptr) {
        put(say(NOTE_UTF8_ONLY, codePage));
        return;
    }
    put(say(NOTE_BOTH_SPELLINGS, byteCount(trigger.size).c_str(), codePage,
            byteCount(trigger.ansiSize).c_str()));
}

// What the file's encoding and the trigger's bytes mean for a text to match.
void printTriggerNotes(const Reading& reading) {
    if (reading.seen.byteOrderMark) put(text(NOTE_BYTE_ORDER_MARK));
    const Settings& settings = reading.settings;
    const TriggerText& trigger = settings.triggerText;
    if (!settings.triggerEnabled || trigger.size == 0) return;
    if (isUtf8Letters(trigger.bytes, trigger.size)) {
        printSpellings(trigger);
    } else if (!isPlainAnsi(trigger.bytes, trigger.size)) {
        put(say(NOTE_NOT_TEXT, ansiCodePage()));
    }
    printBlankNote(NOTE_LEADING_BLANK, trigger.bytes[0]);
    printBlankNote(NOTE_TRAILING_BLANK, trigger.bytes[trigger.size - 1]);
}

}  // namespace

int checkSettingsFile(const Argument* argument) {
    if (argument != nullptr && !argument->spelled) {
        const std::string why = say(PATH_NOT_IN_CODE_PAGE, ansiCodePage());
        put(say(CHECK_UNREADABLE, argument->typed.c_str(), why.c_str()));
        return EXIT_UNREADABLE;
    }
    const std::string path = argument == nullptr ? std::string(FILE_NAME) : settingsPathFor(argument->ansi);
    Reading reading = {};
    const SettingsFilePlan plan = readAsAtStart(path, &reading);
    printVerdict(shownAnsi(path), reading);
    printUtf16Note(reading.utf16);
    if (plan == USE_SETTINGS_FILE) {
        printSettings(reading, "  ");
        printTriggerNotes(reading);
    } else {
        printPlan(path, reading, plan);
    }
    if (reading.utf16 != NOT_UTF16) put(text(FIX_UTF16));
    releaseSettings(&reading.settings);
    if (plan == USE_SETTINGS_FILE) return EXIT_VALID;
    const LoadStatus status = reading.result.status;
    const bool unreadable = status == LOAD_NO_FILE || status == LOAD_NOT_OPENED || status == LOAD_READ_ERROR;
    return unreadable ? EXIT_UNREADABLE : EXIT_REPLACED;
}
