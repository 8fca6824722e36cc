// Reading the settings file's bytes: lines by position, values after the
// first "=", and the number syntax. Pure: no file access here.
#include <cstring>

#include "platform/callconv.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

enum NumberStage : uint8_t {
    NUM_BLANKS,      // leading blanks, nothing else yet
    NUM_SIGNED,      // a sign, no digit yet
    NUM_ZERO,        // a lone "0", which may still turn into "0x"
    NUM_DECIMAL,     // decimal digits
    NUM_HEX_PREFIX,  // a hexadecimal prefix, no digit yet
    NUM_HEX,         // hexadecimal digits
    NUM_FAILED,
};

constexpr uint64_t DECIMAL_LIMIT = 0x80000000u;  // magnitude of the most negative int32

int hexDigitValue(uint8_t byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

bool isHexPrefix(uint8_t byte) { return byte == '$' || byte == 'x' || byte == 'X'; }

// What may follow leading blanks or a sign.
uint8_t stageAfterStart(uint8_t byte) {
    if (isHexPrefix(byte)) return NUM_HEX_PREFIX;
    if (byte == '0') return NUM_ZERO;
    if (byte >= '1' && byte <= '9') return NUM_DECIMAL;
    return NUM_FAILED;
}

void addDecimalDigit(NumberScan* scan, uint8_t byte) {
    scan->magnitude = scan->magnitude * 10 + (byte - '0');
    if (scan->magnitude > DECIMAL_LIMIT) {
        scan->overflow = true;
        scan->magnitude = DECIMAL_LIMIT + 1;  // stays past the limit, never wraps
    }
}

void addHexDigit(NumberScan* scan, int digit) {
    if (scan->magnitude != 0 || digit != 0) ++scan->hexDigits;
    if (scan->hexDigits > 8) scan->overflow = true;
    scan->magnitude = ((scan->magnitude << 4) | static_cast<uint64_t>(digit)) & 0xFFFFFFFFu;
}

// Moves the scan on by one byte.
void feedNumberStage(NumberScan* scan, uint8_t byte) {
    switch (scan->stage) {
        case NUM_BLANKS:
            if (byte == ' ') return;
            if (byte == '+' || byte == '-') {
                scan->negative = byte == '-';
                scan->stage = NUM_SIGNED;
                return;
            }
            scan->stage = stageAfterStart(byte);
            break;
        case NUM_SIGNED:
            scan->stage = stageAfterStart(byte);
            break;
        case NUM_ZERO:
            if (byte == 'x' || byte == 'X') {
                scan->stage = NUM_HEX_PREFIX;
                return;
            }
            scan->stage = (byte >= '0' && byte <= '9') ? NUM_DECIMAL : NUM_FAILED;
            break;
        case NUM_DECIMAL:
            if (byte < '0' || byte > '9') scan->stage = NUM_FAILED;
            break;
        case NUM_HEX_PREFIX:
        case NUM_HEX:
            scan->stage = hexDigitValue(byte) >= 0 ? NUM_HEX : NUM_FAILED;
            break;
        default:
            return;
    }
    if (scan->stage == NUM_DECIMAL || scan->stage == NUM_ZERO) addDecimalDigit(scan, byte);
    if (scan->stage == NUM_HEX) addHexDigit(scan, hexDigitValue(byte));
}

// The value the bytes fed form; false and why not when they form none.
bool finishNumberScan(const NumberScan* scan, int32_t* value, ValueProblem* problem) {
    const uint8_t stage = scan->stage;
    if (stage == NUM_FAILED) {
        *problem = scan->firstProblem;
        return false;
    }
    if (stage != NUM_ZERO && stage != NUM_DECIMAL && stage != NUM_HEX) {
        *problem = VALUE_NO_DIGITS;
        return false;
    }
    const bool decimal = stage != NUM_HEX;
    if (scan->overflow || (decimal && !scan->negative && scan->magnitude >= DECIMAL_LIMIT)) {
        *problem = VALUE_TOO_LARGE;
        return false;
    }
    const uint32_t bits = static_cast<uint32_t>(scan->magnitude);
    *value = static_cast<int32_t>(scan->negative ? 0u - bits : bits);
    return true;
}

}  // namespace

void beginNumber(NumberScan* scan) { *scan = NumberScan{NUM_BLANKS, false, false, 0, 0, VALUE_FINE}; }

void feedNumber(NumberScan* scan, uint8_t byte) {
    const uint8_t before = scan->stage;
    feedNumberStage(scan, byte);
    if (scan->stage == NUM_FAILED && before != NUM_FAILED) {
        const bool afterDigits = before == NUM_ZERO || before == NUM_DECIMAL || before == NUM_HEX;
        scan->firstProblem = afterDigits && byte == ' ' ? VALUE_TRAILING_BLANK : VALUE_BAD_CHARACTER;
    }
}

bool finishNumber(const NumberScan* scan, int32_t* value, ValueProblem* problem) {
    ValueProblem found = VALUE_FINE;
    const bool ok = finishNumberScan(scan, value, &found);
    if (problem != nullptr) *problem = found;
    return ok;
}

bool parseSettingsNumber(const char* text, size_t size, int32_t* value) {
    NumberScan scan;
    beginNumber(&scan);
    for (size_t i = 0; i < size; ++i) feedNumber(&scan, static_cast<uint8_t>(text[i]));
    return finishNumber(&scan, value);
}

namespace {

constexpr uint8_t LINE_COUNT = 5;
constexpr uint8_t TRIGGER_LINE = 4;
constexpr uint8_t CTRL_Z = 26;

struct TimeLine {
    uint8_t Settings::*field;
    bool Settings::*flag;
    uint8_t limit;     // largest value in range
    uint8_t fallback;  // what an out-of-range value becomes
};

// Lines 1 to 4: the minute line's on/off decision replaces the hour line's.
const TimeLine TIME_LINES[4] = {
    {&Settings::disconnectHour, &Settings::disconnectEnabled, 23, 17},
    {&Settings::disconnectMinute, &Settings::disconnectEnabled, 59, 15},
    {&Settings::onlineHour, &Settings::onlineEnabled, 23, 7},
    {&Settings::onlineMinute, &Settings::onlineEnabled, 59, 30},
};

void beginValue(ValueScan* value) {
    value->size = 0;
    value->first = 0;
    beginNumber(&value->number);
}

void feedValue(ValueScan* value, uint8_t byte) {
    if (value->size == 0) value->first = byte;
    if (value->size < 2) ++value->size;  // only "empty", "one byte" or "more" matter
    feedNumber(&value->number, byte);
}

// A value is off when it is empty or exactly "-".
bool isOn(uint32_t size, uint8_t first) { return !(size == 0 || (size == 1 && first == '-')); }

void beginLine(SettingsParser* parser) {
    parser->sawEquals = false;
    parser->skipRest = false;
    beginValue(&parser->wholeLine);
    beginValue(&parser->afterEquals);
    parser->text.size = 0;
    parser->equalsAt = 0;
}

bool appendTextByte(SettingsParser* parser, uint8_t byte) {
    if (parser->text.size == parser->textCapacity) {
        const uint32_t grown = parser->textCapacity < 64 ? 64 : parser->textCapacity * 2;
        if (grown <= parser->textCapacity) return false;
        void* bytes = resizeMemory(parser->text.bytes, grown);
        if (bytes == nullptr) return false;
        parser->text.bytes = static_cast<uint8_t*>(bytes);
        parser->textCapacity = grown;
    }
    parser->text.bytes[parser->text.size++] = byte;
    return true;
}

bool finishTimeLine(SettingsParser* parser) {
    const TimeLine& line = TIME_LINES[parser->line];
    const ValueScan& value = parser->sawEquals ? parser->afterEquals : parser->wholeLine;
    const bool on = isOn(value.size, value.first);
    parser->target->*line.flag = on;
    if (!on) return true;
    int32_t number = 0;
    if (!finishNumber(&value.number, &number, &parser->problem)) return false;
    const uint8_t low = static_cast<uint8_t>(number);
    parser->target->*line.field = low > line.limit ? line.fallback : low;
    return true;
}

bool finishTriggerLine(SettingsParser* parser) {
    const uint32_t start = parser->sawEquals ? parser->equalsAt : 0;
    const uint32_t size = parser->text.size - start;
    Settings* target = parser->target;
    const uint8_t* bytes = parser->text.bytes != nullptr ? parser->text.bytes + start : nullptr;
    if (!setTriggerText(&target->triggerText, bytes, size)) {
        parser->outOfMemory = true;
        return false;
    }
    target->triggerEnabled = isOn(size, size != 0 ? bytes[0] : 0);
    return true;
}

void finishLine(SettingsParser* parser) {
    if (parser->watch != nullptr) parser->watch(parser->watchContext, parser, LINE_ENDED);
    const bool ok = parser->line == TRIGGER_LINE ? finishTriggerLine(parser) : finishTimeLine(parser);
    if (!ok) {
        parser->status = PARSE_FAILED;
        return;
    }
    if (++parser->line == LINE_COUNT) {
        parser->status = PARSE_DONE;
        return;
    }
    beginLine(parser);
}

void feedLineByte(SettingsParser* parser, uint8_t byte) {
    if (parser->watch != nullptr) parser->watch(parser->watchContext, parser, byte);
    if (parser->line == TRIGGER_LINE) {
        if (!appendTextByte(parser, byte)) {
            parser->outOfMemory = true;
            parser->status = PARSE_FAILED;
            return;
        }
        if (byte == '=' && !parser->sawEquals) parser->equalsAt = parser->text.size;
    } else {
        feedValue(&parser->wholeLine, byte);
        if (parser->sawEquals) feedValue(&parser->afterEquals, byte);
    }
    if (byte == '=') parser->sawEquals = true;
}

void feedFileByte(SettingsParser* parser, uint8_t byte) {
    if (parser->status != PARSE_MORE) return;
    if (byte == '\n') {
        finishLine(parser);
    } else if (byte == '\r' || parser->skipRest) {
        // A CR never belongs to a value; after Ctrl-Z the line is skipped.
    } else if (byte == CTRL_Z) {
        parser->skipRest = true;
    } else {
        feedLineByte(parser, byte);
    }
}

// Notepad's "UTF-8 with BOM" puts these three bytes before line 1.
constexpr uint8_t BYTE_ORDER_MARK[3] = {0xEF, 0xBB, 0xBF};

// The file start is behind us: bytes held back as a possible mark are the file's own.
void endFileStart(SettingsParser* parser) {
    if (parser->pastFileStart) return;
    parser->pastFileStart = true;
    for (uint8_t i = 0; i < parser->markBytes; ++i) feedFileByte(parser, BYTE_ORDER_MARK[i]);
}

// True when `byte` was taken as part of a byte-order mark at the file start.
bool takeMarkByte(SettingsParser* parser, uint8_t byte) {
    if (parser->pastFileStart) return false;
    if (byte != BYTE_ORDER_MARK[parser->markBytes]) {
        endFileStart(parser);
        return false;
    }
    if (++parser->markBytes == sizeof BYTE_ORDER_MARK) {
        parser->skippedByteOrderMark = true;
        parser->markBytes = 0;
        parser->pastFileStart = true;
    }
    return true;
}

void releaseParser(SettingsParser* parser) {
    freeMemory(parser->text.bytes);
    parser->text.bytes = nullptr;
    parser->textCapacity = 0;
}

}  // namespace

void beginSettingsParse(SettingsParser* parser, Settings* target) {
    memset(parser, 0, sizeof *parser);
    parser->target = target;
    parser->status = PARSE_MORE;
    beginLine(parser);
}

ParseStatus feedSettingsBytes(SettingsParser* parser, const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size && parser->status == PARSE_MORE; ++i) {
        if (!takeMarkByte(parser, bytes[i])) feedFileByte(parser, bytes[i]);
    }
    return parser->status;
}

ParseStatus finishSettingsParse(SettingsParser* parser) {
    endFileStart(parser);
    if (parser->watch != nullptr && parser->status == PARSE_MORE) {
        parser->watch(parser->watchContext, parser, FILE_ENDED);
    }
    while (parser->status == PARSE_MORE) finishLine(parser);
    releaseParser(parser);
    return parser->status;
}

void abandonSettingsParse(SettingsParser* parser) {
    parser->status = PARSE_FAILED;
    releaseParser(parser);
}

LoadResult parseResult(const SettingsParser* parser) {
    if (parser->status == PARSE_DONE) return LoadResult{LOAD_OK, 0, VALUE_FINE};
    if (parser->outOfMemory) return LoadResult{LOAD_NO_MEMORY, 0, VALUE_FINE};
    return LoadResult{LOAD_BAD_VALUE, static_cast<uint8_t>(parser->line + 1), parser->problem};
}

bool parseSettingsText(const uint8_t* bytes, size_t size, Settings* target) {
    SettingsParser parser;
    beginSettingsParse(&parser, target);
    feedSettingsBytes(&parser, bytes, size);
    return finishSettingsParse(&parser) == PARSE_DONE;
}

namespace {

bool hasNonAsciiByte(const uint8_t* bytes, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        if (bytes[i] >= 0x80) return true;
    }
    return false;
}

}  // namespace

DORMEX_NO_BUFFER bool setTriggerText(TriggerText* text, const uint8_t* bytes, uint32_t size) {
    uint8_t* copy = nullptr;
    if (size != 0) {
        copy = static_cast<uint8_t*>(allocateMemory(size));
        if (copy == nullptr) return false;
        memcpy(copy, bytes, size);
    }
    // ASCII is spelled the same in every ANSI code page.
    uint32_t ansiSize = 0;
    uint8_t* ansi = hasNonAsciiByte(bytes, size) ? ansiSpellingOfUtf8(bytes, size, &ansiSize) : nullptr;
    freeMemory(text->bytes);
    freeMemory(text->ansiBytes);
    *text = TriggerText{copy, size, ansi, ansi != nullptr ? ansiSize : 0};
    return true;
}
