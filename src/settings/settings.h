// The settings file "dormex.ini": the in-memory record, the reader, the
// default file and the editor launch.
//
// The reader is layered so that tests can feed it strings: a byte-stream
// parser (begin/feed/finish), a whole-text parse on top of it, and the file
// loader on top of that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.h"

// The trigger text; owns its bytes (from allocateMemory), released at unload.
struct TriggerText {
    uint8_t* bytes;
    uint32_t size;
    // The same letters in the ANSI code page, when `bytes` are UTF-8 with
    // non-ASCII letters that convert exactly (Notepad saves UTF-8, hosts send
    // ANSI text); null otherwise. The trigger fires on either spelling.
    uint8_t* ansiBytes;
    uint32_t ansiSize;
};

struct Settings {
    uint8_t disconnectHour;
    uint8_t disconnectMinute;
    uint8_t onlineHour;
    uint8_t onlineMinute;
    bool disconnectEnabled;
    bool onlineEnabled;
    bool triggerEnabled;
    // Line 5, keyed "DisconnectStr" in the file; named here like its on/off flag.
    TriggerText triggerText;
};

// Longest settings path the system accepts, in bytes.
constexpr uint32_t MAX_SETTINGS_PATH = 259;
// A path buffer with room for the terminator.
typedef char SettingsPath[MAX_SETTINGS_PATH + 1];

// Forms `dir` followed directly by "dormex.ini". When that would be longer
// than MAX_SETTINGS_PATH or `dir` holds a NUL byte, forms the empty path,
// which every file operation refuses, and returns false.
bool formSettingsPath(ByteView dir, SettingsPath out);

// --- Number syntax ---------------------------------------------------------

// Why a value is not a number, for a message that names the line.
enum ValueProblem : uint8_t {
    VALUE_FINE,
    VALUE_BAD_CHARACTER,   // a byte that can't stand where it is
    VALUE_TRAILING_BLANK,  // a blank after the digits
    VALUE_NO_DIGITS,       // blanks, a sign or a hexadecimal prefix and nothing more
    VALUE_TOO_LARGE,       // outside the 32-bit range
};

// Scans one number byte by byte, so a value of any length needs no buffer.
struct NumberScan {
    uint8_t stage;
    bool negative;
    bool overflow;
    uint8_t hexDigits;  // significant hexadecimal digits so far
    uint64_t magnitude;
    ValueProblem firstProblem;  // set when the scan fails on a byte
};

void beginNumber(NumberScan* scan);
void feedNumber(NumberScan* scan, uint8_t byte);
// True and the value when the bytes fed form a number; otherwise false and,
// when `problem` is not null, why not.
bool finishNumber(const NumberScan* scan, int32_t* value, ValueProblem* problem = nullptr);
// The whole-text form: true and the value when `text` is a number.
bool parseSettingsNumber(const char* text, size_t size, int32_t* value);

// --- The stream parser -----------------------------------------------------

enum ParseStatus : uint8_t {
    PARSE_MORE,    // wants more bytes
    PARSE_DONE,    // all five lines read; further bytes are not needed
    PARSE_FAILED,  // a number did not parse or memory ran out; stop reading
};

// The value of one line so far, seen from where it starts.
struct ValueScan {
    uint32_t size;
    uint8_t first;
    NumberScan number;
};

struct SettingsParser;

// Lets a tool see the lines as the parser reads them; the plug-in sets none.
// Called with each byte a line takes in (CR, Ctrl-Z and what it skips already
// left out; `parser->sawEquals` tells whether an "=" came before it), and with
// LINE_ENDED when line `parser->line` ends, before its value is taken, and with
// FILE_ENDED when the input ends before the fifth line has.
constexpr int LINE_ENDED = -1;
constexpr int FILE_ENDED = -2;
typedef void (*ParseWatch)(void* context, const SettingsParser* parser, int byte);

struct SettingsParser {
    Settings* target;
    ParseWatch watch;  // null unless a tool set one
    void* watchContext;
    uint8_t line;  // 0-based index of the line being read
    bool sawEquals;
    bool skipRest;  // after Ctrl-Z, up to the line end
    ParseStatus status;
    ValueScan wholeLine;  // in case the line has no "="
    ValueScan afterEquals;
    TriggerText text;  // line 5's bytes as it is read
    uint32_t textCapacity;
    uint32_t equalsAt;          // where line 5's value starts
    uint8_t markBytes;          // leading bytes matching the UTF-8 byte-order mark so far
    bool pastFileStart;         // no byte-order mark can come any more
    bool skippedByteOrderMark;  // the file began with one, which was skipped
    bool outOfMemory;           // why a failed parse failed, when not a bad value
    ValueProblem problem;       // for a bad value on line `line` + 1
};

// Starts a parse that writes each line's result into `target` as the line ends.
void beginSettingsParse(SettingsParser* parser, Settings* target);
ParseStatus feedSettingsBytes(SettingsParser* parser, const uint8_t* bytes, size_t size);
// Ends the input: the lines not yet read read as empty. Releases the parser.
ParseStatus finishSettingsParse(SettingsParser* parser);
// Drops a parse cut short by a read error. Releases the parser.
void abandonSettingsParse(SettingsParser* parser);

// Parses a whole file's bytes into `target`; true when all five lines were read.
bool parseSettingsText(const uint8_t* bytes, size_t size, Settings* target);

// --- The file --------------------------------------------------------------

// What loading the file came to. Only LOAD_OK means all five lines were read;
// after any other result the lines before the failure may already be in the
// target.
enum LoadStatus : uint8_t {
    LOAD_OK,
    LOAD_NO_FILE,     // nothing is at the path
    LOAD_NOT_OPENED,  // something is there but could not be opened (a directory, no access, locked)
    LOAD_BAD_VALUE,   // the value on `line` is not a number, for `problem`
    LOAD_READ_ERROR,  // the system reported an error reading or closing the file
    LOAD_NO_MEMORY,   // no memory for the trigger text
};

struct LoadResult {
    LoadStatus status;
    uint8_t line;          // 1-based; set for LOAD_BAD_VALUE, 0 otherwise
    ValueProblem problem;  // set for LOAD_BAD_VALUE, VALUE_FINE otherwise
};

// --- Files other programs hold and change ----------------------------------

// The pauses one start may spend in all on files that another program holds
// for a moment (a virus scanner, the search indexer, a sync client, an editor saving).
constexpr uint32_t START_PAUSE_BUDGET_MS = 2600;

// What a start had to leave undone because another program held a file past
// its budget: a temporary file of ours to remove, or the user's file, set
// aside under a name of ours, to put back. Settled once they can be.
struct Leftover {
    SettingsPath path;       // empty: a free slot
    SettingsPath putBackAt;  // empty: the file is ours, to remove
};
constexpr uint32_t MAX_LEFTOVERS = 4;
struct Leftovers {
    Leftover items[MAX_LEFTOVERS];
};

// What a load read of the file, so that a start replaces only the file it judged.
// Should another file ever match, it is kept as the backup all the same: never lost.
struct FileFingerprint {
    uint32_t hash;  // FNV-1a of the bytes read
    uint32_t size;  // bytes read, modulo 2^32
    bool whole;     // read to its end, as a file that failed to load is unless a read failed
};

// What the file work of one start shares.
struct FileWork {
    uint32_t pauseLeftMs;  // of START_PAUSE_BUDGET_MS
    Leftovers* leftovers;  // null: none are kept
    FileFingerprint read;  // of the settings file as its load read it
};

// Tries once, without waiting, to settle each leftover; keeps those still
// refused. A file put back never replaces one at its path, which is newer.
void settleLeftovers(Leftovers* leftovers);

// Reads the file at `path` into `target` and says how that went; `watch`, when
// set, sees each line as it is read. A file held by another program for a
// moment is waited for out of `work`'s pauses, and its fingerprint left there
// (null: a budget of its own). Others may read, write and delete the file meanwhile.
LoadResult loadSettingsFile(const char* path, Settings* target, ParseWatch watch = nullptr,
                            void* watchContext = nullptr, FileWork* work = nullptr);
// What a finished parse came to, as a load result.
LoadResult parseResult(const SettingsParser* parser);
// Puts the default times and trigger text in memory; flags stay as they are.
void putDefaultSettings(Settings* target);
// Writes the five default lines to `path`, where there was no file, through a
// new temporary file beside it that is moved into place once every byte is
// written, on the disk and closed. True when `path` holds the default file now
// or a file that appeared there meanwhile (kept as it is); false, with `path`
// as it was and no temporary file left, when any step failed.
bool writeDefaultSettings(const char* path, FileWork* work);
// Replaces the settings file that failed to load with the default file, only
// while `path` still holds the bytes `work->read` describes: that very file is kept
// as `path` + ".bak" first. A file changed since it was read (saved by an
// editor, replaced by another start) is left as it is. The file, or its
// backup, made read-only is never replaced (Windows refuses the move over it,
// Wine as root would not). False when the error box is due: the file is there
// as it was, neither kept nor replaced.
bool replaceJudgedSettingsFile(const char* path, FileWork* work);
// Shows the one error box the plug-in has: the settings file could not be made.
void showSettingsFileError();
// Opens the settings file of `dir` in Notepad, or where Notepad can't be
// started in the program the file type is associated with; does not wait or check.
void openSettingsEditor(ByteView dir);

// Replaces the stored trigger text and its ANSI spelling; false when memory
// ran out for the text (nothing changed). No memory for the ANSI spelling
// leaves the text with its own bytes only.
bool setTriggerText(TriggerText* text, const uint8_t* bytes, uint32_t size);
// Frees the settings' strings; called at unload.
void releaseSettings(Settings* settings);

// The default file, byte for byte.
extern const char DEFAULT_SETTINGS_FILE[];
constexpr uint32_t DEFAULT_SETTINGS_FILE_SIZE = 86;
