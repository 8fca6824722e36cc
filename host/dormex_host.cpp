// dormex-host: a stand-in for the messenger that hosts Dormex.dll. It loads a
// plug-in DLL, plays the host's part of every exchange (events in, queries and
// commands served through its callback, with a simulated connection state)
// and prints each framed message in both directions, as hex and decoded.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_script.h"
#include "host_session.h"
#include "host_text.h"
#include "host_trace.h"
#include "messages.h"
#include "settings_check.h"
#include "user_paths.h"

namespace {

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct Options {
    std::string dllPath;  // in the ANSI code page, as LoadLibraryA takes it
    std::string script;   // empty: the demo
};

void printHelp() { writeText(stdout, text(USAGE) + say(STEPS_HELP, ansiCodePage())); }

// Takes "--lang ru|en" out of the arguments, wherever it stands, and uses that
// language; without it, the one Windows shows.
bool takeLanguage(std::vector<Argument>* arguments, int* exitCode) {
    useLanguage(userInterfaceLanguage());
    for (size_t i = 0; i < arguments->size(); ++i) {
        if ((*arguments)[i].typed != "--lang") continue;
        Language chosen = LANGUAGE_ENGLISH;
        if (i + 1 == arguments->size() || !languageNamed((*arguments)[i + 1].typed, &chosen)) {
            printError(text(FAIL_LANG_NEEDS_NAME));
            *exitCode = EXIT_USAGE;
            return false;
        }
        useLanguage(chosen);
        arguments->erase(arguments->begin() + static_cast<long>(i),
                         arguments->begin() + static_cast<long>(i) + 2);
        --i;
    }
    return true;
}

// A path the plug-in or the host opens in the ANSI code page; false after saying why it cannot.
bool takePath(const Argument& argument, std::string* path, int* exitCode) {
    if (argument.spelled) {
        *path = argument.ansi;
        return true;
    }
    const std::string why = say(PATH_NOT_IN_CODE_PAGE, ansiCodePage());
    printError(say(FAIL_IN_PATH, argument.typed.c_str(), why.c_str()));
    *exitCode = EXIT_USAGE;
    return false;
}

// False after printing why, with `*exitCode` set; help also ends the run.
bool parseOptions(const std::vector<Argument>& arguments, Options* options, int* exitCode) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i].typed;
        if (argument == "-h" || argument == "--help") {
            printHelp();
            *exitCode = 0;
            return false;
        }
        if (argument == "--dll") {
            if (i + 1 == arguments.size()) {
                printError(text(FAIL_DLL_NEEDS_PATH));
                *exitCode = EXIT_USAGE;
                return false;
            }
            if (!takePath(arguments[++i], &options->dllPath, exitCode)) return false;
        } else if (options->script.empty() && (argument == "-" || argument[0] != '-')) {
            if (!takePath(arguments[i], &options->script, exitCode)) return false;
        } else {
            printError(say(FAIL_UNEXPECTED_ARGUMENT, quotedUtf8(argument).c_str()));
            *exitCode = EXIT_USAGE;
            return false;
        }
    }
    if (options->dllPath.empty()) options->dllPath = pluginBesideProgram();
    return true;
}

bool runSession(const Options& options, const std::vector<ScriptLine>& scriptFile) {
    if (options.script.empty()) return runDemo();
    if (options.script == "-") return runScriptFromStdin();
    return runScriptLines(options.script, scriptFile);
}

// What a host does when it quits: stop a running plug-in, then unload it.
void endSession() {
    if (pluginLoaded() && pluginRunning()) {
        printLine(noteLine(text(NOTE_QUITTING)));
        sendStop();
    }
    if (pluginLoaded()) unloadPlugin();
    // The watch thread's last steps run in the library as it leaves: let them
    // end before this process does, as a careful host lets its plug-ins go.
    waitForUnloadedPlugin(2000);
    removeTemporarySettingsDir();
}

int runHost(const std::vector<Argument>& arguments) {
    Options options;
    int exitCode = 0;
    if (!parseOptions(arguments, &options, &exitCode)) return exitCode;
    // A script file is checked whole before anything happens.
    std::vector<ScriptLine> scriptFile;
    const bool fromFile = !options.script.empty() && options.script != "-";
    if (fromFile && !readScriptFile(options.script, &scriptFile)) return EXIT_RUN_FAILED;
    std::string error;
    if (!loadPlugin(options.dllPath, &error)) {
        printError(error);
        return EXIT_RUN_FAILED;
    }
    const bool completed = runSession(options, scriptFile);
    endSession();
    return completed ? 0 : EXIT_RUN_FAILED;
}

bool isPath(const Argument& argument) { return !argument.typed.empty() && argument.typed[0] != '-'; }

// Paths alone, as dropping files on the program or into a cmd window gives,
// are checked; a single file of steps is run as a script.
bool arePathsToCheck(const std::vector<Argument>& arguments) {
    for (const Argument& argument : arguments) {
        if (!isPath(argument)) return false;
    }
    return arguments.size() > 1 || !(arguments[0].spelled && isScriptFile(arguments[0].ansi));
}

int run(const std::vector<Argument>& arguments) {
    if (arguments.empty()) return runHost(arguments);
    if (arguments[0].typed == "check")
        return checkSettingsFiles(std::vector<Argument>(arguments.begin() + 1, arguments.end()));
    if (arePathsToCheck(arguments)) return checkSettingsFiles(arguments);
    return runHost(arguments);
}

// A console that holds this process alone was opened for it (a double-click
// in Explorer, or a file dropped on the program) and closes when it ends.
bool ownsItsConsole() {
    DWORD processes[2];
    DWORD mode = 0;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

// One line typed, pasted or dragged into the window, as UTF-8; from a pipe,
// UTF-8 or ANSI. False when nothing more comes.
bool readTypedLine(std::string* line) {
    DWORD mode = 0;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(input, &mode)) {
        wchar_t typed[4096];
        DWORD count = 0;
        if (!ReadConsoleW(input, typed, 4095, &count, nullptr) || count == 0) return false;
        while (count > 0 && (typed[count - 1] == L'\n' || typed[count - 1] == L'\r')) --count;
        typed[count] = L'\0';
        *line = trimmed(utf8FromWide(typed));
        return true;
    }
    std::string bytes;
    int c = 0;
    while ((c = fgetc(stdin)) != EOF && c != '\n') bytes += static_cast<char>(c);
    if (c == EOF && bytes.empty()) return false;
    const bool utf8 =
        isUtf8Letters(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    *line = trimmed(utf8 ? bytes : utf8FromAnsi(bytes));
    // As a console would have echoed it.
    writeText(stdout, *line + "\n");
    return true;
}

// The demo from the welcome screen tells what the plug-in did in words;
// "demo --trace" shows every message as the developers' demo does.
bool runWelcomeDemo(const std::string& line) {
    const bool frames = line == "demo --trace" || line == "демо --trace";
    if (!frames && line != "demo" && line != "демо") return false;
    if (!frames) useTraceStyle(TraceStyle::Words);
    runHost(std::vector<Argument>());
    useTraceStyle(TraceStyle::Frames);
    return true;
}

// A double-click: what the program is for, then each path typed, pasted or
// dragged into the window is checked, "demo" runs the demo, and an empty
// line closes it.
int welcome() {
    writeText(stdout, text(WELCOME));
    int worst = 0;
    std::string line;
    for (;;) {
        writeText(stdout, text(WELCOME_PROMPT));
        if (!readTypedLine(&line) || line.empty()) return worst;
        if (runWelcomeDemo(line)) continue;
        const int exitCode = checkSettingsFiles(typedPaths(line));
        worst = exitCode > worst ? exitCode : worst;
    }
}

// Keeps the window open until the user has read it.
void waitForKey() {
    writeText(stdout, std::string("\n") + text(PRESS_ANY_KEY));
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD count = 0;
    while (ReadConsoleInputW(input, &record, 1, &count) && count == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

}  // namespace

int main() {
    markHostThread();
    // No CR LF translation: scripts are read as they are, and text goes out as written.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<Argument> arguments = commandLineArguments();
    int exitCode = 0;
    if (!takeLanguage(&arguments, &exitCode)) return exitCode;
    // The welcome screen in any console, or reading typed lines from a pipe.
    if (arguments.size() == 1 && arguments[0].typed == "--welcome") return welcome();
    if (!ownsItsConsole()) return run(arguments);
    if (arguments.empty()) return welcome();
    exitCode = run(arguments);
    waitForKey();
    return exitCode;
}
