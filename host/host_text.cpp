#include "host_text.h"

#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstring>

#include "messages.h"
#include "platform/platform.h"

namespace {

// What each byte of the ANSI code page stands for; 0 where it stands for no
// character. Double-byte code pages show their lead bytes as \xNN.
struct AnsiTable {
    bool filled;
    uint16_t characters[256];
};

AnsiTable ansiTable;

const AnsiTable& ansiCharacters() {
    if (ansiTable.filled) return ansiTable;
    for (int byte = 0; byte < 256; ++byte) {
        const char single = static_cast<char>(byte);
        wchar_t character = 0;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &single, 1, &character, 1) != 1) character = 0;
        ansiTable.characters[byte] = static_cast<uint16_t>(character);
    }
    ansiTable.filled = true;
    return ansiTable;
}

// How much of a file tells whether it is UTF-16.
constexpr uint32_t UTF16_HEAD = 64;

bool isControl(uint32_t character) { return character < 0x20 || (character >= 0x7f && character < 0xa0); }

// Characters that show as a blank or as nothing, though they are neither.
bool isInvisibleCharacter(uint32_t character) {
    return isControl(character) || character == 0xa0 || character == 0xad || character == 0x180e ||
           (character >= 0x2000 && character <= 0x200f) || (character >= 0x2028 && character <= 0x202f) ||
           (character >= 0x205f && character <= 0x2064) || character == 0x3000 || character == 0xfeff;
}

void appendUtf8(std::string* out, uint32_t character) {
    if (character < 0x80) {
        *out += static_cast<char>(character);
    } else if (character < 0x800) {
        *out += static_cast<char>(0xc0 | (character >> 6));
        *out += static_cast<char>(0x80 | (character & 0x3f));
    } else {
        *out += static_cast<char>(0xe0 | (character >> 12));
        *out += static_cast<char>(0x80 | ((character >> 6) & 0x3f));
        *out += static_cast<char>(0x80 | (character & 0x3f));
    }
}

void appendEscape(std::string* out, uint8_t byte) {
    char escape[8];
    snprintf(escape, sizeof escape, "\\x%02x", byte);
    *out += escape;
}

// Bytes in a UTF-8 sequence that starts with `lead`; the text is known valid.
uint32_t sequenceLength(uint8_t lead) {
    if (lead < 0xc0) return 1;
    if (lead < 0xe0) return 2;
    return lead < 0xf0 ? 3 : 4;
}

// The character a valid sequence of 1 to 3 bytes spells; 0x10000 and up for 4 bytes.
uint32_t decodedCharacter(const uint8_t* sequence, uint32_t length) {
    if (length == 1) return sequence[0];
    if (length == 2) return ((sequence[0] & 0x1fu) << 6) | (sequence[1] & 0x3fu);
    if (length == 3)
        return ((sequence[0] & 0x0fu) << 12) | ((sequence[1] & 0x3fu) << 6) | (sequence[2] & 0x3fu);
    return 0x10000;
}

// Shows valid UTF-8: each character as it is, control characters byte by byte.
void appendUtf8Text(std::string* out, const uint8_t* bytes, uint32_t size) {
    uint32_t at = 0;
    while (at < size) {
        uint32_t length = sequenceLength(bytes[at]);
        if (length > size - at) length = size - at;
        const uint32_t character = decodedCharacter(bytes + at, length);
        if (isInvisibleCharacter(character) || !outputShowsCharacter(character)) {
            for (uint32_t i = 0; i < length; ++i) appendEscape(out, bytes[at + i]);
        } else {
            out->append(reinterpret_cast<const char*>(bytes + at), length);
        }
        at += length;
    }
}

void appendAnsiText(std::string* out, const uint8_t* bytes, uint32_t size) {
    const AnsiTable& table = ansiCharacters();
    for (uint32_t at = 0; at < size; ++at) {
        const uint32_t character = table.characters[bytes[at]];
        if (character == 0 || isInvisibleCharacter(character) || !outputShowsCharacter(character)) {
            appendEscape(out, bytes[at]);
        } else {
            appendUtf8(out, character);
        }
    }
}

// The first `limit` bytes at most, cut between UTF-8 characters where that is the encoding.
uint32_t shownSize(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit) {
    if (size <= limit) return size;
    return encoding == TEXT_UTF8 ? utf8Boundary(bytes, limit) : limit;
}

std::string textOf(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit) {
    const uint32_t shown = shownSize(bytes, size, encoding, limit);
    std::string out;
    if (encoding == TEXT_UTF8) {
        appendUtf8Text(&out, bytes, shown);
    } else {
        appendAnsiText(&out, bytes, shown);
    }
    if (shown < size) out += "...";
    return out;
}

const uint8_t* bytesOf(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

uint32_t sizeOf(const std::string& text) { return static_cast<uint32_t>(text.size()); }

std::string utf8FromWideText(const wchar_t* text, int length) {
    if (length == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace

unsigned ansiCodePage() { return GetACP(); }

uint32_t utf8Boundary(const uint8_t* bytes, uint32_t size) {
    if (size == 0) return 0;
    uint32_t last = size - 1;
    while (last > 0 && (bytes[last] & 0xc0) == 0x80) --last;
    return last + sequenceLength(bytes[last]) > size ? last : size;
}

bool isUtf8Letters(const uint8_t* bytes, uint32_t size) {
    bool beyondAscii = false;
    for (uint32_t i = 0; i < size && !beyondAscii; ++i) beyondAscii = bytes[i] >= 0x80;
    if (!beyondAscii) return false;
    const char* text = reinterpret_cast<const char*>(bytes);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(size), nullptr, 0) > 0;
}

bool isPlainAnsi(const uint8_t* bytes, uint32_t size) {
    const AnsiTable& table = ansiCharacters();
    for (uint32_t i = 0; i < size; ++i) {
        const uint32_t character = table.characters[bytes[i]];
        if (character != '\t' && (character == 0 || isControl(character))) return false;
    }
    return true;
}

Utf16Form utf16FormOf(const uint8_t* bytes, uint32_t size) {
    if (size >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe) return UTF16_LE;
    if (size >= 2 && bytes[0] == 0xfe && bytes[1] == 0xff) return UTF16_BE;
    uint32_t nuls[2] = {0, 0};
    for (uint32_t i = 0; i < size; ++i) nuls[i % 2] += bytes[i] == 0;
    const uint32_t pairs = size / 2;
    if (pairs >= 2 && nuls[1] * 2 > pairs && nuls[0] == 0) return UTF16_LE;
    if (pairs >= 2 && nuls[0] * 2 > pairs && nuls[1] == 0) return UTF16_BE;
    return NOT_UTF16;
}

std::string fileText(const std::string& file, bool* wasUtf16) {
    const uint8_t* bytes = bytesOf(file);
    const uint32_t size = sizeOf(file);
    const Utf16Form form = utf16FormOf(bytes, size < UTF16_HEAD ? size : UTF16_HEAD);
    if (wasUtf16 != nullptr) *wasUtf16 = form != NOT_UTF16;
    if (form != NOT_UTF16) {
        const bool marked = (bytes[0] == 0xff && bytes[1] == 0xfe) || (bytes[0] == 0xfe && bytes[1] == 0xff);
        const uint32_t skipped = marked ? 2 : 0;
        return utf8FromUtf16(bytes + skipped, size - skipped, form == UTF16_BE);
    }
    return file.compare(0, 3, "\xef\xbb\xbf") == 0 ? file.substr(3) : file;
}

TextEncoding encodingOf(const uint8_t* bytes, uint32_t size) {
    return isUtf8Letters(bytes, size) ? TEXT_UTF8 : TEXT_ANSI;
}

std::string shownText(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit) {
    return textOf(bytes, size, encoding, limit);
}

std::string quotedText(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit) {
    return std::string(text(QUOTE_OPEN)) + textOf(bytes, size, encoding, limit) + text(QUOTE_CLOSE);
}

std::string shownAnsi(const std::string& text) {
    return shownText(bytesOf(text), sizeOf(text), TEXT_ANSI, sizeOf(text));
}

std::string quotedAnsi(const std::string& text) {
    return quotedText(bytesOf(text), sizeOf(text), TEXT_ANSI, sizeOf(text));
}

std::string quotedUtf8(const std::string& text) {
    return quotedText(bytesOf(text), sizeOf(text), TEXT_UTF8, sizeOf(text));
}

std::string trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

uint32_t textWidth(const std::string& utf8) {
    uint32_t width = 0;
    for (const char unit : utf8) width += (static_cast<uint8_t>(unit) & 0xc0) != 0x80;
    return width;
}

std::string paddedTo(const std::string& utf8, uint32_t width) {
    const uint32_t have = textWidth(utf8);
    return have >= width ? utf8 : utf8 + std::string(width - have, ' ');
}

bool isInvisible(uint32_t character) { return isInvisibleCharacter(character); }

uint32_t characterAt(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t at,
                     uint32_t* length) {
    *length = 1;
    if (at >= size) return 0;
    if (encoding == TEXT_ANSI) return ansiCharacters().characters[bytes[at]];
    const uint32_t sequence = sequenceLength(bytes[at]);
    if (sequence > size - at) return 0;
    *length = sequence;
    return decodedCharacter(bytes + at, sequence);
}

namespace {

// Lines wrap before the last column, where a console would break them itself.
constexpr uint32_t MAX_WIDTH = 79;

// Where a line's continuation starts, in characters: under its value when it
// has one (the text after two blanks), else two further in than the line.
uint32_t hangOf(const std::string& line) {
    const size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) return 0;
    const size_t gap = line.find("  ", indent);
    const size_t value = gap == std::string::npos ? gap : line.find_first_not_of(' ', gap);
    const uint32_t width = value == std::string::npos ? MAX_WIDTH : textWidth(line.substr(0, value));
    return width < MAX_WIDTH / 2 ? width : static_cast<uint32_t>(indent) + 2;
}

// Where a line too wide breaks: at the last blank past the hang that fits
// (dropped), else after the last backslash of a long path, else at the last
// column; 0 for a line that fits.
struct LineBreak {
    size_t at;
    size_t skipped;
};

LineBreak breakOf(const std::string& line, uint32_t hang) {
    if (textWidth(line) <= MAX_WIDTH) return LineBreak{0, 0};
    size_t blank = 0, separator = 0, full = 0;
    uint32_t width = 0;
    for (size_t at = 0; at < line.size() && width <= MAX_WIDTH; ++at) {
        if ((static_cast<uint8_t>(line[at]) & 0xc0) == 0x80) continue;
        if (line[at] == ' ' && width > hang) blank = at;
        if (line[at] == '\\' && width > hang && width < MAX_WIDTH) separator = at + 1;
        if (width == MAX_WIDTH) full = at;
        ++width;
    }
    if (blank != 0) return LineBreak{blank, 1};
    return LineBreak{separator != 0 ? separator : full, 0};
}

std::string wrappedLine(std::string line) {
    // Each break must leave less than it took, or a deep indent would never end.
    const uint32_t hang = std::min(hangOf(line), MAX_WIDTH / 2);
    std::string out;
    for (LineBreak cut = breakOf(line, hang); cut.at != 0; cut = breakOf(line, hang)) {
        out += line.substr(0, cut.at) + "\n";
        line = std::string(hang, ' ') + line.substr(cut.at + cut.skipped);
    }
    return out + line + "\n";
}

}  // namespace

std::string wrapped(const std::string& text) {
    std::string out;
    size_t begin = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        out += wrappedLine(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return out + wrappedLine(text.substr(begin));
}

std::string utf8FromUtf16(const uint8_t* bytes, uint32_t size, bool bigEndian) {
    std::wstring wide;
    wide.reserve(size / 2);
    for (uint32_t at = 0; at + 1 < size; at += 2) {
        const uint8_t high = bigEndian ? bytes[at] : bytes[at + 1];
        const uint8_t low = bigEndian ? bytes[at + 1] : bytes[at];
        wide += static_cast<wchar_t>((high << 8) | low);
    }
    return utf8FromWideText(wide.data(), static_cast<int>(wide.size()));
}

std::string utf8FromWide(const wchar_t* text) {
    return utf8FromWideText(text, static_cast<int>(wcslen(text)));
}

std::string utf8FromAnsi(const std::string& ansi) {
    if (ansi.empty()) return std::string();
    const int size = static_cast<int>(ansi.size());
    std::wstring wide(ansi.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), size, &wide[0], size);
    return utf8FromWideText(wide.data(), length > 0 ? length : 0);
}

bool ansiFromUtf8(const std::string& utf8, std::string* ansi) {
    *ansi = utf8;
    if (utf8.empty() || GetACP() == CP_UTF8) return true;
    // The plug-in's own conversion, so a text is spelled as its trigger is.
    uint32_t size = 0;
    uint8_t* spelled = ansiSpellingOfUtf8(bytesOf(utf8), sizeOf(utf8), &size);
    if (spelled == nullptr) {
        ansi->clear();
        return false;
    }
    ansi->assign(reinterpret_cast<const char*>(spelled), size);
    freeMemory(spelled);
    return true;
}

namespace {

// A command line's words after the first, split as Windows splits them.
std::vector<Argument> wordsAfterFirst(const wchar_t* commandLine) {
    std::vector<Argument> arguments;
    int count = 0;
    wchar_t** words = CommandLineToArgvW(commandLine, &count);
    if (words == nullptr) return arguments;
    for (int i = 1; i < count; ++i) {
        Argument argument;
        argument.typed = utf8FromWide(words[i]);
        argument.spelled = ansiFromUtf8(argument.typed, &argument.ansi);
        arguments.push_back(argument);
    }
    LocalFree(words);
    return arguments;
}

}  // namespace

std::vector<Argument> commandLineArguments() { return wordsAfterFirst(GetCommandLineW()); }

std::vector<Argument> argumentsOf(const std::string& line) {
    return wordsAfterFirst(wideFromUtf8("dormex-host " + line).c_str());
}
