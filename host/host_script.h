// The steps a session is made of, read from a script, standard input or the
// built-in demo.
#pragma once

#include <string>
#include <vector>

struct ScriptLine {
    unsigned number;
    std::string text;  // as the host sends it, in the ANSI code page
    bool spelled;      // false: the line has letters the ANSI code page lacks
};

// A file of steps: one named *.steps, or one whose first step line starts
// with a step's name (a settings file never does).
bool isScriptFile(const std::string& path);
// Reads the script file (ANSI, UTF-8 or UTF-16) and checks every line. False after a one-line error
// on standard error.
bool readScriptFile(const std::string& path, std::vector<ScriptLine>* lines);
// Runs the lines read from `path`; false after a one-line error.
bool runScriptLines(const std::string& path, const std::vector<ScriptLine>& lines);
// Runs steps from standard input as they arrive; a bad line stops the run.
bool runScriptFromStdin();
// The day in miniature: first start, schedule, trigger, stop, unload.
bool runDemo();
