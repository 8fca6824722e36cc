// dormex-host check. The file is read by the plug-in's own loader, with a
// watch that notes each line's value for the report, and what happens next is
// the start sequence's own decision. Beside that the checker looks only at
// what the loader cannot tell: whether the file is UTF-16, and whether the
// files the plug-in would write can be written (write_outlook.h).
#include "settings_check.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_text.h"
#include "messages.h"
#include "session/plugin_session.h"
#include "settings/settings.h"
#include "user_paths.h"
#include "write_outlook.h"

namespace {

constexpr int EXIT_VALID = 0;
constexpr int EXIT_REPLACED = 1;
constexpr int EXIT_UNREADABLE = 2;
constexpr int EXIT_NOT_REPLACED = 3;  // a bad file the plug-in leaves, with the box at each start

constexpr int LINE_COUNT = 5;
constexpr int TRIGGER_INDEX = 4;
constexpr uint32_t SHOWN_BYTES = 48;   // of a value, in a report line
constexpr uint32_t UTF16_HEAD = 64;    // of the file, to tell UTF-16
constexpr uint32_t HEAD_BYTES = 4096;  // of the file, to tell its line ends
constexpr char FILE_NAME[] = "dormex.ini";
constexpr char BACKUP_SUFFIX[] = ".bak";
// The names the default file gives lines 1 to 5, and what the plug-in takes
// from each line, whatever name it holds.
const char* const USUAL_NAMES[] = {"h_disconnect", "m_disconnect", "h_online", "m_online", "DisconnectStr"};
const MessageId LINE_ROLES[] = {ROLE_DISCONNECT_HOUR, ROLE_DISCONNECT_MINUTE, ROLE_CONNECT_HOUR,
                                ROLE_CONNECT_MINUTE, ROLE_TRIGGER};

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
    SeenValue name;  // what stands before the "=", when there is one
};

// The watch's notes over one load.
struct Seen {
    SeenLine lines[LINE_COUNT];
    SeenValue wholeLine;    // the line so far
    SeenValue afterEquals;  // what follows its first "=" so far
    bool fileEnded;
    bool byteOrderMark;  // the parser skipped one at the file start
};

// One file as a freshly loaded plug-in reads it at a start.
struct Reading {
    Settings settings;
    Seen seen;
    LoadResult result;
    DWORD openError;  // why the file could not be opened
    bool folder;      // a folder stands at the path
    Utf16Form utf16;
    bool crAlone;  // its lines end in CR without LF
};

void put(const std::string& text) { writeText(stdout, wrapped(text)); }

void addByte(SeenValue* value, uint8_t byte) {
    if (value->size < SHOWN_BYTES) value->bytes[value->size] = byte;
    if (value->size != UINT32_MAX) ++value->size;
}

void noteLineEnd(Seen* seen, const SettingsParser* parser) {
    SeenLine& line = seen->lines[parser->line];
    line.read = true;
    line.pastEnd = seen->fileEnded && seen->wholeLine.size == 0;
    line.value = parser->sawEquals ? seen->afterEquals : seen->wholeLine;
    line.name.size = 0;
    if (parser->sawEquals) {
        const SeenValue& whole = seen->wholeLine;
        const uint32_t kept = std::min(whole.size, SHOWN_BYTES);
        for (uint32_t i = 0; i < kept && whole.bytes[i] != '='; ++i) addByte(&line.name, whole.bytes[i]);
    }
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

std::string fileNameOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string folderOf(const std::string& path) {
    return path.substr(0, path.size() - fileNameOf(path).size());
}

// Lines ended by a CR alone, as old Mac programs wrote them: the plug-in drops
// such a CR and reads on, so the whole file is its line 1.
bool endsLinesInCrAlone(const std::string& head) {
    if (head.find('\n') != std::string::npos) return false;
    for (size_t at = head.find('\r'); at != std::string::npos; at = head.find('\r', at + 1)) {
        if (at + 1 < head.size() && head[at + 1] != '\r') return true;
    }
    return false;
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

std::string hourMinute(uint8_t hour, uint8_t minute) { return twoDigits(hour) + ":" + twoDigits(minute); }

// Why a line that was read switched its setting off.
std::string offReason(const SeenLine& line, int index) {
    if (line.pastEnd) return say(NO_LINE, lineNumber(index));
    return say(line.value.size == 0 ? LINE_EMPTY : LINE_DASH, lineNumber(index));
}

// A number as it stands on its line, leading blanks aside.
std::string writtenNumber(const SeenValue& value) {
    const uint32_t kept = std::min(value.size, SHOWN_BYTES);
    uint32_t begin = 0;
    while (begin < kept && value.bytes[begin] == ' ') ++begin;
    return shownText(value.bytes + begin, value.size - begin, TEXT_ANSI, SHOWN_BYTES - begin);
}

// Why a stored hour or minute differs from the number on its line; "" when
// not. The plug-in keeps a number's low 8 bits, then puts a default in place
// of a value out of range.
std::string numberNote(const SeenLine& line, int index, uint8_t stored) {
    const unsigned low = static_cast<uint8_t>(line.number);
    const std::string written = writtenNumber(line.value);
    const bool cut = line.number != static_cast<int32_t>(low);
    const unsigned number = lineNumber(index);
    if (stored != low && cut)
        return say(LOW_BITS_OUT_OF_RANGE, number, written.c_str(), low, unsigned{stored});
    if (stored != low) return say(OUT_OF_RANGE, number, written.c_str(), unsigned{stored});
    return cut ? say(LOW_BITS, number, written.c_str(), low) : std::string();
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
    // A line the start does not reach keeps its on or off from before the
    // start, which the checker cannot know: off right after loading, else as
    // an earlier start in this messenger session left it.
    if (!on && !minuteLine.read)
        return say(NOT_READ_PAIR, lineNumber(first + 1), hourMinute(hour, minute).c_str());
    if (!on) return say(SETTING_OFF, offReason(minuteLine, first + 1).c_str());
    const std::string time = say(EVERY_DAY_AT, hourMinute(hour, minute).c_str());
    if (reading.result.status != LOAD_OK) return time + " (" + text(DEFAULT_TIME) + ")";
    std::string notes;
    addNote(&notes, timeLineNote(reading.seen.lines[first], first, hour));
    addNote(&notes, timeLineNote(minuteLine, first + 1, minute));
    return time + notes + (notes.empty() ? "" : ")");
}

std::string describeTrigger(const Reading& reading) {
    const Settings& settings = reading.settings;
    const SeenLine& line = reading.seen.lines[TRIGGER_INDEX];
    const TriggerText& trigger = settings.triggerText;
    const TextEncoding encoding = encodingOf(trigger.bytes, trigger.size);
    if (settings.triggerEnabled) {
        std::string about = byteCount(trigger.size);
        if (encoding == TEXT_UTF8) about += ", UTF-8";
        if (reading.result.status != LOAD_OK) about += std::string(", ") + text(DEFAULT_TRIGGER);
        return quotedText(trigger.bytes, trigger.size, encoding, SHOWN_BYTES) + " (" + about + ")";
    }
    if (line.read && reading.result.status != LOAD_NO_MEMORY) {
        return say(SETTING_OFF, offReason(line, TRIGGER_INDEX).c_str());
    }
    const std::string text = quotedText(trigger.bytes, trigger.size, encoding, SHOWN_BYTES);
    return say(NOT_READ_TRIGGER, lineNumber(TRIGGER_INDEX), text.c_str());
}

void printSettings(const Reading& reading, const char* indent) {
    const Settings& s = reading.settings;
    const MessageId labels[3] = {LABEL_DISCONNECT, LABEL_CONNECT, LABEL_TRIGGER};
    const std::string values[3] = {
        describePair(reading, 0, s.disconnectEnabled, s.disconnectHour, s.disconnectMinute),
        describePair(reading, 2, s.onlineEnabled, s.onlineHour, s.onlineMinute), describeTrigger(reading)};
    uint32_t width = 0;
    for (const MessageId label : labels) width = std::max(width, textWidth(text(label)));
    // A value of several lines stands in its column on each.
    const std::string column = "\n" + std::string(strlen(indent) + width + 2, ' ');
    for (int i = 0; i < 3; ++i) {
        std::string value = values[i];
        for (size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + column.size()))
            value.replace(at, 1, column);
        put(indent + paddedTo(text(labels[i]), width + 2) + value);
    }
}

bool isBlankByte(uint8_t byte) { return byte == ' ' || byte == '\t'; }

// Whether anything but blanks follows the blank after a number ("23 # evening").
bool textAfterBlank(const SeenValue& value) {
    const uint32_t kept = std::min(value.size, SHOWN_BYTES);
    uint32_t at = 0;
    while (at < kept && isBlankByte(value.bytes[at])) ++at;
    while (at < kept && !isBlankByte(value.bytes[at])) ++at;
    while (at < kept && isBlankByte(value.bytes[at])) ++at;
    return at < kept;
}

// Where the number scan of the value's kept bytes fails; past them when it does not.
uint32_t failingByte(const SeenValue& value, uint32_t kept) {
    NumberScan scan;
    beginNumber(&scan);
    for (uint32_t at = 0; at < kept; ++at) {
        feedNumber(&scan, value.bytes[at]);
        if (scan.firstProblem != VALUE_FINE) return at;
    }
    return kept;
}

// What to call a character that shows as a blank or as nothing.
MessageId invisibleName(uint32_t character) {
    if (character == '\t') return A_TAB;
    const bool noBreak = character == 0xa0 || character == 0x2007 || character == 0x202f;
    return noBreak ? A_NO_BREAK_SPACE : AN_INVISIBLE_CHARACTER;
}

// The character a number cannot take, named when it does not show itself
// (a tab, a no-break space that looks like a blank).
std::string badCharacterWords(const SeenValue& value) {
    const uint32_t kept = std::min(value.size, SHOWN_BYTES);
    const TextEncoding encoding = encodingOf(value.bytes, utf8Boundary(value.bytes, kept));
    const uint32_t at = failingByte(value, kept);
    uint32_t length = 1;
    const uint32_t character = characterAt(value.bytes, kept, encoding, at, &length);
    if (at == kept || !isInvisible(character)) return text(BAD_CHARACTER);
    return say(BAD_NAMED_CHARACTER, text(invisibleName(character)),
               shownText(value.bytes + at, length, encoding, length).c_str());
}

std::string problemWords(ValueProblem problem, const SeenValue& value) {
    switch (problem) {
        case VALUE_TRAILING_BLANK:
            return text(textAfterBlank(value) ? BAD_TEXT_AFTER : BAD_BLANK_AFTER);
        case VALUE_NO_DIGITS:
            return text(BAD_NO_DIGITS);
        case VALUE_TOO_LARGE:
            return text(BAD_TOO_LARGE);
        default:
            return badCharacterWords(value);
    }
}

// A time written as a clock shows it ("23:15", "11pm", "11:30 p.m."), read
// in 24-hour time.
struct ClockTime {
    bool found;
    bool hasMinute;
    unsigned hour;
    unsigned minute;
};

// One or two digits at `*at`.
bool takeDigits(const std::string& text, size_t* at, unsigned* value) {
    size_t end = *at;
    while (end < text.size() && end < *at + 2 && isdigit(static_cast<uint8_t>(text[end]))) ++end;
    if (end == *at) return false;
    *value = static_cast<unsigned>(std::stoul(text.substr(*at, end - *at)));
    *at = end;
    return true;
}

ClockTime clockTimeOf(const SeenValue& value) {
    ClockTime clock = {};
    if (value.size > SHOWN_BYTES) return clock;
    std::string written = trimmed(std::string(reinterpret_cast<const char*>(value.bytes), value.size));
    for (char& c : written) c = static_cast<char>(tolower(static_cast<uint8_t>(c)));
    size_t at = 0;
    if (!takeDigits(written, &at, &clock.hour)) return clock;
    if (at < written.size() && (written[at] == ':' || written[at] == '.')) {
        const size_t minuteAt = ++at;
        clock.hasMinute = takeDigits(written, &at, &clock.minute) && at == minuteAt + 2;
        if (!clock.hasMinute) return clock;
    }
    while (at < written.size() && written[at] == ' ') ++at;
    const std::string half = written.substr(at);
    const bool am = half == "am" || half == "a.m." || half == "a.m";
    const bool pm = half == "pm" || half == "p.m." || half == "p.m";
    if (am || pm) {
        if (clock.hour < 1 || clock.hour > 12) return clock;
        clock.hour = clock.hour % 12 + (pm ? 12 : 0);
    }
    clock.found =
        (half.empty() || am || pm) && (clock.hasMinute || am || pm) && clock.hour <= 23 && clock.minute <= 59;
    return clock;
}

// What to write instead of a clock time on line `index` + 1.
void printClockFix(int index, const SeenValue& value) {
    const ClockTime clock = clockTimeOf(value);
    if (!clock.found) return;
    const int hourLine = index - index % 2;
    const unsigned number = lineNumber(hourLine);
    if (clock.hasMinute) {
        put(say(FIX_HOUR_AND_MINUTE, number, USUAL_NAMES[hourLine], clock.hour, number + 1,
                USUAL_NAMES[hourLine + 1], clock.minute));
    } else {
        put(say(FIX_24_HOUR, quotedValue(value).c_str(), USUAL_NAMES[hourLine], clock.hour, number));
    }
}

// What stands in the way of replacing a bad file: the start keeps it as
// dormex.ini.bak (over an older backup) and then writes the default file, or
// it changes nothing and shows the error box.
struct Obstacle {
    WriteChance chance;  // CANNOT_WRITE: the box; MAY_WRITE: `why` is what is unsure
    MessageId why;
    std::string path;  // the file it concerns
    bool held;         // open in another program now: a start waits for it, then gives up
};

Obstacle obstacleOf(const std::string& path, const WriteOutlook& outlook) {
    return Obstacle{outlook.chance, outlook.why, path, false};
}

Obstacle heldObstacle(const std::string& path) { return Obstacle{CANNOT_WRITE, WINERR_IN_USE, path, true}; }

// The file first: read-only, not ours to change or held, it is left before
// anything is written; then its backup's place.
Obstacle replacementObstacle(const std::string& path) {
    const WriteOutlook overFile = writeOutlook(path);
    if (overFile.chance == CANNOT_WRITE) return obstacleOf(path, overFile);
    if (heldWithoutDeleteSharing(path)) return heldObstacle(path);
    const std::string backup = path + BACKUP_SUFFIX;
    // The backup's path is longer than the file's: it may be more than the plug-in takes.
    if (fullPathOf(backup).size() > MAX_SETTINGS_PATH)
        return Obstacle{CANNOT_WRITE, WINERR_TOO_LONG, backup, false};
    if (isFolder(backup)) return Obstacle{CANNOT_WRITE, WRITE_IS_FOLDER, backup, false};
    const WriteOutlook overBackup = writeOutlook(backup);
    if (overBackup.chance == CANNOT_WRITE) return obstacleOf(backup, overBackup);
    if (heldWithoutDeleteSharing(backup)) return heldObstacle(backup);
    return obstacleOf(path, overFile.chance == MAY_WRITE ? overFile : overBackup);
}

// The first lines of the report: the verdict, and why the file would be
// replaced. A file of another name is judged as if it were dormex.ini.
void printVerdict(const std::string& name, const Reading& reading, bool otherName, bool replaceable) {
    const LoadResult& result = reading.result;
    const char* file = name.c_str();
    const MessageId badFile = replaceable ? CHECK_REPLACED : CHECK_NOT_REPLACED;
    switch (result.status) {
        case LOAD_OK:
            put(otherName ? text(AS_DORMEX_INI_VALID) : say(CHECK_VALID, file));
            return;
        case LOAD_NO_FILE:
        case LOAD_NOT_OPENED:
            if (reading.folder) {
                put(say(CHECK_FOLDER, file));
                return;
            }
            put(say(CHECK_UNREADABLE, file, windowsErrorWords(reading.openError).c_str()));
            return;
        case LOAD_READ_ERROR:
            put(say(CHECK_UNREADABLE, file, text(CHECK_READ_ERROR)));
            return;
        case LOAD_NO_MEMORY:
            put(otherName ? text(AS_DORMEX_INI_REPLACED) : say(badFile, file));
            put(text(CHECK_NO_MEMORY));
            return;
        case LOAD_BAD_VALUE: {
            put(otherName ? text(AS_DORMEX_INI_REPLACED) : say(badFile, file));
            // In UTF-16 every value holds NUL bytes: the encoding is the reason, not the line.
            if (reading.utf16 != NOT_UTF16) return;
            const SeenValue& value = reading.seen.lines[result.line - 1].value;
            put(say(CHECK_BAD_LINE, unsigned{result.line}, quotedValue(value).c_str(),
                    problemWords(result.problem, value).c_str()));
            if (reading.crAlone) {
                put(text(NOTE_CR_ONLY));
            } else {
                printClockFix(result.line - 1, value);
            }
            return;
        }
    }
}

// Reads `path` as the plug-in does at a start and settles it with the start
// sequence's decision; the file is neither changed nor replaced here.
SettingsFilePlan readAsAtStart(const std::string& path, Reading* reading) {
    reading->result = loadSettingsFile(path.c_str(), &reading->settings, watchLine, &reading->seen);
    const LoadStatus status = reading->result.status;
    const bool opened = status != LOAD_NO_FILE && status != LOAD_NOT_OPENED;
    reading->openError = opened ? 0 : GetLastError();
    reading->folder = !opened && isFolder(path);
    const std::string head = opened ? headOfFile(path, HEAD_BYTES) : std::string();
    const uint32_t headSize = static_cast<uint32_t>(std::min<size_t>(head.size(), UTF16_HEAD));
    reading->utf16 = utf16FormOf(reinterpret_cast<const uint8_t*>(head.data()), headSize);
    reading->crAlone = endsLinesInCrAlone(head);
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

// A plan's line that the error box will appear, and what the box reads. An
// output that cannot show the box's Russian letters gets their meaning alone.
void putBox(const std::string& line) {
    put(line);
    put(text(outputShows(text(BOX_SAYS)) ? BOX_SAYS : BOX_MEANS));
}

// How to clear what stands in the way of writing a file, for each cause. The
// rights are the folder's: they cover renaming and deleting its files.
struct FixFor {
    MessageId why;
    MessageId fix;
    bool namesFolder;
};
const FixFor FIXES[] = {
    {WRITE_NO_FOLDER, FIX_CREATE_FOLDER, true},  {WRITE_READ_ONLY_FILE, FIX_READ_ONLY_FILE, false},
    {WRITE_READ_ONLY_FOLDER, FIX_RIGHTS, true},  {WRITE_NOT_ALLOWED, FIX_RIGHTS, true},
    {WRITE_IS_FOLDER, FIX_BACKUP_FOLDER, false}, {WINERR_IN_USE, FIX_CLOSE_HOLDER, false},
    {WINERR_TOO_LONG, FIX_TOO_LONG, false}};

void printFix(const Obstacle& obstacle) {
    for (const FixFor& fix : FIXES) {
        const std::string named = fix.namesFolder ? folderOf(obstacle.path) : obstacle.path;
        if (fix.why == obstacle.why) put(say(fix.fix, shownAnsi(named).c_str()));
    }
}

// One file the plug-in writes: `done` when it can, the error box when it cannot.
bool planWrite(const std::string& path, const WriteOutlook& outlook, const std::string& done) {
    if (outlook.chance == CANNOT_WRITE) {
        putBox(say(PLAN_BOX_CANNOT_WRITE, shownAnsi(path).c_str(), text(outlook.why)));
        return false;
    }
    put(done);
    if (outlook.chance == MAY_WRITE) put(text(outlook.why));
    return true;
}

// The error box for what stands in the way of keeping the file and replacing it.
void putObstacleBox(const Obstacle& obstacle) {
    const std::string path = shownAnsi(obstacle.path);
    if (obstacle.held) {
        putBox(say(PLAN_BOX_IN_USE, path.c_str()));
    } else if (obstacle.why == WRITE_IS_FOLDER) {
        putBox(say(PLAN_BOX_BACKUP_FOLDER, path.c_str()));
    } else {
        putBox(say(PLAN_BOX_CANNOT_WRITE, path.c_str(), text(obstacle.why)));
    }
}

// Something is there that cannot be opened, or nothing can be by that name.
bool isThereButClosed(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

void printRunUntilNextStart(const Reading& reading) {
    put(text(PLAN_RUN_UNTIL));
    printSettings(reading, "    ");
}

// A file that is there but cannot be opened: left as it is, the box at each start.
void printLeavePlan(const std::string& path, const Reading& reading) {
    if (reading.folder) {
        putBox(text(PLAN_BOX_FOLDER));
        printRunUntilNextStart(reading);
        put(text(PLAN_SAME_UNTIL_FIXED));
        put(text(FIX_FOLDER));
        return;
    }
    const bool closed = isThereButClosed(reading.openError);
    putBox(text(closed ? PLAN_BOX_LOCKED : PLAN_BOX_NO_SUCH_NAME));
    printRunUntilNextStart(reading);
    put(text(PLAN_SAME_UNTIL_READABLE));
    if (reading.openError == ERROR_ACCESS_DENIED) put(say(FIX_READ_RIGHTS, shownAnsi(path).c_str()));
    if (closed && reading.openError != ERROR_ACCESS_DENIED) printFix(heldObstacle(path));
}

// A bad file: kept as dormex.ini.bak and replaced, or, where something stands
// in the way, left as it is with the box at each start.
void printReplacePlan(const std::string& path, const Reading& reading, const Obstacle& obstacle) {
    if (obstacle.chance == CANNOT_WRITE) {
        if (obstacle.held) put(say(PLAN_WAIT_FOR_HELD, shownAnsi(obstacle.path).c_str()));
        put(text(obstacle.held ? PLAN_LEAVE_IF_HELD : PLAN_LEAVE_FILE));
        putObstacleBox(obstacle);
        printRunUntilNextStart(reading);
        put(text(obstacle.held ? PLAN_SAME_WHILE_HELD : PLAN_SAME_UNTIL_FIXED));
        printFix(obstacle);
        put(text(FIX_OR_CORRECT));
        return;
    }
    const std::string backup = path + BACKUP_SUFFIX;
    planWrite(backup, writeOutlook(backup), say(PLAN_KEEP_BACKUP, shownAnsi(backup).c_str()));
    planWrite(path, writeOutlook(path), text(PLAN_WRITE_IN_PLACE));
    printRunUntilNextStart(reading);
    put(text(PLAN_THEN_DEFAULT));
    printDefaultFileSettings();
}

// No file: the default file is written where the folder takes it.
void printWritePlan(const std::string& path, const Reading& reading) {
    const WriteOutlook outlook = writeOutlook(path);
    const bool written = planWrite(path, outlook, text(PLAN_WRITE_THERE));
    printRunUntilNextStart(reading);
    if (!written) {
        put(text(PLAN_SAME_UNTIL_FIXED));
        printFix(obstacleOf(path, outlook));
        return;
    }
    put(text(PLAN_THEN_DEFAULT));
    printDefaultFileSettings();
}

void printPlan(const std::string& path, const Reading& reading, SettingsFilePlan plan,
               const Obstacle& obstacle) {
    put(text(PLAN_HEAD));
    if (plan == LEAVE_FILE_SHOW_ERROR) {
        printLeavePlan(path, reading);
    } else if (plan == BACK_UP_THEN_WRITE_DEFAULT_FILE) {
        printReplacePlan(path, reading, obstacle);
    } else {
        printWritePlan(path, reading);
    }
}

void printUtf16Note(Utf16Form form) {
    if (form != NOT_UTF16) put(say(NOTE_UTF16, form == UTF16_LE ? "UTF-16 LE" : "UTF-16 BE"));
}

// Which spellings of UTF-8 letters a chat text may come in.
void printSpellings(const TriggerText& trigger) {
    const unsigned codePage = ansiCodePage();
    if (codePage == CP_UTF8) return;
    if (trigger.ansiBytes == nullptr) {
        put(say(NOTE_UTF8_ONLY, codePage, codePage));
        return;
    }
    put(say(NOTE_BOTH_SPELLINGS, byteCount(trigger.size).c_str(), codePage,
            byteCount(trigger.ansiSize).c_str()));
}

// One character of the trigger, where it stands and how many bytes it takes.
struct TriggerCharacter {
    uint32_t character;
    uint32_t at;
    uint32_t length;
};

TriggerCharacter triggerCharacterAt(const TriggerText& trigger, TextEncoding encoding, uint32_t at) {
    TriggerCharacter found = {0, at, 1};
    found.character = characterAt(trigger.bytes, trigger.size, encoding, at, &found.length);
    return found;
}

TriggerCharacter lastTriggerCharacter(const TriggerText& trigger, TextEncoding encoding) {
    uint32_t at = trigger.size - 1;
    while (encoding == TEXT_UTF8 && at > 0 && (trigger.bytes[at] & 0xc0) == 0x80) --at;
    return triggerCharacterAt(trigger, encoding, at);
}

// A blank, a tab, or a character that shows as one or as nothing, named with its bytes.
std::string blankWords(const TriggerText& trigger, TextEncoding encoding, const TriggerCharacter& found) {
    if (found.character == ' ') return text(A_BLANK);
    if (found.character == '\t') return text(A_TAB);
    const std::string bytes = shownText(trigger.bytes + found.at, found.length, encoding, found.length);
    return std::string(text(invisibleName(found.character))) + " (" + bytes + ")";
}

bool isTypographicQuote(uint32_t character) {
    const uint32_t quotes[] = {0xab, 0xbb, 0x2018, 0x2019, 0x201a, 0x201c, 0x201d, 0x201e, 0x2039, 0x203a};
    return std::find(std::begin(quotes), std::end(quotes), character) != std::end(quotes);
}

// Quotes around the trigger are part of it; Word and Outlook put typographic
// ones in place of the keyboard's, which the user may not tell apart.
void printQuoteNote(const TriggerText& trigger, TextEncoding encoding, const TriggerCharacter ends[2]) {
    std::string typographic;
    for (int i = 0; i < 2; ++i) {
        if (!isTypographicQuote(ends[i].character)) continue;
        if (!typographic.empty()) typographic += " ";
        typographic += shownText(trigger.bytes + ends[i].at, ends[i].length, encoding, ends[i].length);
    }
    if (!typographic.empty()) {
        put(say(NOTE_TYPOGRAPHIC_QUOTES, typographic.c_str()));
    } else if (ends[0].character == '"' || ends[1].character == '"') {
        put(text(NOTE_QUOTES));
    }
}

// Blanks at either end, and anything that shows as a blank or as nothing
// inside, are part of the trigger.
void printBlankNotes(const TriggerText& trigger, TextEncoding encoding, const TriggerCharacter ends[2]) {
    const MessageId notes[2] = {NOTE_LEADING_BLANK, NOTE_TRAILING_BLANK};
    for (int i = 0; i < 2; ++i) {
        const bool blank = ends[i].character == ' ' || isInvisible(ends[i].character);
        if (blank && (i == 0 || ends[1].at != ends[0].at))
            put(say(notes[i], blankWords(trigger, encoding, ends[i]).c_str()));
    }
    for (uint32_t at = ends[0].at + ends[0].length; at < ends[1].at;) {
        const TriggerCharacter inside = triggerCharacterAt(trigger, encoding, at);
        if (inside.character != ' ' && isInvisible(inside.character)) {
            put(say(NOTE_INVISIBLE_INSIDE, blankWords(trigger, encoding, inside).c_str()));
            return;
        }
        at += inside.length;
    }
}

// What the file's encoding and the trigger's bytes mean for a text to match.
void printTriggerNotes(const Reading& reading) {
    if (reading.seen.byteOrderMark) put(text(NOTE_BYTE_ORDER_MARK));
    const Settings& settings = reading.settings;
    const TriggerText& trigger = settings.triggerText;
    if (!settings.triggerEnabled || trigger.size == 0) return;
    const TextEncoding encoding = encodingOf(trigger.bytes, trigger.size);
    if (encoding == TEXT_UTF8) {
        printSpellings(trigger);
    } else if (!isPlainAnsi(trigger.bytes, trigger.size)) {
        put(say(NOTE_NOT_TEXT, ansiCodePage()));
    }
    const TriggerCharacter ends[2] = {triggerCharacterAt(trigger, encoding, 0),
                                      lastTriggerCharacter(trigger, encoding)};
    printBlankNotes(trigger, encoding, ends);
    printQuoteNote(trigger, encoding, ends);
}

// What the schedule comes to in a day: both times in one minute, an hour of
// 24 meant as midnight, and a minute the computer is not there for.
void printScheduleNotes(const Reading& reading) {
    const Settings& s = reading.settings;
    if (s.disconnectEnabled && s.onlineEnabled && s.disconnectHour == s.onlineHour &&
        s.disconnectMinute == s.onlineMinute)
        put(text(NOTE_SAME_MINUTE));
    for (int hourLine = 0; hourLine < LINE_COUNT - 1; hourLine += 2) {
        const SeenLine& line = reading.seen.lines[hourLine];
        if (line.read && line.isNumber && line.number == 24)
            put(say(FIX_24_HOUR, quotedValue(line.value).c_str(), USUAL_NAMES[hourLine], 0u,
                    lineNumber(hourLine)));
    }
    if (s.disconnectEnabled || s.onlineEnabled) put(text(NOTE_MISSED_MINUTE));
}

// --- Names: the plug-in's own file, and names out of place -----------------

bool sameIgnoringCase(const uint8_t* bytes, uint32_t size, const char* name) {
    if (size != strlen(name)) return false;
    for (uint32_t i = 0; i < size; ++i) {
        if (tolower(bytes[i]) != tolower(static_cast<uint8_t>(name[i]))) return false;
    }
    return true;
}

bool sameIgnoringCase(const std::string& text, const char* name) {
    return sameIgnoringCase(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
                            name);
}

bool endsIgnoringCase(const std::string& text, const char* end) {
    const size_t size = strlen(end);
    return text.size() >= size && sameIgnoringCase(text.substr(text.size() - size), end);
}

// A name that may be meant as dormex.ini (dormex.ini.txt, dormex.txt, ...),
// the plug-in's own backup and temporary files (dormex.~00) aside.
bool isNearMiss(const std::string& name) {
    return name.size() >= 6 && sameIgnoringCase(name.substr(0, 6), "dormex") &&
           !sameIgnoringCase(name, FILE_NAME) && !endsIgnoringCase(name, BACKUP_SUFFIX) &&
           !endsIgnoringCase(name, ".tmp") && name.find('~') == std::string::npos;
}

void printHiddenEnding(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot >= 6) put(say(HIDDEN_ENDING, shownAnsi(name.substr(dot)).c_str()));
}

// A file such as dormex.ini.txt: renamed it would be read, unless a
// dormex.ini stands beside it already.
void printRenameHint(const std::string& path) {
    put(text(isFile(folderOf(path) + FILE_NAME) ? COPY_INTO_DORMEX_INI : RENAME_TO_DORMEX_INI));
    printHiddenEnding(fileNameOf(path));
}

// A file in the folder of `path` that may be meant as dormex.ini; "" for none.
std::string nearMissBeside(const std::string& path) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folderOf(path) + "dormex*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::string();
    std::string nearMiss;
    do {
        const bool file = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (file && isNearMiss(found.cFileName)) nearMiss = found.cFileName;
    } while (nearMiss.empty() && FindNextFileA(search, &found));
    FindClose(search);
    return nearMiss;
}

// Such a file beside dormex.ini, or where dormex.ini is missing, in its place.
void printNearMissBeside(const std::string& path, bool missing) {
    const std::string nearMiss = nearMissBeside(path);
    if (nearMiss.empty()) return;
    put(say(missing ? NEAR_MISS_IN_FOLDER : NEAR_MISS_ALSO, shownAnsi(nearMiss).c_str()));
    if (missing) put(text(RENAME_TO_DORMEX_INI));
    printHiddenEnding(nearMiss);
}

// The dormex.ini beside this program is the release zip's example (or a
// copy), not the one the plug-in reads in the messenger's settings folder.
void printBesideProgramNote(const std::string& path) {
    char program[MAX_PATH + 1] = "";
    const DWORD size = GetModuleFileNameA(nullptr, program, sizeof program);
    const std::string full = fullPathOf(path);
    if (size == 0 || size >= sizeof program || !sameIgnoringCase(fileNameOf(full), FILE_NAME) ||
        lstrcmpiA(folderOf(program).c_str(), folderOf(full).c_str()) != 0)
        return;
    const std::string example(DEFAULT_SETTINGS_FILE, DEFAULT_SETTINGS_FILE_SIZE);
    put(text(headOfFile(path, DEFAULT_SETTINGS_FILE_SIZE + 1) == example ? NOTE_EXAMPLE_FILE
                                                                         : NOTE_BESIDE_PROGRAM));
    put(text(HOW_TO_FIND_FOLDER));
}

// Which usual name a line holds, blanks around it aside; -1 for none.
int usualNameOf(const SeenValue& name) {
    uint32_t begin = 0;
    uint32_t end = std::min(name.size, SHOWN_BYTES);
    while (begin < end && isBlankByte(name.bytes[begin])) ++begin;
    while (end > begin && isBlankByte(name.bytes[end - 1])) --end;
    for (int i = 0; i < LINE_COUNT; ++i) {
        if (sameIgnoringCase(name.bytes + begin, end - begin, USUAL_NAMES[i])) return i;
    }
    return -1;
}

// The plug-in goes by line numbers alone: a usual name on another line (a line
// inserted or lost) is said, with what the plug-in takes from that line.
void printNamesOutOfPlace(const Reading& reading) {
    int held[LINE_COUNT];
    bool seen[LINE_COUNT] = {};
    bool shifted = false;
    for (int i = 0; i < LINE_COUNT; ++i) {
        const SeenLine& line = reading.seen.lines[i];
        held[i] = line.read ? usualNameOf(line.name) : -1;
        if (held[i] >= 0) seen[held[i]] = true;
        shifted = shifted || (held[i] >= 0 && held[i] != i);
    }
    if (!shifted) return;
    put(text(NAMES_OUT_OF_PLACE));
    for (int i = 0; i < LINE_COUNT; ++i) {
        if (held[i] >= 0 && held[i] != i)
            put(say(NAME_ON_LINE, lineNumber(i), USUAL_NAMES[held[i]], text(LINE_ROLES[i])));
    }
    // Lines after a bad value are not read: what they hold is unknown.
    if (reading.result.status != LOAD_OK) return;
    for (int i = 0; i < LINE_COUNT; ++i) {
        if (!seen[i]) put(say(NAME_ON_NO_LINE, USUAL_NAMES[i]));
    }
}

// --- The paths to check -------------------------------------------------------

// cmd hands "C:\dir\" over as C:\dir" (to it \" is a quote) together with the
// rest of the line: a blank before a redirect, or the next quoted path. No
// path holds a quote, so each quote ends the path of a folder.
void addPathsOf(const Argument& argument, std::vector<Argument>* paths) {
    if (!argument.spelled || argument.ansi.find('"') == std::string::npos) {
        paths->push_back(argument);
        return;
    }
    size_t typedBegin = 0;
    size_t ansiBegin = 0;
    for (;;) {
        const size_t typedQuote = argument.typed.find('"', typedBegin);
        const size_t ansiQuote = argument.ansi.find('"', ansiBegin);
        Argument path{trimmed(argument.typed.substr(typedBegin, typedQuote - typedBegin)),
                      trimmed(argument.ansi.substr(ansiBegin, ansiQuote - ansiBegin)), true};
        const bool folder = ansiQuote != std::string::npos;
        if (folder && !endsWithSeparator(path.ansi)) {
            path.typed += '\\';
            path.ansi += '\\';
        }
        if (!trimmed(path.ansi).empty() && path.ansi != "\\") paths->push_back(path);
        if (!folder) return;
        typedBegin = typedQuote + 1;
        ansiBegin = ansiQuote + 1;
    }
}

// Nothing is there by that name, not even a folder.
bool nothingAt(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

int exitCodeOf(const Reading& reading, SettingsFilePlan plan, bool replaceable) {
    if (plan == USE_SETTINGS_FILE) return EXIT_VALID;
    const LoadStatus status = reading.result.status;
    const bool unreadable = status == LOAD_NO_FILE || status == LOAD_NOT_OPENED || status == LOAD_READ_ERROR;
    if (unreadable) return EXIT_UNREADABLE;
    return replaceable ? EXIT_REPLACED : EXIT_NOT_REPLACED;
}

// The file an argument names: FILE, or the dormex.ini of a folder, one that
// is there or a name that ends in a separator. A folder named dormex.ini is
// itself what the plug-in would try to read.
std::string settingsPathFor(std::string argument) {
    const bool named = sameIgnoringCase(fileNameOf(argument), FILE_NAME);
    const bool folder = endsWithSeparator(argument) || (!named && isFolder(argument));
    if (!folder) return argument;
    if (!argument.empty() && !endsWithSeparator(argument)) argument += '\\';
    return argument + FILE_NAME;
}

// Whether the plug-in can form the settings path of `path`'s folder, handed
// over in full as a host hands it; that path's size in `*size`.
bool pluginFormsPath(const std::string& path, uint32_t* size) {
    const std::string full = fullPathOf(path);
    const std::string folder = full.substr(0, full.size() - fileNameOf(full).size());
    *size = static_cast<uint32_t>(folder.size() + strlen(FILE_NAME));
    SettingsPath formed;
    const ByteView dir{reinterpret_cast<const uint8_t*>(folder.data()), static_cast<uint32_t>(folder.size())};
    return formSettingsPath(dir, formed);
}

// A path longer than the plug-in takes: it reads and writes nothing there,
// and shows the error box at every start, switching nothing on.
int printTooLong(const std::string& path, uint32_t size, bool otherName) {
    put(say(CHECK_PATH_TOO_LONG, shownAnsi(path).c_str(), size, MAX_SETTINGS_PATH));
    if (!otherName) {
        // The start puts the defaults in place of a file it cannot open.
        Reading nothingRead = {};
        settleLoadedSettings(&nothingRead.settings, LOAD_NOT_OPENED);
        put(text(PLAN_HEAD));
        putBox(text(PLAN_BOX_TOO_LONG));
        printRunUntilNextStart(nothingRead);
        put(text(PLAN_SAME_UNTIL_FIXED));
        releaseSettings(&nothingRead.settings);
    }
    put(text(FIX_TOO_LONG));
    return EXIT_UNREADABLE;
}

// A file of another name than dormex.ini is never read by the plug-in: its
// lines are judged as if it were, and nothing is planned for it.
int checkSettingsPath(const std::string& path) {
    const std::string name = fileNameOf(path);
    const bool otherName = !sameIgnoringCase(name, FILE_NAME);
    if (otherName && nothingAt(path)) {
        put(say(CHECK_NOTHING_THERE, shownAnsi(path).c_str()));
        return EXIT_UNREADABLE;
    }
    uint32_t size = 0;
    if (!pluginFormsPath(path, &size)) return printTooLong(path, size, otherName);
    Reading reading = {};
    const SettingsFilePlan plan = readAsAtStart(path, &reading);
    Obstacle obstacle = {CAN_WRITE, PLAN_UNSURE, path, false};
    if (!otherName && plan == BACK_UP_THEN_WRITE_DEFAULT_FILE) obstacle = replacementObstacle(path);
    const bool replaceable = obstacle.chance != CANNOT_WRITE;
    if (otherName) put(say(CHECK_OTHER_NAME, shownAnsi(path).c_str()));
    if (otherName && isNearMiss(name)) printRenameHint(path);
    printVerdict(shownAnsi(path), reading, otherName, replaceable);
    printBesideProgramNote(path);
    printUtf16Note(reading.utf16);
    if (!otherName) printNearMissBeside(path, reading.result.status == LOAD_NO_FILE);
    if (plan == USE_SETTINGS_FILE) {
        printSettings(reading, "  ");
        printScheduleNotes(reading);
        printTriggerNotes(reading);
        printNamesOutOfPlace(reading);
    } else {
        printNamesOutOfPlace(reading);
        if (!otherName) printPlan(path, reading, plan, obstacle);
    }
    if (reading.utf16 != NOT_UTF16) put(text(FIX_UTF16));
    releaseSettings(&reading.settings);
    return exitCodeOf(reading, plan, replaceable);
}

// A path as the user gave it: Windows drops blanks and dots at its end, a
// shortcut is followed once, and an archive must be unpacked first.
int checkOne(const Argument* argument, bool followShortcut = true) {
    // Nothing given: the dormex.ini of the current folder, named in full, as
    // where the program was started from is not always where the user thinks.
    if (argument == nullptr) return checkSettingsPath(fullPathOf(FILE_NAME));
    if (!argument->spelled) {
        const std::string why = say(PATH_NOT_IN_CODE_PAGE, ansiCodePage());
        put(say(CHECK_UNREADABLE, argument->typed.c_str(), why.c_str()));
        return EXIT_UNREADABLE;
    }
    const std::string given = asWindowsOpens(argument->ansi);
    const std::string shown = shownAnsi(given);
    Argument target;
    const ShortcutForm shortcut = shortcutTarget(given, &target);
    if (shortcut == SHORTCUT && followShortcut) {
        const uint8_t* typed = reinterpret_cast<const uint8_t*>(target.typed.data());
        const uint32_t size = static_cast<uint32_t>(target.typed.size());
        put(say(CHECK_SHORTCUT, shown.c_str(), shownText(typed, size, TEXT_UTF8, size).c_str()));
        return checkOne(&target, false);
    }
    if (shortcut != NOT_A_SHORTCUT) {
        put(say(CHECK_SHORTCUT_UNREADABLE, shown.c_str()));
        return EXIT_UNREADABLE;
    }
    if (!sameIgnoringCase(fileNameOf(given), FILE_NAME) && isZipArchive(given)) {
        put(say(CHECK_ARCHIVE, shown.c_str()));
        return EXIT_UNREADABLE;
    }
    const std::string archive = nothingAt(given) ? archiveAbove(given) : std::string();
    if (!archive.empty()) {
        put(say(CHECK_IN_ARCHIVE, shown.c_str(), shownAnsi(archive).c_str()));
        return EXIT_UNREADABLE;
    }
    return checkSettingsPath(settingsPathFor(given));
}

}  // namespace

int checkSettingsFiles(const std::vector<Argument>& arguments) {
    std::vector<Argument> words;
    for (const Argument& argument : arguments) addPathsOf(argument, &words);
    if (words.empty()) return checkOne(nullptr);
    for (Argument& word : words) word = pathAsMeant(word);
    std::vector<bool> joined;
    const std::vector<Argument> paths = joinedAtBlanks(words, &joined);
    int worst = EXIT_VALID;
    bool missing = false;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i > 0) put("");
        if (joined[i]) put(say(CHECK_JOINED, shownAnsi(paths[i].ansi).c_str()));
        missing = missing || (paths[i].spelled && nothingAt(asWindowsOpens(paths[i].ansi)));
        worst = std::max(worst, checkOne(&paths[i]));
    }
    // Several words, some of them nowhere: perhaps one path that cmd split.
    if (missing && paths.size() > 1) put("\n" + std::string(text(HINT_QUOTES)));
    return worst;
}
