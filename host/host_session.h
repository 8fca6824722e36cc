// The host's side of a session with one plug-in DLL: loading it, the events
// it sends, the callback it serves and the connection state it simulates.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// "Dormex.dll" in the directory of this program.
std::string pluginBesideProgram();

// Loads the DLL and finds pluginFun; false with a one-line reason.
bool loadPlugin(const std::string& path, std::string* error);
bool pluginLoaded();
// FreeLibrary on the DLL; the events below need it loaded.
void unloadPlugin();
// Waits, `limitMs` at most, until the library unloaded last is gone from the
// process: a watch thread stopped a moment before gives it back as it leaves.
// A library its error box pinned stays until the process ends.
void waitForUnloadedPlugin(unsigned long limitMs);

// Each prints the event, hands it to pluginFun and prints what came back.
void sendStart(const std::string& settingsDir);
void sendStop();
void sendSettings();
void sendText(const std::string& text);
// Waits until the plug-in has made `count` requests since the last start
// event, at most `limitMs`; false when fewer came.
bool waitForRequests(int count, unsigned limitMs);
// True between a start event and the next stop.
bool pluginRunning();

// The connection state the callback reports (1 off-line, 2 on-line).
void setNetState(int32_t state);

// The settings directory of this run: the last one given to a start, or else
// a fresh one under the temporary directory, made at first use.
bool currentSettingsDir(std::string* dir, std::string* error);
// Remembers the directory that a start step named.
void useSettingsDir(const std::string& dir);
// Removes the temporary directory if this run made one.
void removeTemporarySettingsDir();

// Writes dormex.ini in the settings directory: each line followed by CR LF.
bool writeSettingsFile(const std::vector<std::string>& lines, std::string* error);
enum FileRead { FILE_READ, FILE_MISSING, FILE_READ_FAILED };
// Appends the bytes of the file at `path` to `content`; FILE_READ_FAILED
// keeps what was read before the error.
FileRead readWholeFile(const std::string& path, std::string* content);

// Splits text into lines at LF, dropping the CR of a CR LF; a last line
// without LF is kept whole.
std::vector<std::string> splitLines(const std::string& content);

// Prints the settings file's lines, or that there is none.
bool showSettingsFile(std::string* error);
