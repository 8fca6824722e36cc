// Fuzzes the settings reader over arbitrary file contents.
//
// Each input is parsed three ways (whole, in random chunks, and now and then
// from a file) into a record pre-filled with in-range sentinels, and each
// result is held against a small reference reader written from the file
// format alone: the result, every time, flag and the trigger text must match
// it, and a true result must leave every time in range.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/settings.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_settings: %s\n", what);
    abort();
}

// --- The reference reader ---------------------------------------------------
//
// Written from the file's rules, not from the reader's code; it mirrors every
// one of them:
// - a UTF-8 byte-order mark (EF BB BF) at the very start is skipped, once;
// - a line ends at LF; a CR is dropped wherever it stands; Ctrl-Z ends the
//   value of its line, whose rest is skipped; lines past the end are empty;
// - the value is what follows the first "=", or the whole line without one;
// - a value that is empty or "-" is off; lines 1 to 4 are numbers: leading
//   spaces, one sign, decimal or hexadecimal ($, x, X, 0x, 0X), digits to the
//   end, within 32 bits; the low 8 bits count, out of range gives the default;
// - a time pair is on or off by its minute line, and a failed number stops
//   the load with the lines after it unread.

constexpr uint8_t CTRL_Z = 26;
constexpr uint8_t BYTE_ORDER_MARK[3] = {0xEF, 0xBB, 0xBF};

// The value of each of the first five lines; lines past the end are empty.
void referenceValues(const uint8_t* data, size_t size, std::string values[5]) {
    size_t at = size >= 3 && memcmp(data, BYTE_ORDER_MARK, 3) == 0 ? 3 : 0;
    for (int line = 0; line < 5; ++line) {
        std::string text;
        bool cut = false;
        for (; at < size && data[at] != '\n'; ++at) {
            if (data[at] == CTRL_Z) cut = true;
            if (!cut && data[at] != '\r') text.push_back(static_cast<char>(data[at]));
        }
        if (at < size) ++at;  // the LF
        const size_t equals = text.find('=');
        values[line] = equals == std::string::npos ? text : text.substr(equals + 1);
    }
}

int digitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < base ? value : -1;
}

bool referenceNumber(const std::string& value, int32_t* out) {
    size_t at = value.find_first_not_of(' ');
    if (at == std::string::npos) return false;
    const bool negative = value[at] == '-';
    if (value[at] == '+' || value[at] == '-') ++at;
    int base = 10;
    if (at < value.size() && (value[at] == '$' || value[at] == 'x' || value[at] == 'X')) {
        base = 16;
        at += 1;
    } else if (value.compare(at, 2, "0x") == 0 || value.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    }
    if (at == value.size()) return false;
    const size_t first = value.find_first_not_of('0', at);
    const std::string digits = first == std::string::npos ? "0" : value.substr(first);
    uint64_t magnitude = 0;
    for (char c : value.substr(at)) {
        if (digitValue(c, base) < 0) return false;
    }
    if (digits.size() > (base == 16 ? 8u : 10u)) return false;
    for (char c : digits) magnitude = magnitude * base + digitValue(c, base);
    const uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    if (magnitude > limit) return false;
    const uint32_t bits = static_cast<uint32_t>(magnitude);
    *out = static_cast<int32_t>(negative ? 0u - bits : bits);
    return true;
}

struct TimeRule {
    uint8_t Settings::*field;
    bool Settings::*flag;
    uint8_t limit;
    uint8_t fallback;
};

const TimeRule TIME_RULES[4] = {
    {&Settings::disconnectHour, &Settings::disconnectEnabled, 23, 17},
    {&Settings::disconnectMinute, &Settings::disconnectEnabled, 59, 15},
    {&Settings::onlineHour, &Settings::onlineEnabled, 23, 7},
    {&Settings::onlineMinute, &Settings::onlineEnabled, 59, 30},
};

bool isOn(const std::string& value) { return !value.empty() && value != "-"; }

// Applies the bytes to `target` as the loader should; the trigger text goes to `trigger`.
bool referenceParse(const uint8_t* data, size_t size, Settings* target, std::string* trigger) {
    std::string values[5];
    referenceValues(data, size, values);
    for (int line = 0; line < 4; ++line) {
        const TimeRule& rule = TIME_RULES[line];
        target->*rule.flag = isOn(values[line]);
        if (!isOn(values[line])) continue;
        int32_t number = 0;
        if (!referenceNumber(values[line], &number)) return false;
        const uint8_t low = static_cast<uint8_t>(number);
        target->*rule.field = low > rule.limit ? rule.fallback : low;
    }
    *trigger = values[4];
    target->triggerEnabled = isOn(values[4]);
    return true;
}

// --- Checks -----------------------------------------------------------------

const char SENTINEL_TEXT[] = "sentinel";

uint64_t hashOf(const uint8_t* data, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

// In-range times that no default equals; flags from the input's hash so that
// "left as before" is seen for both values.
void fillSentinels(Settings* s, uint64_t hash) {
    *s = Settings{};
    s->disconnectHour = 5;
    s->disconnectMinute = 44;
    s->onlineHour = 21;
    s->onlineMinute = 3;
    s->disconnectEnabled = (hash >> 8) & 1;
    s->onlineEnabled = (hash >> 9) & 1;
    s->triggerEnabled = (hash >> 10) & 1;
    setTriggerText(&s->triggerText, reinterpret_cast<const uint8_t*>(SENTINEL_TEXT),
                   sizeof SENTINEL_TEXT - 1);
}

std::string triggerOf(const Settings& s) {
    return std::string(reinterpret_cast<const char*>(s.triggerText.bytes), s.triggerText.size);
}

bool sameSettings(const Settings& a, const Settings& b) {
    return a.disconnectHour == b.disconnectHour && a.disconnectMinute == b.disconnectMinute &&
           a.onlineHour == b.onlineHour && a.onlineMinute == b.onlineMinute &&
           a.disconnectEnabled == b.disconnectEnabled && a.onlineEnabled == b.onlineEnabled &&
           a.triggerEnabled == b.triggerEnabled && triggerOf(a) == triggerOf(b);
}

void checkInRange(const Settings& s) {
    if (s.disconnectHour > 23 || s.disconnectMinute > 59 || s.onlineHour > 23 || s.onlineMinute > 59) {
        fail("a successful load left a time out of range");
    }
}

bool parseInChunks(const uint8_t* data, size_t size, uint64_t seed, Settings* target) {
    SettingsParser parser;
    beginSettingsParse(&parser, target);
    size_t at = 0;
    while (at < size) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const size_t want = (seed >> 60) == 0 ? 700 : 1 + (seed >> 33) % 13;
        const size_t take = want < size - at ? want : size - at;
        feedSettingsBytes(&parser, data + at, take);
        at += take;
    }
    return finishSettingsParse(&parser) == PARSE_DONE;
}

std::string scratchFile;

bool loadThroughFile(const uint8_t* data, size_t size, Settings* target) {
    FILE* file = fopen(scratchFile.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) fail("scratch file");
    return loadSettingsFile(scratchFile.c_str(), target).status == LOAD_OK;
}

void removeScratchFile() { unlink(scratchFile.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when there is one: on a disk, each rewrite of the file is
    // pushed to the disk when it is closed (a truncated file rewritten), which
    // costs more than the parse itself.
    char inMemory[] = "/dev/shm/dormex-fuzz-settings-XXXXXX";
    char onDisk[] = "/tmp/dormex-fuzz-settings-XXXXXX";
    char* name = inMemory;
    int fd = mkstemp(inMemory);
    if (fd < 0) fd = mkstemp(name = onDisk);
    if (fd < 0) fail("cannot create the scratch file");
    close(fd);
    scratchFile = name;
    atexit(removeScratchFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint64_t hash = hashOf(data, size);
    Settings expected, whole, chunked, fromFile;
    fillSentinels(&expected, hash);
    fillSentinels(&whole, hash);
    fillSentinels(&chunked, hash);
    fillSentinels(&fromFile, hash);

    std::string expectedTrigger = SENTINEL_TEXT;
    const bool expectedOk = referenceParse(data, size, &expected, &expectedTrigger);
    setTriggerText(&expected.triggerText, reinterpret_cast<const uint8_t*>(expectedTrigger.data()),
                   static_cast<uint32_t>(expectedTrigger.size()));

    const bool wholeOk = parseSettingsText(data, size, &whole);
    if (wholeOk) checkInRange(whole);
    if (wholeOk != expectedOk) fail("result differs from the reference reader");
    if (!sameSettings(whole, expected)) fail("settings differ from the reference reader");

    const bool chunkedOk = parseInChunks(data, size, hash, &chunked);
    if (chunkedOk != wholeOk || !sameSettings(chunked, whole)) fail("chunked parse differs from one piece");

    if ((hash & 15) == 0) {
        const bool fileOk = loadThroughFile(data, size, &fromFile);
        if (fileOk != wholeOk || !sameSettings(fromFile, whole))
            fail("file load differs from the text parse");
    }

    for (Settings* s : {&expected, &whole, &chunked, &fromFile}) setTriggerText(&s->triggerText, nullptr, 0);
    return 0;
}
