// The Windows test programs' main: GoogleTest, and what the kit's
// run-tests.cmd asks of it: the facts about this Windows that its report
// starts with, in UTF-8, and the counts of a run in a file of their own.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "win_host.h"

namespace {

void printUtf8(const char* label, const wchar_t* text) {
    char utf8[1024] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    printf("%s%s\n", label, utf8);
}

// Through void(*)(), the one pointer type every function pointer converts to cleanly.
template <class Function>
Function systemFunction(const char* dll, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA(dll), name)));
}

// RtlGetVersion, as GetVersionEx answers 6.2 on Windows 8.1 and later to a
// program whose manifest does not name them.
void printWindowsVersion() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    const auto rtlGetVersion = systemFunction<LONG(WINAPI*)(OSVERSIONINFOW*)>("ntdll.dll", "RtlGetVersion");
    if (rtlGetVersion != nullptr) rtlGetVersion(&version);
    printf("Windows: %lu.%lu, build %lu", version.dwMajorVersion, version.dwMinorVersion,
           version.dwBuildNumber);
    printUtf8(version.szCSDVersion[0] != L'\0' ? ", " : "", version.szCSDVersion);
    const auto wineVersion = systemFunction<const char*(CDECL*)()>("ntdll.dll", "wine_get_version");
    if (wineVersion != nullptr) printf("Wine: %s\n", wineVersion());
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    printf("WoW64: %s\n", wow64 ? "yes, a 32-bit process on 64-bit Windows" : "no");
}

void printLanguageAndCodePages() {
    printf("ANSI code page: %u\nOEM code page: %u\n", GetACP(), GetOEMCP());
    const LANGID language = GetUserDefaultUILanguage();
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = L"";
    GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_SNAME, name, LOCALE_NAME_MAX_LENGTH);
    printf("UI language: 0x%04x ", language);
    printUtf8("", name);
}

void printTimeZone() {
    DYNAMIC_TIME_ZONE_INFORMATION zone = {};
    const bool daylight = GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
    const long east = -winhost::zoneBiasNow();
    printf("Time zone: UTC%c%02ld:%02ld now (%s), ", east < 0 ? '-' : '+', labs(east) / 60, labs(east) % 60,
           daylight ? "daylight saving time" : "standard time");
    const wchar_t* name = zone.TimeZoneKeyName[0] != L'\0' ? zone.TimeZoneKeyName : zone.StandardName;
    printUtf8("", name[0] != L'\0' ? name : L"(no name)");
}

void printFolder() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* lastSlash = wcsrchr(path, L'\\');
    if (lastSlash != nullptr) *lastSlash = L'\0';
    printUtf8("Folder: ", path);
}

int reportSystem() {
    // A byte-order mark where the facts go to a file, so that Notepad reads the report as UTF-8.
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_DISK) printf("\xEF\xBB\xBF");
    printWindowsVersion();
    printLanguageAndCodePages();
    printTimeZone();
    printFolder();
    return 0;
}

// Writes "passed failed skipped" to `path`: a line a script reads without
// parsing the tests' own output, which may hold anything.
void writeCounts(const char* path) {
    FILE* file = fopen(path, "w");
    if (file == nullptr) return;
    const ::testing::UnitTest* run = ::testing::UnitTest::GetInstance();
    fprintf(file, "%d %d %d\n", run->successful_test_count(), run->failed_test_count(),
            run->skipped_test_count());
    fclose(file);
}

}  // namespace

// --report-system prints the facts and runs no test; --counts-to=FILE (a name
// without letters the code page lacks) writes the counts once the tests ran.
int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--report-system") == 0) return reportSystem();
    const char* countsPath = nullptr;
    if (argc >= 2 && strncmp(argv[argc - 1], "--counts-to=", 12) == 0) countsPath = argv[--argc] + 12;
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (countsPath != nullptr) writeCounts(countsPath);
    return result;
}
