#include "user_paths.h"

#include <windows.h>

#include <cctype>
#include <cstring>

namespace {

Argument argumentOfUtf8(const std::string& utf8) {
    Argument argument;
    argument.typed = utf8;
    argument.spelled = ansiFromUtf8(utf8, &argument.ansi);
    return argument;
}

std::wstring wideFromAnsi(const std::string& ansi) {
    std::wstring wide(ansi.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

bool isThere(const std::string& ansi) {
    return GetFileAttributesA(asWindowsOpens(ansi).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The first word of `line`, quoted or not, taken off it.
std::string takeWord(std::string* line) {
    const bool quoted = !line->empty() && (*line)[0] == '"';
    const size_t end = quoted ? line->find('"', 1) : line->find_first_of(" \t");
    const std::string word =
        line->substr(quoted ? 1 : 0, end == std::string::npos ? end : end - (quoted ? 1 : 0));
    *line = end == std::string::npos ? std::string() : trimmed(line->substr(end + 1));
    return word;
}

bool isThisProgram(const std::string& word) {
    const std::string name = word.substr(word.find_last_of("\\/") + 1);
    return _stricmp(name.c_str(), "dormex-host") == 0 || _stricmp(name.c_str(), "dormex-host.exe") == 0;
}

// A line without quotes: one path, or several that are each there.
std::vector<Argument> unquotedPaths(const std::string& line) {
    const Argument whole = argumentOfUtf8(line);
    if (!whole.spelled || isThere(whole.ansi)) return {whole};
    std::vector<Argument> words = argumentsOf(line);
    for (const Argument& word : words) {
        if (!word.spelled || !isThere(word.ansi)) return {whole};
    }
    return words.size() > 1 ? words : std::vector<Argument>{whole};
}

// --- Paths as they are copied and pasted ------------------------------------------

// Never part of a name, and invisible: marks of writing direction (U+202A
// from Properties > Security), a zero-width space, a byte-order mark.
bool isInvisibleMark(wchar_t character) {
    return character == 0x200b || character == 0x200e || character == 0x200f ||
           (character >= 0x202a && character <= 0x202e) || (character >= 0x2066 && character <= 0x2069) ||
           character == 0xfeff;
}

std::string withoutMarksAtEnds(const std::string& utf8) {
    std::wstring wide = wideFromUtf8(utf8);
    size_t begin = 0;
    size_t end = wide.size();
    while (begin < end && isInvisibleMark(wide[begin])) ++begin;
    while (end > begin && isInvisibleMark(wide[end - 1])) --end;
    if (begin == 0 && end == wide.size()) return utf8;
    return utf8FromWide(wide.substr(begin, end - begin).c_str());
}

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// %20 and the other escapes of an address as bytes: UTF-8, as browsers and
// Explorer write them, else the ANSI code page.
std::string unescapedAddress(const std::string& address) {
    std::string bytes;
    for (size_t at = 0; at < address.size(); ++at) {
        const int high = at + 2 < address.size() && address[at] == '%' ? hexValue(address[at + 1]) : -1;
        const int low = high >= 0 ? hexValue(address[at + 2]) : -1;
        if (low < 0) {
            bytes += address[at] == '/' ? '\\' : address[at];
            continue;
        }
        bytes += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return !bytes.empty() && wideFromUtf8(bytes).empty() ? utf8FromAnsi(bytes) : bytes;
}

// file:///C:/My%20Settings/dormex.ini is C:\My Settings\dormex.ini, and
// file://server/share/... a network path.
bool pathOfFileAddress(const std::string& typed, std::string* path) {
    if (_strnicmp(typed.c_str(), "file://", 7) != 0) return false;
    std::string rest = typed.substr(7);
    if (_strnicmp(rest.c_str(), "localhost/", 10) == 0) rest = rest.substr(9);
    const bool local = !rest.empty() && rest[0] == '/';
    *path = local ? unescapedAddress(rest.substr(1)) : "\\\\" + unescapedAddress(rest);
    return true;
}

// cmd's %NAME% and PowerShell's $env:NAME, which a forum or this README may
// show and the welcome screen or PowerShell pass on as typed.
std::string withVariablesExpanded(const std::string& typed) {
    std::string text = typed;
    for (size_t at = text.find("$env:"); at != std::string::npos; at = text.find("$env:", at + 1)) {
        size_t end = at + 5;
        while (end < text.size() && (isalnum(static_cast<uint8_t>(text[end])) || text[end] == '_')) ++end;
        text.replace(at, end - at, "%" + text.substr(at + 5, end - at - 5) + "%");
    }
    const std::wstring wide = wideFromUtf8(text);
    std::wstring expanded(ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0), L'\0');
    if (expanded.empty() ||
        ExpandEnvironmentStringsW(wide.c_str(), &expanded[0], static_cast<DWORD>(expanded.size())) == 0)
        return typed;
    return utf8FromWide(expanded.c_str());
}

// --- Shell link files ----------------------------------------------------------

// A shell link is small; a larger file is read this far.
constexpr DWORD MOST_LINK_BYTES = 65536;
constexpr uint32_t LINK_HEADER_SIZE = 0x4c;
const uint8_t LINK_CLASS[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t HAS_ID_LIST = 0x1;
constexpr uint32_t HAS_LINK_INFO = 0x2;
constexpr uint32_t HAS_NAME = 0x4;
constexpr uint32_t HAS_RELATIVE_PATH = 0x8;
constexpr uint32_t IS_UNICODE = 0x80;
constexpr uint32_t LOCAL_BASE_PATH = 0x1;
constexpr uint32_t NETWORK_PATH = 0x2;
constexpr uint32_t UNICODE_OFFSETS_HEADER = 0x24;  // a LinkInfo header this large has them

// The bytes of a link, read within bounds: every accessor fails past the end.
struct LinkBytes {
    std::string bytes;

    bool has(uint32_t at, uint32_t size) const { return at <= bytes.size() && size <= bytes.size() - at; }
    uint32_t u16(uint32_t at) const {
        return has(at, 2) ? static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 : 0;
    }
    uint32_t u32(uint32_t at) const { return has(at, 4) ? u16(at) | u16(at + 2) << 16 : 0; }
    // A NUL-ended ANSI string at `at`, before `end`; false when it does not end there.
    bool ansiAt(uint32_t at, uint32_t end, std::string* out) const {
        const size_t nul = bytes.find('\0', at);
        if (!has(at, 0) || nul == std::string::npos || nul >= end) return false;
        *out = bytes.substr(at, nul - at);
        return true;
    }
    bool wideAt(uint32_t at, uint32_t end, std::wstring* out) const {
        out->clear();
        for (; has(at, 2) && at + 2 <= end; at += 2) {
            const wchar_t unit = static_cast<wchar_t>(u16(at));
            if (unit == 0) return true;
            *out += unit;
        }
        return false;
    }
};

bool readLinkBytes(const std::string& path, LinkBytes* link) {
    link->bytes = headOfFile(path, MOST_LINK_BYTES);
    return link->u32(0) == LINK_HEADER_SIZE && link->has(0, LINK_HEADER_SIZE) &&
           memcmp(link->bytes.data() + 4, LINK_CLASS, sizeof LINK_CLASS) == 0;
}

Argument argumentOfWide(const std::wstring& wide) { return argumentOfUtf8(utf8FromWide(wide.c_str())); }

Argument argumentOfAnsi(const std::string& ansi) { return Argument{utf8FromAnsi(ansi), ansi, true}; }

// The target from a LinkInfo at `at`: a local path, else a network share, and
// the common suffix after it.
bool linkInfoTarget(const LinkBytes& link, uint32_t at, Argument* target) {
    const uint32_t size = link.u32(at), header = link.u32(at + 4), flags = link.u32(at + 8);
    if (size < 0x1c || !link.has(at, size)) return false;
    const uint32_t end = at + size;
    std::wstring base, suffix;
    if (header >= UNICODE_OFFSETS_HEADER && (flags & LOCAL_BASE_PATH) != 0 &&
        link.wideAt(at + link.u32(at + 28), end, &base) &&
        link.wideAt(at + link.u32(at + 32), end, &suffix)) {
        *target = argumentOfWide(base + suffix);
        return true;
    }
    std::string ansiBase, ansiSuffix;
    if (!link.ansiAt(at + link.u32(at + 24), end, &ansiSuffix)) return false;
    if ((flags & LOCAL_BASE_PATH) != 0 && link.ansiAt(at + link.u32(at + 16), end, &ansiBase)) {
        *target = argumentOfAnsi(ansiBase + ansiSuffix);
        return true;
    }
    const uint32_t network = at + link.u32(at + 20);
    if ((flags & NETWORK_PATH) == 0 || !link.ansiAt(network + link.u32(network + 8), end, &ansiBase))
        return false;
    *target = argumentOfAnsi(ansiBase + (ansiSuffix.empty() ? "" : "\\" + ansiSuffix));
    return true;
}

// The relative path among the link's strings, after its name when it has one.
bool relativeTarget(const LinkBytes& link, uint32_t at, uint32_t flags, const std::string& linkPath,
                    Argument* target) {
    const uint32_t unit = (flags & IS_UNICODE) != 0 ? 2 : 1;
    if ((flags & HAS_NAME) != 0) at += 2 + link.u16(at) * unit;
    const uint32_t count = link.u16(at);
    if ((flags & HAS_RELATIVE_PATH) == 0 || count == 0 || !link.has(at + 2, count * unit)) return false;
    const std::string folder = linkPath.substr(0, linkPath.find_last_of("\\/") + 1);
    if (unit == 1) {
        *target = argumentOfAnsi(folder + link.bytes.substr(at + 2, count));
        return true;
    }
    std::wstring relative;
    for (uint32_t i = 0; i < count; ++i) relative += static_cast<wchar_t>(link.u16(at + 2 + 2 * i));
    *target = argumentOfUtf8(utf8FromAnsi(folder) + utf8FromWide(relative.c_str()));
    return true;
}

}  // namespace

std::vector<Argument> typedPaths(const std::string& typed) {
    std::string line = trimmed(typed);
    std::string rest = line;
    if (isThisProgram(takeWord(&rest))) line = rest;
    rest = line;
    if (takeWord(&rest) == "check") line = rest;
    if (line.empty()) return {};
    if (line.find('"') != std::string::npos) return argumentsOf(line);
    return unquotedPaths(line);
}

Argument pathAsMeant(const Argument& argument) {
    std::string typed = withoutMarksAtEnds(argument.typed);
    std::string address;
    if (pathOfFileAddress(typed, &address)) typed = address;
    const Argument meant = typed == argument.typed ? argument : argumentOfUtf8(typed);
    if (typed.find_first_of("%$") == std::string::npos || (meant.spelled && isThere(meant.ansi)))
        return meant;
    const Argument expanded = argumentOfUtf8(withVariablesExpanded(typed));
    return expanded.spelled && isThere(expanded.ansi) ? expanded : meant;
}

std::vector<Argument> joinedAtBlanks(const std::vector<Argument>& words, std::vector<bool>* joined) {
    std::vector<Argument> paths;
    joined->clear();
    for (size_t i = 0; i < words.size(); ++i) {
        size_t last = i;
        Argument path = words[i];
        for (size_t j = words.size() - 1; j > i && !(words[i].spelled && isThere(words[i].ansi)); --j) {
            std::string typed = words[i].typed;
            for (size_t k = i + 1; k <= j; ++k) typed += " " + words[k].typed;
            const Argument candidate = argumentOfUtf8(typed);
            if (!candidate.spelled || !isThere(candidate.ansi)) continue;
            path = candidate;
            last = j;
            break;
        }
        paths.push_back(path);
        joined->push_back(last != i);
        i = last;
    }
    return paths;
}

std::string asWindowsOpens(const std::string& path) {
    const size_t name = path.find_last_of("\\/") + 1;
    if (path.find_first_not_of('.', name) == std::string::npos) return path;  // "", "." and ".."
    const size_t end = path.find_last_not_of(" .");
    return end == std::string::npos || end < name ? path : path.substr(0, end + 1);
}

std::string fullPathOf(const std::string& path) {
    const std::wstring wide = wideFromAnsi(path);
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0 || length >= full.size()) return path;
    const int size =
        WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return path;
    std::string ansi(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, full.data(), static_cast<int>(length), &ansi[0], size, nullptr, nullptr);
    return ansi;
}

ShortcutForm shortcutTarget(const std::string& path, Argument* target) {
    const size_t size = path.size();
    const bool named = size >= 4 && _stricmp(path.c_str() + size - 4, ".lnk") == 0;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return NOT_A_SHORTCUT;
    LinkBytes link;
    if (!readLinkBytes(path, &link)) return named ? UNREADABLE_SHORTCUT : NOT_A_SHORTCUT;
    const uint32_t flags = link.u32(20);
    uint32_t at = LINK_HEADER_SIZE;
    if ((flags & HAS_ID_LIST) != 0) at += 2 + link.u16(at);
    if ((flags & HAS_LINK_INFO) != 0 && linkInfoTarget(link, at, target)) return SHORTCUT;
    if ((flags & HAS_LINK_INFO) != 0) at += link.u32(at);
    return relativeTarget(link, at, flags, path, target) ? SHORTCUT : UNREADABLE_SHORTCUT;
}

std::string headOfFile(const std::string& path, uint32_t size) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string head(size, '\0');
    DWORD got = 0;
    const BOOL read = ReadFile(file, &head[0], size, &got, nullptr);
    CloseHandle(file);
    head.resize(read ? got : 0);
    return head;
}

bool isZipArchive(const std::string& path) {
    const std::string head = headOfFile(path, 4);
    // A local file header, or the end record of an empty archive.
    return head == std::string("PK\x03\x04", 4) || head == std::string("PK\x05\x06", 4);
}

std::string archiveAbove(const std::string& path) {
    std::string above = path;
    for (;;) {
        const size_t separator = above.find_last_of("\\/");
        if (separator == std::string::npos || separator == 0) return std::string();
        above.resize(separator);
        const DWORD attributes = GetFileAttributesA(above.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        const bool file = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        return file && isZipArchive(above) ? above : std::string();
    }
}
