// dormex-host: a stand-in for the messenger that hosts Dormex.dll. It loads a
// plug-in DLL, plays the host's part of every exchange (events in, queries and
// commands served through its callback, with a simulated connection state)
// and prints each framed message in both directions, as hex and decoded.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_script.h"
#include "host_session.h"
#include "host_trace.h"
#include "settings_check.h"

namespace {

constexpr int EXIT_RUN_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] =
    "Usage: dormex-host [--dll PATH] [SCRIPT|-]\n"
    "       dormex-host check [FILE|DIR]\n"
    "Loads a plug-in DLL (default: Dormex.dll beside this program), plays its host and\n"
    "prints every message both ways, one line each: time, direction, meaning, the thread\n"
    "that called back (the host's own or thread 2, 3, ... of the plug-in), then the bytes.\n"
    "SCRIPT is a file of steps, - reads them from standard input; without either it runs\n"
    "a short demo. The host answers a query for its connection state from a simulated\n"
    "state that connect and disconnect commands change. At the end, a plug-in still\n"
    "running gets a stop and is unloaded, as a host does when it quits.\n\n"
    "check reads a settings file (default: dormex.ini here; DIR: its dormex.ini) as the\n"
    "plug-in reads it and says what the plug-in will do with it. It changes nothing.\n"
    "Exit 0: valid; 1: the plug-in would replace it; 2: it cannot be read.\n\n";

struct Options {
    std::string dllPath;
    std::string script;  // empty: the demo
};

// False after printing why, with `*exitCode` set; help also ends the run.
bool parseOptions(int argc, char** argv, Options* options, int* exitCode) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            printf("%s%s", USAGE, SCRIPT_STEPS_HELP);
            *exitCode = 0;
            return false;
        }
        if (argument == "--dll") {
            if (i + 1 == argc) {
                printError("--dll needs the path of a plug-in DLL");
                *exitCode = EXIT_USAGE;
                return false;
            }
            options->dllPath = argv[++i];
        } else if (options->script.empty() && (argument == "-" || argument[0] != '-')) {
            options->script = argument;
        } else {
            printError("unexpected argument \"" + argument + "\" (try --help)");
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
        printLine(noteLine("quitting: stop the plug-in first"));
        sendStop();
    }
    if (pluginLoaded()) unloadPlugin();
    removeTemporarySettingsDir();
}

}  // namespace

int main(int argc, char** argv) {
    markHostThread();
    // Bytes in and out as they are: script text goes to the plug-in byte for byte.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc >= 2 && strcmp(argv[1], "check") == 0) {
        if (argc > 3) {
            printError("check takes one FILE or DIR (try --help)");
            return EXIT_USAGE;
        }
        return checkSettingsFile(argc == 3 ? argv[2] : nullptr);
    }
    Options options;
    int exitCode = 0;
    if (!parseOptions(argc, argv, &options, &exitCode)) return exitCode;
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
