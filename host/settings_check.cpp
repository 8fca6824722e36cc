// dormex-host check. The file is read by the plug-in's own loader, with a
// watch that notes each line's value for the report, and what happens next is
// the start sequence's own decision; nothing here reads the file's format.
#include "settings_check.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "host_trace.h"
#include "session/plugin_session.h"
#include "settings/settings.h"

namespace {

constexpr int EXIT_VALID = 0;
constexpr int EXIT_REPLACED = 1;
constexpr int EXIT_UNREADABLE = 2;

constexpr int LINE_COUNT = 5;
constexpr int TRIGGER_INDEX = 4;
constexpr uint32_t SHOWN_BYTES = 48;  // of a value, in a report line
constexpr char FILE_NAME[] = "dormex.ini";

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
};

// One file as a freshly loaded plug-in reads it at a start.
struct Reading {
    Settings settings;
    Seen seen;
    LoadResult result;
    DWORD openError;  // why the file could not be opened
};

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
    if (byte == FILE_ENDED) {
        seen->fileEnded = true;
    } else if (byte == LINE_ENDED) {
        noteLineEnd(seen, parser);
    } else {
        addByte(&seen->wholeLine, static_cast<uint8_t>(byte));
        if (parser->sawEquals) addByte(&seen->afterEquals, static_cast<uint8_t>(byte));
    }
}

// The file the argument names: FILE, DIR's dormex.ini, or ./dormex.ini.
std::string settingsPathFor(const char* argument) {
    if (argument == nullptr) return FILE_NAME;
    std::string path = argument;
    const DWORD attributes = GetFileAttributesA(argument);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return path;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    return path + FILE_NAME;
}

std::string escapedText(const std::string& text) {
    return escapedBytes(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

// Up to SHOWN_BYTES of the bytes, quoted and escaped, "..." when cut.
std::string quotedStart(const uint8_t* bytes, uint32_t size) {
    std::string text = quotedBytes(bytes, size <= SHOWN_BYTES ? size : SHOWN_BYTES);
    if (size > SHOWN_BYTES) text.insert(text.size() - 1, "...");
    return text;
}

std::string byteCount(uint32_t size) { return std::to_string(size) + " bytes"; }

std::string lineName(int index) { return "line " + std::to_string(index + 1); }

std::string twoDigits(uint8_t value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// Why a line that was read switched its setting off.
std::string offReason(const SeenLine& line, int index) {
    if (line.pastEnd) return "no " + lineName(index);
    return lineName(index) + " is " + (line.value.size == 0 ? "empty" : "\"-\"");
}

// Why a stored hour or minute differs from the number on its line; "" when not.
std::string numberNote(const SeenLine& line, int index, uint8_t stored) {
    const uint8_t low = static_cast<uint8_t>(line.number);
    const std::string says = lineName(index) + " is " + std::to_string(line.number);
    if (stored != low) return says + ", out of range: " + std::to_string(stored) + " instead";
    if (line.number != low) return says + ": its low 8 bits, " + std::to_string(low);
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
    return offReason(line, index) + ": the value from before stays, 0 after loading";
}

// A time pair: its hour on line `first`, its minute on the line after.
std::string describePair(const Reading& reading, int first, bool on, uint8_t hour, uint8_t minute) {
    const SeenLine& minuteLine = reading.seen.lines[first + 1];
    if (!on && !minuteLine.read) {
        return "off (" + lineName(first + 1) + " not read: off as when the plug-in was loaded)";
    }
    if (!on) return "off (" + offReason(minuteLine, first + 1) + ")";
    const std::string time = "every day at " + twoDigits(hour) + ":" + twoDigits(minute);
    if (reading.result.status != LOAD_OK) return time + " (the default time)";
    std::string notes;
    addNote(&notes, timeLineNote(reading.seen.lines[first], first, hour));
    addNote(&notes, timeLineNote(minuteLine, first + 1, minute));
    return time + notes + (notes.empty() ? "" : ")");
}

std::string describeTrigger(const Reading& reading) {
    const Settings& settings = reading.settings;
    const SeenLine& line = reading.seen.lines[TRIGGER_INDEX];
    if (settings.triggerEnabled) {
        const TriggerText& text = settings.triggerText;
        const char* whose = reading.result.status == LOAD_OK ? "" : ", the default text";
        return quotedStart(text.bytes, text.size) + " (" + byteCount(text.size) + whose + ")";
    }
    if (line.read && reading.result.status != LOAD_NO_MEMORY)
        return "off (" + offReason(line, TRIGGER_INDEX) + ")";
    return "off (" + lineName(TRIGGER_INDEX) + " not read: off as when the plug-in was loaded)";
}

void printSettings(const Reading& reading, const char* indent) {
    const Settings& s = reading.settings;
    const std::string lines[3] = {
        "disconnect  " + describePair(reading, 0, s.disconnectEnabled, s.disconnectHour, s.disconnectMinute),
        "connect     " + describePair(reading, 2, s.onlineEnabled, s.onlineHour, s.onlineMinute),
        "trigger     " + describeTrigger(reading)};
    for (const std::string& line : lines) printf("%s%s\n", indent, line.c_str());
}

const char* problemWords(ValueProblem problem) {
    switch (problem) {
        case VALUE_TRAILING_BLANK:
            return "a trailing blank";
        case VALUE_NO_DIGITS:
            return "no digits";
        case VALUE_TOO_LARGE:
            return "beyond 32 bits";
        default:
            return "a character that does not belong in a number";
    }
}

std::string openErrorWords(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return "no such file";
        case ERROR_PATH_NOT_FOUND:
            return "no such folder";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_SHARING_VIOLATION:
            return "in use by another program";
        default:
            return "Windows error " + std::to_string(error);
    }
}

// The first line of the report: the verdict, and for a bad line which and why.
void printVerdict(const std::string& name, const Reading& reading) {
    const LoadResult& result = reading.result;
    switch (result.status) {
        case LOAD_OK:
            printf("%s: valid\n", name.c_str());
            return;
        case LOAD_NO_FILE:
        case LOAD_NOT_OPENED:
            printf("%s: cannot be read: %s\n", name.c_str(), openErrorWords(reading.openError).c_str());
            return;
        case LOAD_READ_ERROR:
            printf("%s: cannot be read: a read error\n", name.c_str());
            return;
        case LOAD_NO_MEMORY:
            printf("%s: the plug-in would replace it\n  line 5: no memory for the trigger text\n",
                   name.c_str());
            return;
        case LOAD_BAD_VALUE: {
            const int index = result.line - 1;
            const SeenValue& seen = reading.seen.lines[index].value;
            const std::string size = seen.size > SHOWN_BYTES ? " (" + byteCount(seen.size) + ")" : "";
            const std::string value = quotedStart(seen.bytes, seen.size) + size;
            printf("%s: the plug-in would replace it\n  %s: %s is not a number: %s\n", name.c_str(),
                   lineName(index).c_str(), value.c_str(), problemWords(result.problem));
            return;
        }
    }
}

// Reads `path` as the plug-in does at a start and settles it with the start
// sequence's decision; the file is neither changed nor replaced here.
SettingsFilePlan readAsAtStart(const std::string& path, Reading* reading) {
    reading->result = loadSettingsFile(path.c_str(), &reading->settings, watchLine, &reading->seen);
    const LoadStatus status = reading->result.status;
    reading->openError = status == LOAD_NO_FILE || status == LOAD_NOT_OPENED ? GetLastError() : 0;
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

void printPlan(const std::string& path, const Reading& reading, const SettingsFilePlan& plan) {
    printf("  at its next start the plug-in will\n");
    if (plan == LEAVE_FILE_SHOW_ERROR) {
        printf("    leave it as it is and show the error box (it is there but could not be opened)\n");
        printf("    and run until the start after with\n");
        printSettings(reading, "    ");
        printf("  and the same at every start until it can be read\n");
        return;
    }
    if (plan == BACK_UP_THEN_WRITE_DEFAULT_FILE) {
        const std::string backup = escapedText(path + ".bak");
        printf("    keep the file as %s\n    write the default file in its place\n", backup.c_str());
    } else if (reading.openError == ERROR_FILE_NOT_FOUND) {
        printf("    write the default file there\n");
    } else if (reading.openError == ERROR_PATH_NOT_FOUND) {
        printf("    show the error box: the default file can't be written in a missing folder\n");
    }
    printf("    and run until the start after with\n");
    printSettings(reading, "    ");
    if (reading.openError == ERROR_PATH_NOT_FOUND) {
        printf("  and the same at every start until the folder is there\n");
        return;
    }
    printf("  and from the start after, with the default file\n");
    printDefaultFileSettings();
}

}  // namespace

int checkSettingsFile(const char* argument) {
    const std::string path = settingsPathFor(argument);
    const std::string name = escapedText(path);
    Reading reading = {};
    const SettingsFilePlan plan = readAsAtStart(path, &reading);
    printVerdict(name, reading);
    if (plan == USE_SETTINGS_FILE) {
        printSettings(reading, "  ");
    } else {
        printPlan(path, reading, plan);
    }
    releaseSettings(&reading.settings);
    fflush(stdout);
    if (plan == USE_SETTINGS_FILE) return EXIT_VALID;
    const LoadStatus status = reading.result.status;
    const bool unreadable = status == LOAD_NO_FILE || status == LOAD_NOT_OPENED || status == LOAD_READ_ERROR;
    return unreadable ? EXIT_UNREADABLE : EXIT_REPLACED;
}
