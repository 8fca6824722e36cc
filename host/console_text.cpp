#include "console_text.h"

#include <windows.h>

namespace {

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != FALSE;
}

unsigned outputCodePage() {
    const unsigned console = GetConsoleOutputCP();
    return console != 0 ? console : GetOEMCP();
}

bool inCodePage(unsigned codePage, wchar_t character) {
    char bytes[8];
    BOOL defaulted = FALSE;
    const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &character, 1, bytes, sizeof bytes,
                                         nullptr, &defaulted);
    return size > 0 && !defaulted;
}

// Stand-ins for the typographic characters of the messages that an OEM code
// page may lack (866 has no guillemets, no dash, no arrow).
struct StandIn {
    wchar_t character;
    const wchar_t* instead;
};
const StandIn STAND_INS[] = {{L'\u00ab', L"\""}, {L'\u00bb', L"\""}, {L'\u2014', L"-"},
                             {L'\u2013', L"-"},  {L'\u2192', L">"},  {L'\u2026', L"..."}};

std::wstring withStandIns(const std::wstring& wide, unsigned codePage) {
    std::wstring out;
    for (const wchar_t character : wide) {
        const StandIn* standIn = nullptr;
        for (const StandIn& candidate : STAND_INS) {
            if (candidate.character == character) standIn = &candidate;
        }
        if (standIn != nullptr && !inCodePage(codePage, character)) {
            out += standIn->instead;
        } else {
            out += character;
        }
    }
    return out;
}

// Redirected text as cmd's own commands write it: in the console's output code
// page (the OEM one without a console), lines ending in CR LF, so that type,
// more, find and PowerShell read it; a letter the code page lacks is a "?".
std::string outputBytes(const std::string& utf8) {
    std::string lines;
    for (const char unit : utf8) {
        if (unit == '\n') lines += '\r';
        lines += unit;
    }
    const unsigned codePage = outputCodePage();
    if (codePage == CP_UTF8) return lines;
    const std::wstring wide = withStandIns(wideFromUtf8(lines), codePage);
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0) return lines;
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), length, &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], length);
    return wide;
}

bool outputShowsCharacter(uint32_t character) {
    if (isConsole(GetStdHandle(STD_OUTPUT_HANDLE))) return true;
    const unsigned codePage = outputCodePage();
    if (codePage == CP_UTF8) return true;
    return character < 0x10000 && inCodePage(codePage, static_cast<wchar_t>(character));
}

bool outputShows(const std::string& utf8) {
    for (const wchar_t character : wideFromUtf8(utf8)) {
        if (!outputShowsCharacter(character)) return false;
    }
    return true;
}

void writeText(FILE* stream, const std::string& utf8) {
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (!isConsole(handle)) {
        const std::string bytes = outputBytes(utf8);
        fwrite(bytes.data(), 1, bytes.size(), stream);
        fflush(stream);
        return;
    }
    fflush(stream);
    const std::wstring wide = wideFromUtf8(utf8);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}
