// The Windows test programs' main: GoogleTest, and what the kit's
// run-tests.cmd asks of it: the facts about this Windows that its report
// starts with, in UTF-8, the counts of a run in a file of their own, a time
// limit kept by a watcher process, whether the console is the run's own, and
// its lines for the console in the user's language.
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console_text.h"
#include "messages.h"
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
    // The update revision (19045.3803), which only the registry holds.
    HKEY key = nullptr;
    DWORD revision = 0, size = sizeof revision;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExA(key, "UBR", nullptr, nullptr, reinterpret_cast<BYTE*>(&revision), &size) ==
                ERROR_SUCCESS &&
            revision != 0)
            printf(".%lu", revision);
        RegCloseKey(key);
    }
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

void printFolders() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* lastSlash = wcsrchr(path, L'\\');
    if (lastSlash != nullptr) *lastSlash = L'\0';
    printUtf8("Folder: ", path);
    // Where the tests make their scratch folders: a user's name in it may hold any letter.
    GetTempPathW(MAX_PATH, path);
    printUtf8("Temp folder: ", path);
}

int reportSystem() {
    // A byte-order mark where the facts go to a file, so that Notepad reads the report as UTF-8.
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_DISK) printf("\xEF\xBB\xBF");
    printWindowsVersion();
    printLanguageAndCodePages();
    printTimeZone();
    printFolders();
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

// --- The time limit ----------------------------------------------------------
// A watcher process, not a thread: a thread ends with the process's exit,
// before a DLL's detach that may hang it.

constexpr int TIMED_OUT = 4;  // the exit code of a program the watcher ended

// What the program is doing, in memory it shares with its watcher.
struct Progress {
    char test[256];
};
Progress* progress = nullptr;

void setProgress(const char* text) {
    if (progress != nullptr) lstrcpynA(progress->test, text, sizeof progress->test);
}

class ProgressListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        char name[sizeof progress->test];
        snprintf(name, sizeof name, "%s.%s", test.test_suite_name(), test.name());
        setProgress(name);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { setProgress("(between two tests)"); }
};

// Starts a copy of this program that ends it after `seconds`, saying in its
// output, which is this one's, where it was; false when none could start.
bool startWatcher(unsigned seconds) {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE shared =
        CreateFileMappingA(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0, sizeof(Progress), nullptr);
    HANDLE self = nullptr;
    if (shared == nullptr || !DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                                              &self, SYNCHRONIZE | PROCESS_TERMINATE, TRUE, 0))
        return false;
    progress = static_cast<Progress*>(MapViewOfFile(shared, FILE_MAP_WRITE, 0, 0, 0));
    setProgress("(before its first test)");
    wchar_t program[1024] = L"";
    GetModuleFileNameW(nullptr, program, 1024);
    char arguments[96];
    snprintf(arguments, sizeof arguments, "watcher --watch=%lu,%lu,%u",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(self)),
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(shared)), seconds);
    wchar_t commandLine[96];
    MultiByteToWideChar(CP_ACP, 0, arguments, -1, commandLine, 96);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

// The watcher: waits for the program, and past the limit ends it, naming it and
// the test it was in.
int watch(const char* spec) {
    unsigned long program = 0, shared = 0;
    unsigned seconds = 0;
    if (sscanf(spec, "%lu,%lu,%u", &program, &shared, &seconds) != 3) return 2;
    const HANDLE watched = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(program));
    if (WaitForSingleObject(watched, seconds * 1000) != WAIT_TIMEOUT) return 0;
    const auto* seen = static_cast<const Progress*>(
        MapViewOfFile(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(shared)), FILE_MAP_READ, 0, 0, 0));
    char name[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    char* base = strrchr(name, '\\') != nullptr ? strrchr(name, '\\') + 1 : name;
    char* extension = strrchr(base, '.');
    if (extension != nullptr) *extension = '\0';
    printf("\n%s: ended after %u s, still in %.*s\n", base, seconds, static_cast<int>(sizeof seen->test),
           seen != nullptr ? seen->test : "(unknown)");
    fflush(stdout);
    TerminateProcess(watched, TIMED_OUT);
    return 0;
}

// Exit code 0 when nothing but this run holds the console, as when Explorer
// started the script (its window goes as the run ends); 1 when a shell shares
// the console or input comes from elsewhere (CI, a pipe).
int consoleOfItsOwn() {
    DWORD mode = 0, processes[4];
    if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return 1;
    const DWORD attached = GetConsoleProcessList(processes, 4);
    return attached != 0 && attached <= 2 ? 0 : 1;  // the script's cmd and this program
}

// At most four placeholders, each %s: what --say can fill.
bool takesTextsOnly(const char* message) {
    int placeholders = 0;
    for (const char* at = strchr(message, '%'); at != nullptr; at = strchr(at + 2, '%')) {
        if (at[1] != 's' || ++placeholders > 4) return false;
    }
    return true;
}

// --say ID [TEXT]...: run-tests.cmd's line ID of host/messages.inc in the
// user's language, its placeholders filled with the texts, read from the
// Unicode command line so that a folder's letters stay as they are.
int sayKitLine() {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> texts;
    for (int i = 2; words != nullptr && i < count; ++i) {
        char utf8[1024] = "";
        WideCharToMultiByte(CP_UTF8, 0, words[i], -1, utf8, sizeof utf8, nullptr, nullptr);
        texts.push_back(utf8);
    }
    if (words != nullptr) LocalFree(words);
    MessageId id = MESSAGE_COUNT;
    if (texts.empty() || !messageNamed(texts[0], &id) || !takesTextsOnly(text(id))) return 2;
    texts.resize(5);
    useLanguage(userInterfaceLanguage());
    writeText(stdout, say(id, texts[1].c_str(), texts[2].c_str(), texts[3].c_str(), texts[4].c_str()) + "\n");
    return 0;
}

// The Linux harness names the code page each run is for: a run under another
// one would prove nothing, so it fails before its first test. Elsewhere (the
// kit on a user's Windows) the code page is the machine's own.
bool runsUnderItsCodePage() {
    const char* expected = getenv("DORMEX_EXPECT_ACP");
    if (expected == nullptr || GetACP() == static_cast<UINT>(atoi(expected))) return true;
    printf("this run is for code page %s, but Windows has %u\n", expected, GetACP());
    return false;
}

// The kit's own options, taken out of argv before GoogleTest sees it.
struct KitOptions {
    const char* countsPath = nullptr;
    unsigned timeLimit = 0;
};

KitOptions takeKitOptions(int* argc, char** argv) {
    KitOptions options;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (strncmp(argv[i], "--counts-to=", 12) == 0) {
            options.countsPath = argv[i] + 12;
        } else if (strncmp(argv[i], "--time-limit=", 13) == 0) {
            options.timeLimit = static_cast<unsigned>(atoi(argv[i] + 13));
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return options;
}

}  // namespace

// --report-system prints the facts and runs no test; --console-of-its-own
// answers in its exit code; --say ID [TEXT]... says a line of run-tests.cmd. With --counts-to=FILE (a name
// without letters the code page lacks) the counts go there once the tests ran, and the errors join the
// output, as the kit's report takes only that; --time-limit=SECONDS ends a run that outlasts it.
int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--report-system") == 0) return reportSystem();
    if (argc == 2 && strcmp(argv[1], "--console-of-its-own") == 0) return consoleOfItsOwn();
    if (argc == 2 && strncmp(argv[1], "--watch=", 8) == 0) return watch(argv[1] + 8);
    if (argc >= 3 && strcmp(argv[1], "--say") == 0) return sayKitLine();
    if (!runsUnderItsCodePage()) return 1;
    const KitOptions kit = takeKitOptions(&argc, argv);
    if (kit.countsPath != nullptr) {
        fflush(stderr);
        _dup2(_fileno(stdout), _fileno(stderr));
        SetStdHandle(STD_ERROR_HANDLE, GetStdHandle(STD_OUTPUT_HANDLE));
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (kit.timeLimit != 0) {
        if (startWatcher(kit.timeLimit)) {
            ::testing::UnitTest::GetInstance()->listeners().Append(new ProgressListener);
        } else {
            printf("no time limit: the watcher did not start (error %lu)\n", GetLastError());
        }
    }
    const int result = RUN_ALL_TESTS();
    setProgress("(after its last test, on its way out)");
    if (kit.countsPath != nullptr) writeCounts(kit.countsPath);
    return result;
}
