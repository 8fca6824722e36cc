#include "host_script.h"

#include <windows.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host_session.h"
#include "host_trace.h"
#include "hostlink/protocol.h"

const char SCRIPT_STEPS_HELP[] =
    "Steps, one per line; blank lines and lines starting with # are skipped:\n"
    "  start [DIR]           start event; DIR is passed unchanged and must end in a path\n"
    "                        separator. Without DIR: the last one given, or else a fresh\n"
    "                        directory under the temporary directory, removed at the end\n"
    "  stop                  stop event\n"
    "  settings              settings event (the plug-in may open an editor)\n"
    "  text TEXT             text event; TEXT is the rest of the line after one blank, byte for byte\n"
    "  state online|offline|N  the connection state the host reports from now on (starts on-line, 2)\n"
    "  wait SECONDS          pause, fractions allowed (at most 3600)\n"
    "  wait-requests N       pause until the plug-in has made N requests since the last start;\n"
    "                        fails when they have not all come within 120 seconds\n"
    "  unload                FreeLibrary; no event may follow\n"
    "  write-settings L1|L2|...  write dormex.ini in the settings directory, lines ending CR LF\n"
    "  schedule-now [TEXT]   write dormex.ini with disconnect and connect both at the present\n"
    "                        minute and trigger TEXT (default /disconnect); waits for the next\n"
    "                        minute first when fewer than 15 seconds of this one are left\n"
    "  show-settings         print the lines of dormex.ini\n"
    "  echo TEXT             print TEXT as it is, as a heading or a remark\n";

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

std::string trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

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
            *error = std::string(spelling.keyword) + " takes no argument";
            return false;
        case ArgumentRule::Optional:
            return true;
        case ArgumentRule::StateValue:
            if (parseState(value, &step->state)) return true;
            *error = "state needs online, offline or a whole number, not \"" + value + "\"";
            return false;
        case ArgumentRule::Seconds:
            if (parseSeconds(value, &step->seconds)) return true;
            *error = "wait needs a number of seconds from 0 to 3600, not \"" + value + "\"";
            return false;
        case ArgumentRule::Count:
            if (parseCount(value, &step->count)) return true;
            *error = "wait-requests needs a whole number from 1 to 1000, not \"" + value + "\"";
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
    *error = "unknown step \"" + keyword + "\"";
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
    printLine(noteLine("waiting for the next minute"));
    Sleep((60 - now.wSecond) * 1000 - now.wMilliseconds + 100);
    GetLocalTime(&now);
    return now;
}

bool scheduleNow(const std::string& argument, std::string* error) {
    const std::string trigger = argument.empty() ? "/disconnect" : argument;
    const SYSTEMTIME now = safeMinute();
    const std::string hour = std::to_string(now.wHour);
    const std::string minute = std::to_string(now.wMinute);
    printLine(noteLine("scheduling a disconnect and a connect at " + twoDigits(now.wHour) + ":" +
                       twoDigits(now.wMinute) + ", trigger text \"" + trigger + "\""));
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
        *error = "the plug-in is already unloaded";
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
            *error = "the plug-in made fewer than " + std::to_string(step.count) + " requests";
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
            printLine(step.argument);
            return true;
    }
    return false;
}

// Parses and runs one line; false after printing "WHERE:LINE: reason".
bool parseAndRun(const std::string& where, const ScriptLine& line) {
    Step step;
    bool isStep = false;
    std::string error;
    if (parseStep(line.text, &step, &isStep, &error) && (!isStep || runStep(step, &error))) return true;
    printError(where + ":" + std::to_string(line.number) + ": " + error);
    return false;
}

// A script's lines, numbered from 1.
std::vector<ScriptLine> scriptLines(const std::string& content) {
    std::vector<ScriptLine> lines;
    unsigned number = 1;
    for (const std::string& text : splitLines(content)) lines.push_back(ScriptLine{number++, text});
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
        if (parseStep(line.text, &step, &isStep, &error)) continue;
        printError(where + ":" + std::to_string(line.number) + ": " + error);
        return false;
    }
    return true;
}

const char DEMO_SCRIPT[] =
    "echo == 1. First start: there is no dormex.ini yet, so the plug-in writes the default one\n"
    "start\n"
    "show-settings\n"
    "echo    (nothing is scheduled yet: a first start leaves the schedule switched off)\n"
    "echo == 2. Stop\n"
    "stop\n"
    "echo == 3. A dormex.ini that disconnects and connects in the present minute\n"
    "schedule-now /disconnect\n"
    "show-settings\n"
    "echo == 4. Second start: the watch thread's first pass queries, disconnects, queries, connects\n"
    "start\n"
    "wait-requests 4\n"
    "echo == 5. The trigger text disconnects at once; near misses do nothing\n"
    "text /disconnect\n"
    "text /Disconnect\n"
    "text /disconnect \n"
    "echo == 6. Stop and unload\n"
    "stop\n"
    "unload\n";

}  // namespace

bool readScriptFile(const std::string& path, std::vector<ScriptLine>* lines) {
    std::string content;
    if (readWholeFile(path, &content) != FILE_READ) {
        printError("cannot read the script " + path);
        return false;
    }
    *lines = scriptLines(content);
    return checkLines(path, *lines);
}

bool runScriptLines(const std::string& path, const std::vector<ScriptLine>& lines) {
    return runLines(path, lines);
}

bool runScriptFromStdin() {
    ScriptLine line{1, std::string()};
    int c = 0;
    while ((c = fgetc(stdin)) != EOF) {
        if (c != '\n') {
            line.text += static_cast<char>(c);
            continue;
        }
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        if (!parseAndRun("stdin", line)) return false;
        line = ScriptLine{line.number + 1, std::string()};
    }
    return line.text.empty() || parseAndRun("stdin", line);
}

bool runDemo() {
    printLine("== Dormex host demo: a day in miniature");
    return runLines("demo", scriptLines(DEMO_SCRIPT));
}
