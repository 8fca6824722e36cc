// The host's trace: one line per message, stamped with the time and never
// interleaved between threads, plus the decoding of each kind of frame. Every
// line is UTF-8, shown as host_text.h says; texts from the plug-in are read in
// the ANSI code page.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

enum class Direction { HostToPlugin, PluginToHost };

// How a session is shown: each message with its time, direction and bytes
// (scripts, the developers' demo), or what happened in words, for a user
// trying the plug-in out: then notes lose their time stamp and every line is
// wrapped to fit a window.
enum class TraceStyle { Frames, Words };
void useTraceStyle(TraceStyle style);
bool tracedInWords();

// Makes the calling thread the one labelled "host thread"; call first thing.
void markHostThread();
// "host thread", or "thread N" (N from 2, in order of first appearance).
std::string callingThreadLabel();

// The bytes as lower-case hex pairs; long frames are cut short with a note.
std::string hexOf(const uint8_t* bytes, uint32_t size);
// "2 (on-line)", "1 (off-line)" or "7 (unknown)", in the language in use.
std::string describeState(int32_t state);

// The hex of a frame someone handed us, read only within its announced length.
std::string hexOfFrame(const uint8_t* framed);
// A host event as "start  dir=...", "text \"...\"", "stop", ...
std::string describeEvent(const uint8_t* framed);
// The plug-in's answer to a start event: name and interface version.
std::string describeStartAnswer(const uint8_t* framed);
// Any frame by its kind and code, for what the host does not expect.
std::string describeAnyFrame(const uint8_t* framed);

// "hh:mm:ss.mmm  host -> plug-in  DESCRIPTION  [THREAD]  | HEX"; no thread part when empty.
std::string messageLine(Direction direction, const std::string& description, const std::string& thread,
                        const std::string& hex);
// A line about the host itself (state changes, files), not a message.
std::string noteLine(const std::string& text);

// Prints the lines together under one lock, and flushes them.
void printLines(std::initializer_list<std::string> lines);
void printLine(const std::string& line);
// One line on standard error: "dormex-host: TEXT".
void printError(const std::string& text);
