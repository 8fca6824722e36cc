#include "host_script.h"

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_session.h"
#include "host_text.h"
#include "host_trace.h"
#include "hostlink/protocol.h"
#include "messages.h"

namespace {

enum class StepKind {
    Start,
    Stop,
    Settings,
    Text,
    State,
    Wait,
    WaitRequests,
    Unload,
    WriteSettings,
    ScheduleNow,
    ShowSettings,
    Echo
};

// What a step's argument may be.
enum class ArgumentRule { None, Optional, StateValue, Seconds, Count };

struct StepSpelling {
    const char* keyword;
    StepKind kind;
    ArgumentRule rule;
};

const StepSpelling STEP_SPELLINGS[] = {
    {"start", StepKind::Start, ArgumentRule::Optional},
    {"stop", StepKind::Stop, ArgumentRule::None},
    {"settings", StepKind::Settings, ArgumentRule::None},
    {"text", StepKind::Text, ArgumentRule::Optional},
    {"state", StepKind::State, ArgumentRule::StateValue},
    {"wait", StepKind::Wait, ArgumentRule::Seconds},
    {"wait-requests", StepKind::WaitRequests, ArgumentRule::Count},
    {"unload", StepKind::Unload, ArgumentRule::None},
    {"write-settings", StepKind::WriteSettings, ArgumentRule::Optional},
    {"schedule-now", StepKind::ScheduleNow, ArgumentRule::Optional},
    {"show-settings", StepKind::ShowSettings, ArgumentRule::None},
    {"echo", StepKind::Echo, ArgumentRule::Optional},
};

constexpr char UTF8_BYTE_ORDER_MARK[] = "\xef\xbb\xbf";
constexpr double MAX_WAIT_SECONDS = 3600;
// Generous: under emulation the plug-in's thread may take seconds to come round.
constexpr unsigned REQUEST_WAIT_MS = 120000;
constexpr int MAX_REQUEST_COUNT = 1000;
// A schedule written later than this in a minute might miss it (Wine may run emulated).
constexpr unsigned LAST_SAFE_SECOND = 45;

struct Step {
    StepKind kind;
    std::string argument;  // the rest of the line after one blank
    int32_t state;         // for state
    double seconds;        // for wait
    int count;             // for wait-requests
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool parseState(const std::string& text, int32_t* state) {
    if (text == "online") {
        *state = NET_ONLINE;
        return true;
    }
    if (text == "offline") {
        *state = NET_OFFLINE;
        return true;
    }
    if (text.empty()) return false;
    char* end = nullptr;
    const long long value = strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
    *state = static_cast<int32_t>(value);
    return true;
}

bool parseSeconds(const std::string& text, double* seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0 && value <= MAX_WAIT_SECONDS)) return false;
    *seconds = value;
    return true;
}

bool parseCount(const std::string& text, int* count) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > MAX_REQUEST_COUNT) return false;
    *count = static_cast<int>(value);
    return true;
}

bool checkArgument(const StepSpelling& spelling, const std::string& argument, Step* step,
                   std::string* error) {
    const std::string value = trimmed(argument);
    switch (spelling.rule) {
        case ArgumentRule::None:
            if (value.empty()) return true;
            *error = say(STEP_TAKES_NO_ARGUMENT, spelling.keyword);
            return false;
        case ArgumentRule::Optional:
            return true;
        case ArgumentRule::StateValue:
            if (parseState(value, &step->state)) return true;
            *error = say(STEP_STATE_VALUE, quotedAnsi(value).c_str());
            return false;
        case ArgumentRule::Seconds:
            if (parseSeconds(value, &step->seconds)) return true;
            *error = say(STEP_WAIT_VALUE, quotedAnsi(value).c_str());
            return false;
        case ArgumentRule::Count:
            if (parseCount(value, &step->count)) return true;
            *error = say(STEP_COUNT_VALUE, quotedAnsi(value).c_str());
            return false;
    }
    return false;
}

// Parses one line. False with a reason for a bad line; `*isStep` is false for
// blank and comment lines.
bool parseStep(const std::string& line, Step* step, bool* isStep, std::string* error) {
    size_t begin = 0;
    while (begin < line.size() && isBlank(line[begin])) ++begin;
    *isStep = begin < line.size() && line[begin] != '#';
    if (!*isStep) return true;
    size_t end = begin;
    while (end < line.size() && line[end] != ' ') ++end;
    const std::string keyword = line.substr(begin, end - begin);
    step->argument = end < line.size() ? line.substr(end + 1) : std::string();
    for (const StepSpelling& spelling : STEP_SPELLINGS) {
        if (keyword != spelling.keyword) continue;
        step->kind = spelling.kind;
        return checkArgument(spelling, step->argument, step, error);
    }
    *error = say(STEP_UNKNOWN, quotedAnsi(keyword).c_str());
    return false;
}

std::vector<std::string> splitAtBars(const std::string& text) {
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        const size_t bar = text.find('|', begin);
        parts.push_back(text.substr(begin, bar == std::string::npos ? std::string::npos : bar - begin));
        if (bar == std::string::npos) return parts;
        begin = bar + 1;
    }
}

std::string twoDigits(unsigned value) { return (value < 10 ? "0" : "") + std::to_string(value); }

// The present local time, at least LAST_SAFE_SECOND seconds before the minute ends.
SYSTEMTIME safeMinute() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (now.wSecond <= LAST_SAFE_SECOND) return now;
    printLine(noteLine(text(NOTE_NEXT_MINUTE)));
    Sleep((60 - now.wSecond) * 1000 - now.wMilliseconds + 100);
    GetLocalTime(&now);
    return now;
}

bool scheduleNow(const std::string& argument, std::string* error) {
    const std::string trigger = argument.empty() ? "/disconnect" : argument;
    const SYSTEMTIME now = safeMinute();
    const std::string hour = std::to_string(now.wHour);
    const std::string minute = std::to_string(now.wMinute);
    const std::string time = twoDigits(now.wHour) + ":" + twoDigits(now.wMinute);
    printLine(noteLine(say(NOTE_SCHEDULING, time.c_str(), quotedAnsi(trigger).c_str())));
    return writeSettingsFile({"h_disconnect=" + hour, "m_disconnect=" + minute, "h_online=" + hour,
                              "m_online=" + minute, "DisconnectStr=" + trigger},
                             error);
}

bool startWith(const std::string& argument, std::string* error) {
    if (!argument.empty()) {
        useSettingsDir(argument);
        sendStart(argument);
        return true;
    }
    std::string dir;
    if (!currentSettingsDir(&dir, error)) return false;
    sendStart(dir);
    return true;
}

bool isEvent(StepKind kind) {
    return kind == StepKind::Start || kind == StepKind::Stop || kind == StepKind::Settings ||
           kind == StepKind::Text || kind == StepKind::Unload;
}

// Runs one step; false with a reason when it could not be done.
bool runStep(const Step& step, std::string* error) {
    if (isEvent(step.kind) && !pluginLoaded()) {
        *error = text(STEP_UNLOADED);
        return false;
    }
    switch (step.kind) {
        case StepKind::Start:
            return startWith(step.argument, error);
        case StepKind::Stop:
            sendStop();
            return true;
        case StepKind::Settings:
            sendSettings();
            return true;
        case StepKind::Text:
            sendText(step.argument);
            return true;
        case StepKind::State:
            setNetState(step.state);
            return true;
        case StepKind::Wait:
            Sleep(static_cast<DWORD>(std::lround(step.seconds * 1000)));
            return true;
        case StepKind::WaitRequests:
            if (waitForRequests(step.count, REQUEST_WAIT_MS)) return true;
            *error = say(STEP_FEWER_REQUESTS, step.count);
            return false;
        case StepKind::Unload:
            unloadPlugin();
            return true;
        case StepKind::WriteSettings:
            return writeSettingsFile(
                step.argument.empty() ? std::vector<std::string>() : splitAtBars(step.argument), error);
        case StepKind::ScheduleNow:
            return scheduleNow(trimmed(step.argument), error);
        case StepKind::ShowSettings:
            return showSettingsFile(error);
        case StepKind::Echo:
            printLine(shownAnsi(step.argument));
            return true;
    }
    return false;
}

// "WHERE:LINE: reason" on standard error.
void printLineError(const std::string& where, const ScriptLine& line, const std::string& error) {
    printError(say(STEP_AT_LINE, where.c_str(), line.number, error.c_str()));
}

// Parses one line, or says why it cannot be sent.
bool parseLine(const ScriptLine& line, Step* step, bool* isStep, std::string* error) {
    if (line.spelled) return parseStep(line.text, step, isStep, error);
    *error = say(STEP_NOT_IN_CODE_PAGE, ansiCodePage());
    return false;
}

// Parses and runs one line; false after printing "WHERE:LINE: reason".
bool parseAndRun(const std::string& where, const ScriptLine& line) {
    Step step;
    bool isStep = false;
    std::string error;
    if (parseLine(line, &step, &isStep, &error) && (!isStep || runStep(step, &error))) return true;
    printLineError(where, line, error);
    return false;
}

// A line as a host built for the ANSI code page sends it: UTF-8 letters in
// that code page, anything else as it is.
ScriptLine sentLine(unsigned number, const std::string& line) {
    ScriptLine sent{number, line, true};
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(line.data());
    if (isUtf8Letters(bytes, static_cast<uint32_t>(line.size())))
        sent.spelled = ansiFromUtf8(line, &sent.text);
    return sent;
}

bool startsWith(const std::string& text, const char* start) {
    return text.compare(0, strlen(start), start) == 0;
}

// A script's lines, numbered from 1.
std::vector<ScriptLine> scriptLines(const std::string& content) {
    std::vector<ScriptLine> lines;
    unsigned number = 1;
    for (const std::string& line : splitLines(content)) lines.push_back(sentLine(number++, line));
    return lines;
}

bool runLines(const std::string& where, const std::vector<ScriptLine>& lines) {
    for (const ScriptLine& line : lines) {
        if (!parseAndRun(where, line)) return false;
    }
    return true;
}

// Every line is checked before the first one runs.
bool checkLines(const std::string& where, const std::vector<ScriptLine>& lines) {
    for (const ScriptLine& line : lines) {
        Step step;
        bool isStep = false;
        std::string error;
        if (parseLine(line, &step, &isStep, &error)) continue;
        printLineError(where, line, error);
        return false;
    }
    return true;
}

// The demo: each heading in the language in use, then its steps.
struct DemoPart {
    MessageId heading;
    const char* steps;
};

const DemoPart DEMO[] = {
    {DEMO_FIRST_START, "start\nshow-settings\n"},
    {DEMO_NOTHING_SCHEDULED, ""},
    {DEMO_STOP, "stop\n"},
    {DEMO_SCHEDULE, "schedule-now /disconnect\nshow-settings\n"},
    {DEMO_SECOND_START, "start\nwait-requests 4\n"},
    {DEMO_TRIGGER, "text /disconnect\ntext /Disconnect\ntext /disconnect \n"},
    {DEMO_UNLOAD, "stop\nunload\n"},
};

}  // namespace

bool isScriptFile(const std::string& path) {
    const size_t size = path.size();
    if (size >= 6 && _stricmp(path.c_str() + size - 6, ".steps") == 0) return true;
    std::string content;
    if (readWholeFile(path, &content) != FILE_READ) return false;
    for (const std::string& line : splitLines(fileText(content, nullptr))) {
        const std::string words = trimmed(line);
        if (words.empty() || words[0] == '#') continue;
        const std::string keyword = words.substr(0, words.find(' '));
        for (const StepSpelling& spelling : STEP_SPELLINGS) {
            if (keyword == spelling.keyword) return true;
        }
        return false;
    }
    return false;
}

bool readScriptFile(const std::string& path, std::vector<ScriptLine>* lines) {
    std::string content;
    if (readWholeFile(path, &content) != FILE_READ) {
        printError(say(FAIL_CANNOT_READ_SCRIPT, shownAnsi(path).c_str()));
        return false;
    }
    *lines = scriptLines(fileText(content, nullptr));
    return checkLines(shownAnsi(path), *lines);
}

bool runScriptLines(const std::string& path, const std::vector<ScriptLine>& lines) {
    return runLines(shownAnsi(path), lines);
}

bool runScriptFromStdin() {
    std::string line;
    unsigned number = 1;
    int c = 0;
    while ((c = fgetc(stdin)) != EOF) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1 && startsWith(line, UTF8_BYTE_ORDER_MARK)) line.erase(0, 3);
        if (!parseAndRun("stdin", sentLine(number++, line))) return false;
        line.clear();
    }
    return line.empty() || parseAndRun("stdin", sentLine(number, line));
}

bool runDemo() {
    printLine(text(DEMO_TITLE));
    for (const DemoPart& part : DEMO) {
        printLine(text(part.heading));
        if (!runLines("demo", scriptLines(part.steps))) return false;
    }
    return true;
}
