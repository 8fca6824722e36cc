#include "user_paths.h"

#include <windows.h>

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
