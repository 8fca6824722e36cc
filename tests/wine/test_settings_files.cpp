// The settings file as the built DLL handles it under Wine, driven through
// the host's events: the default file, the backup of a bad file, the error
// box and the editor.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>

#include "dll_test.h"

using frames::Bytes;
using namespace winhost;

namespace {

// Nothing but dormex.ini and its backup is left in `dir`.
void expectOnlySettingsFiles(const std::string& dir) {
    for (const std::string& name : namesIn(dir))
        EXPECT_TRUE(name == "dormex.ini" || name == "dormex.ini.bak") << "left behind: " << name;
}

const char DEFAULT_FILE[] =
    "h_disconnect=17\r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/disconnect\r\n";
// Generous: Wine starts its desktop with a process's first window, and under
// emulation or on a loaded machine that takes long. A window that comes ends the wait.
constexpr DWORD WINDOW_WAIT_MS = 120000;

}  // namespace

TEST_F(DllTest, MissingFileBecomesTheDefaultFileWhichTheNextStartLoads) {
    ASSERT_EQ(sizeof DEFAULT_FILE - 1, 86u);
    // Everything off first, so the flags seen later come from the default file.
    ASSERT_EQ(startWithFile("-\r\n-\r\n-\r\n-\r\n-\r\n"), frames::expectedStartAnswer());
    DeleteFileA(settingsFile().c_str());

    EXPECT_EQ(start(dir_), frames::expectedStartAnswer());
    EXPECT_EQ(readWholeFile(settingsFile()), DEFAULT_FILE);
    EXPECT_FALSE(fileExists(settingsFile() + ".bak")) << "a missing file leaves nothing to keep";
    callGuarded(frames::textEvent("/disconnect"));
    EXPECT_TRUE(sentHere().empty()) << "writing the defaults must not switch the trigger on";

    EXPECT_EQ(start(dir_), frames::expectedStartAnswer());
    EXPECT_EQ(readWholeFile(settingsFile()), DEFAULT_FILE);
    callGuarded(frames::textEvent("/disconnect"));
    callGuarded(frames::textEvent("/Disconnect"));
    callGuarded(frames::textEvent("/disconnect "));
    EXPECT_EQ(sentHere(), std::vector<Bytes>{frames::disconnectFrame()});
}

TEST_F(DllTest, BadFileIsKeptAsBakAndReplacedByTheDefaults) {
    // The second file is longer than one read, so the copy must take it all.
    const std::string padding(3000, 'z');
    const std::string rows[] = {
        "h_disconnect=17 \r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/x\r\n",
        "h_disconnect=1\nm_disconnect=2\nh_online=3\nm_online=4" + padding + "\nDisconnectStr=" + padding +
            "\n",
    };
    for (const std::string& bad : rows) {
        SCOPED_TRACE(bad.substr(0, 20));
        const std::string dir = newDirectory();
        writeWholeFile(dir + "dormex.ini.bak", "an older backup\r\n");
        writeWholeFile(dir + "dormex.ini", bad);
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), DEFAULT_FILE);
        EXPECT_EQ(readWholeFile(dir + "dormex.ini.bak"), bad);
        callGuarded(frames::stopEvent());
    }
}

TEST_F(DllTest, ValidFileIsLeftAloneAndRead) {
    struct Row {
        const char* content;
        const char* text;  // a text event to send afterwards
        size_t disconnects;
        UINT codePage;  // the ANSI code page the row needs; 0 for any
    };
    const Row rows[] = {
        {"p=8\nq=5\nr=9\ns=0\nt=bye", "bye", 1, 0},  // keys ignored, LF line ends, no last line end
        {"h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=a=b\r\nmore\r\n", "a=b", 1, 0},
        {"", "", 0, 0},  // empty: valid, everything off
        // Notepad's UTF-8 (its "with BOM" too): the word also fires as the host's code page spells it.
        {"h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=спать\r\n", "\xF1\xEF\xE0\xF2\xFC", 1, 1251},
        {"\xEF\xBB\xBF-\r\n-\r\n-\r\n-\r\nспать\r\n", "спать", 1, 0},
        // Code page 1251 has no "é", only the look-alike "e": no spelling at all
        // rather than that one. Under any code page "cafe" is no match.
        {"h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=café\r\n", "cafe", 0, 0},
    };
    UINT neededCodePage = 0;
    for (const Row& row : rows) {
        if (row.codePage != 0 && row.codePage != GetACP()) {
            neededCodePage = row.codePage;
            continue;
        }
        SCOPED_TRACE(row.content);
        const std::string dir = newDirectory();
        writeWholeFile(dir + "dormex.ini", row.content);
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), row.content);
        EXPECT_FALSE(fileExists(dir + "dormex.ini.bak"));
        callGuarded(frames::textEvent(row.text));
        EXPECT_EQ(sentHere(), std::vector<Bytes>(row.disconnects, frames::disconnectFrame()));
        callGuarded(frames::stopEvent());
        clearRecord();
    }
    if (neededCodePage != 0) GTEST_SKIP() << "needs code page " << neededCodePage << " for one row";
}

// A user's own file under the first name of our temporary file, hidden and
// read-only as Windows lets it be, and a folder under the second: neither is
// written over, and neither stops the default file from being made.
TEST_F(DllTest, TemporaryNamesTakenByTheUsersOwn) {
    const std::string mine = "the user's own\r\n", file = dir_ + "dormex.~00", folder = dir_ + "dormex.~01";
    writeWholeFile(file, mine);
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_EQ(start(dir_), frames::expectedStartAnswer());
    EXPECT_EQ(readWholeFile(settingsFile()), DEFAULT_FILE);
    EXPECT_EQ(readWholeFile(file), mine);
    EXPECT_FALSE(fileExists(dir_ + "dormex.~02")) << "the temporary file is left behind";
    SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str())) << "the folder is not as it was";
}

TEST_F(DllTest, MissingDirectoryShowsTheErrorBox) {
    const std::string missing = dir_ + "missing\\";
    started_ = true;
    expectStartHeldByErrorBox(missing);
    EXPECT_FALSE(fileExists(missing));
}

// Another program holds dormex.ini open: the plug-in reads beside readers but
// never beside a writer, and never writes beside anyone who did not allow it.
TEST_F(DllTest, FileHeldOpenByAnotherProgram) {
    const std::string content = "h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=held\r\n";
    struct Row {
        const char* name;
        DWORD access, share;
        bool loads;  // else the load refuses and so does the writer: the error box
    };
    const Row rows[] = {
        {"read and write, no sharing", GENERIC_READ | GENERIC_WRITE, 0, false},
        // An editor saving: read beside it, never keeping it from writing.
        {"write, sharing read and write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {"read, sharing read", GENERIC_READ, FILE_SHARE_READ, true},
        // Not open to read, yet open to write: only a plug-in that took "could not open" for
        // "missing" would write its defaults over it.
        {"read, sharing write", GENERIC_READ, FILE_SHARE_WRITE, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory();
        writeWholeFile(dir + "dormex.ini", content);
        HANDLE held = CreateFileA((dir + "dormex.ini").c_str(), row.access, row.share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        started_ = true;
        if (row.loads) {
            EXPECT_EQ(callAndCopy(frames::startEvent(recorderAddress(), dir)), frames::expectedStartAnswer());
        } else {
            expectStartHeldByErrorBox(dir);
        }
        CloseHandle(held);
        callGuarded(frames::textEvent("held"));
        EXPECT_EQ(sentHere().size(), row.loads ? 1u : 0u) << "the trigger text of the held file";
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), content);
        EXPECT_FALSE(fileExists(dir + "dormex.ini.bak"));
        callGuarded(frames::stopEvent());
        clearRecord();
    }
}

namespace {

// A virus scanner, the search indexer or a sync client opens each file the
// moment it is closed, for a moment and without FILE_SHARE_DELETE: the
// plug-in's CloseHandle, seen at its import, hands each file it closed to a
// thread that holds it so.
constexpr DWORD HOLD_MS = 600;
decltype(&CloseHandle) realClose = nullptr;
volatile LONG holdsTaken = 0;

struct Hold {
    wchar_t path[1024];
    HANDLE taken;
};

DWORD WINAPI holdForAMoment(LPVOID parameter) {
    Hold* hold = static_cast<Hold*>(parameter);
    const HANDLE file = CreateFileW(hold->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) InterlockedIncrement(&holdsTaken);
    SetEvent(hold->taken);
    Sleep(HOLD_MS);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}

BOOL WINAPI closeThenHold(HANDLE handle) {
    Hold hold = {};
    const DWORD length = GetFileType(handle) == FILE_TYPE_DISK
                             ? GetFinalPathNameByHandleW(handle, hold.path, ARRAYSIZE(hold.path), 0)
                             : 0;
    const bool file = length != 0 && length < ARRAYSIZE(hold.path);
    const BOOL closed = realClose(handle);
    if (!file) return closed;
    hold.taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE holder = CreateThread(nullptr, 0, holdForAMoment, &hold, 0, nullptr);
    if (holder != nullptr) {
        // The file is held before the plug-in goes on, and the holder lets go of `hold` first.
        WaitForSingleObject(hold.taken, 10000);
        CloseHandle(holder);
    }
    CloseHandle(hold.taken);
    return closed;
}

}  // namespace

// Each file the plug-in closes is held by another program for a moment
// right after: the start waits for it, replaces what it would replace, shows
// no box and leaves no temporary file.
TEST_F(DllTest, FilesHeldForAMomentAfterEachClose) {
    ImportHooks hooks;
    realClose = hooks.replace("kernel32.dll", "CloseHandle", &closeThenHold);
    ASSERT_NE(realClose, nullptr) << "Dormex.dll does not import CloseHandle";
    const struct {
        const char* name;
        const char* file;  // null: none
        const char* after;
        const char* backup;  // null: none
    } rows[] = {
        {"no file", nullptr, DEFAULT_FILE, nullptr},
        {"bad file", "h=x\r\n", DEFAULT_FILE, "h=x\r\n"},
        {"valid file", "h=-\r\nm=-\r\n", "h=-\r\nm=-\r\n", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory();
        if (row.file != nullptr) writeWholeFile(dir + "dormex.ini", row.file);
        const LONG holdsBefore = holdsTaken;
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        EXPECT_GT(holdsTaken, holdsBefore) << "no file was held";
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), row.after);
        EXPECT_EQ(readWholeFile(dir + "dormex.ini.bak"), row.backup != nullptr ? row.backup : "<missing>");
        Sleep(HOLD_MS);  // the last hold lets go
        expectOnlySettingsFiles(dir);
        callGuarded(frames::stopEvent());
    }
}

TEST_F(DllTest, OverlongSettingsPathShowsTheErrorBoxAndOpensNoEditor) {
    // dir + "dormex.ini" is 260 bytes: one more than any settings path may hold.
    const std::string overlong = dir_ + std::string(260 - 10 - dir_.size() - 1, 'a') + "\\";
    ASSERT_EQ(overlong.size() + 10, 260u);
    // The directory exists (made through the long-path form), so only the length rule refuses it.
    // The temp folder may hold any letter of the code page (a user named Иван).
    wchar_t wide[MAX_PATH + 1] = L"";
    ASSERT_NE(MultiByteToWideChar(CP_ACP, 0, overlong.c_str(), -1, wide, MAX_PATH + 1), 0);
    const std::wstring longForm = L"\\\\?\\" + std::wstring(wide);
    ASSERT_TRUE(CreateDirectoryW(longForm.c_str(), nullptr));
    started_ = true;
    expectStartHeldByErrorBox(overlong);
    EXPECT_EQ(GetFileAttributesW((longForm + L"dormex.ini").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a settings file was written at the overlong path";
    StartedPrograms started;
    EXPECT_EQ(callGuarded(frames::settingsEvent()), nullptr);
    // Nothing to wait for when all is well: a bounded look for a program that should not start.
    Sleep(3000);
    EXPECT_EQ(started.count(), 0u) << "started for the overlong path: " << started.describe();
    DeleteFileW((longForm + L"dormex.ini").c_str());
    RemoveDirectoryW(longForm.c_str());
}

// The editor is found by the process the plug-in started, not by a title:
// Explorer's default hides ".ini" there, and a user's own Notepad on a
// dormex.ini of theirs is never touched.
TEST_F(DllTest, SettingsEventOpensTheFileInNotepad) {
    ASSERT_EQ(start(dir_), frames::expectedStartAnswer());
    StartedPrograms started;
    EXPECT_EQ(callGuarded(frames::settingsEvent()), nullptr);
    const HWND editor = started.waitForWindow(WINDOW_WAIT_MS);
    if (editor == nullptr && started.handedOver())
        GTEST_SKIP() << "Notepad handed the file to an editor in a process it did not start (Windows 11's "
                        "Notepad app); that one may be the user's and is left open: "
                     << started.describe();
    ASSERT_NE(editor, nullptr) << "no editor window: " << started.describe();
    // Notepad shows its window before it has read the file ("Untitled"), and
    // names it with or without ".ini".
    EXPECT_TRUE(waitUntil([editor] { return windowText(editor).find("dormex") != std::string::npos; },
                          WINDOW_WAIT_MS))
        << "the editor's title: " << windowText(editor);
}

namespace {

// An editor saving dormex.ini as Notepad does: the file opened to write with
// nobody else let in, emptied, held while it writes, closed.
constexpr DWORD EDITOR_HOLD_MS = 400;
const char SAVED_FILE[] = "h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=saved\r\n";
decltype(&MoveFileExA) realMoveBesideEditor = nullptr;
int movesSeen = 0, moveToSaveAt = 0;
std::string editedFile;
HANDLE editor = nullptr;

DWORD WINAPI saveAsAnEditor(LPVOID opened) {
    const HANDLE file = CreateFileA(editedFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    SetEvent(static_cast<HANDLE>(opened));
    Sleep(EDITOR_HOLD_MS);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) WriteFile(file, SAVED_FILE, sizeof SAVED_FILE - 1, &written, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}

BOOL WINAPI moveAsAnEditorSaves(LPCSTR from, LPCSTR to, DWORD flags) {
    if (++movesSeen == moveToSaveAt) {
        const HANDLE opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        editor = CreateThread(nullptr, 0, saveAsAnEditor, opened, 0, nullptr);
        WaitForSingleObject(opened, 10000);
        CloseHandle(opened);
    }
    return realMoveBesideEditor(from, to, flags);
}

}  // namespace

// The user saves a fixed dormex.ini just as a start replaces the bad one:
// at each of its moves in turn (the bad file set aside, kept as the backup,
// the default file moved in), what the user saved stays, with no box.
TEST_F(DllTest, FileSavedByAnEditorDuringAStartIsKept) {
    ImportHooks hooks;
    realMoveBesideEditor = hooks.replace("kernel32.dll", "MoveFileExA", &moveAsAnEditorSaves);
    ASSERT_NE(realMoveBesideEditor, nullptr);
    const std::string bad = "h_disconnect=17 \r\nm_disconnect=15\r\n";
    for (int move = 1; move <= 3; ++move) {
        SCOPED_TRACE("saved at move " + std::to_string(move));
        const std::string dir = newDirectory();
        editedFile = dir + "dormex.ini";
        writeWholeFile(editedFile, bad);
        movesSeen = 0;
        moveToSaveAt = move;
        editor = nullptr;
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        ASSERT_NE(editor, nullptr) << "the start made fewer moves";
        WaitForSingleObject(editor, 10000);
        CloseHandle(editor);
        EXPECT_EQ(readWholeFile(editedFile), SAVED_FILE);
        const std::string backup = readWholeFile(editedFile + ".bak");
        EXPECT_TRUE(backup == bad || backup == "<missing>") << "dormex.ini.bak is now: " << backup;
        expectOnlySettingsFiles(dir);
        callGuarded(frames::stopEvent());
    }
}

namespace {

// Windows' own answers to a refused call, which Wine does not give: "access
// denied" for a file another program holds, for one pending deletion, and for
// rights that will not change, each told by what the file says when asked.
struct Refusal {
    const char* name;
    const char* file;       // the settings file at the start
    bool onRead;            // the load's open is refused; else the first move
    int times;              // refusals before the call goes through
    DWORD error;            // the call's answer meanwhile
    DWORD attributesError;  // 0: the file's attributes are read as ever
    DWORD probeError;       // what asking for the file to delete gets; 0: as ever
    bool box;
    DWORD pausedMs;
};
const Refusal AS_EVER = {"", "", false, 0, 0, 0, 0, false, 0};
const Refusal* refusal = &AS_EVER;
int refusalsLeft = 0, boxes = 0;
DWORD pausedMs = 0;
decltype(&CreateFileA) realCreate = nullptr;
decltype(&MoveFileExA) realMoveRefused = nullptr;
decltype(&GetFileAttributesA) realAttributes = nullptr;

bool refuseNow() {
    if (refusalsLeft == 0) return false;
    --refusalsLeft;
    SetLastError(refusal->error);
    return true;
}

HANDLE WINAPI createAsWindows(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model) {
    if (access == DELETE && refusal->probeError != 0) {
        SetLastError(refusal->probeError);
        return INVALID_HANDLE_VALUE;
    }
    const std::string name = path;
    const bool load =
        access == GENERIC_READ && name.size() > 10 && name.compare(name.size() - 10, 10, "dormex.ini") == 0;
    if (load && refusal->onRead && refuseNow()) return INVALID_HANDLE_VALUE;
    return realCreate(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI moveAsWindows(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!refusal->onRead && refuseNow()) return FALSE;
    return realMoveRefused(from, to, flags);
}

DWORD WINAPI attributesAsWindows(LPCSTR path) {
    if (refusal->attributesError == 0) return realAttributes(path);
    SetLastError(refusal->attributesError);
    return INVALID_FILE_ATTRIBUTES;
}

void WINAPI countPause(DWORD milliseconds) { pausedMs += milliseconds; }

int WINAPI answerBox(HWND, LPCWSTR, LPCWSTR, UINT) {
    ++boxes;
    return IDOK;
}

}  // namespace

// A refusal that will not go away gives the box at once; a file held or
// pending deletion is waited for, 2.6 s at most in all; a refusal for a moment
// changes nothing. The pauses are counted, not slept.
TEST_F(DllTest, WindowsAnswersToARefusedCall) {
    const char* bad = "h_disconnect=x\r\n";
    const char* valid = "h=-\r\nm=-\r\n";
    const Refusal rows[] = {
        {"a rename, the file's rights", bad, false, 1000, ERROR_ACCESS_DENIED, 0, ERROR_ACCESS_DENIED, true,
         0},
        {"a rename, the file held", bad, false, 1000, ERROR_ACCESS_DENIED, 0, ERROR_SHARING_VIOLATION, true,
         2600},
        {"a rename, the file pending deletion", bad, false, 1000, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0,
         true, 2600},
        {"a rename, the file open beside us", bad, false, 1000, ERROR_ACCESS_DENIED, 0, 0, true, 2600},
        {"a rename, held for a moment", bad, false, 3, ERROR_ACCESS_DENIED, 0, ERROR_SHARING_VIOLATION, false,
         70},
        {"the read, the file's rights", valid, true, 1000, ERROR_ACCESS_DENIED, 0, ERROR_ACCESS_DENIED, true,
         0},
        {"the read, pending deletion for a moment", valid, true, 3, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
         0, false, 70},
    };
    ImportHooks hooks;
    realCreate = hooks.replace("kernel32.dll", "CreateFileA", &createAsWindows);
    realMoveRefused = hooks.replace("kernel32.dll", "MoveFileExA", &moveAsWindows);
    realAttributes = hooks.replace("kernel32.dll", "GetFileAttributesA", &attributesAsWindows);
    ASSERT_TRUE(realCreate && realMoveRefused && realAttributes &&
                hooks.replace("kernel32.dll", "Sleep", &countPause) &&
                hooks.replace("user32.dll", "MessageBoxW", &answerBox));
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory();
        writeWholeFile(dir + "dormex.ini", row.file);
        refusal = &row;
        refusalsLeft = row.times;
        pausedMs = 0;
        boxes = 0;
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        refusal = &AS_EVER;
        EXPECT_EQ(pausedMs, row.pausedMs);
        EXPECT_EQ(boxes, row.box ? 1 : 0);
        const bool replaced = row.file == bad && !row.box;
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), replaced ? DEFAULT_FILE : row.file);
        EXPECT_EQ(readWholeFile(dir + "dormex.ini.bak"), replaced ? row.file : "<missing>");
        expectOnlySettingsFiles(dir);
        callGuarded(frames::stopEvent());
    }
}

namespace {

// Two hosts on one settings folder: this program twice more, each loading
// the DLL and starting it there whenever this one says so, the second a little
// later each round (0 to 56 ms), as a messenger started twice would, on a
// disk ever slower (0 to 8 ms a call).
constexpr int HOST_ROUNDS = 24;
constexpr DWORD HOST_WAIT_MS = 120000;

std::wstring hostEventName(DWORD parent, int host, const wchar_t* what) {
    return L"DormexTwoHosts-" + std::to_wstring(parent) + L"-" + std::to_wstring(host) + L"-" + what;
}

int hostBoxes = 0;
DWORD slowDiskMs = 0;
decltype(&CreateFileA) realHostCreate = nullptr;
decltype(&MoveFileExA) realHostMove = nullptr;

int WINAPI countHostBox(HWND, LPCWSTR, LPCWSTR, UINT) {
    ++hostBoxes;
    return IDOK;
}

// A slow disk (a network drive, a scanner at work), a little slower each
// round, so that the two starts' steps interleave in ever other ways.
HANDLE WINAPI createOnSlowDisk(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model) {
    Sleep(slowDiskMs);
    return realHostCreate(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI moveOnSlowDisk(LPCSTR from, LPCSTR to, DWORD flags) {
    Sleep(slowDiskMs);
    return realHostMove(from, to, flags);
}

// A host's whole run: each round a start and a stop; its exit code the boxes it saw.
int hostRounds(DWORD parent, int host, const std::string& dir) {
    const HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, hostEventName(parent, host, L"go").c_str());
    const HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, hostEventName(parent, host, L"done").c_str());
    const LoadedPlugin plugin = loadPlugin(dllPath().c_str());
    if (go == nullptr || done == nullptr || plugin.pluginFun == nullptr) return 100;
    replaceImport(plugin.module, "user32.dll", "MessageBoxW", reinterpret_cast<void*>(&countHostBox));
    realHostCreate = reinterpret_cast<decltype(&CreateFileA)>(replaceImport(
        plugin.module, "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(&createOnSlowDisk)));
    realHostMove = reinterpret_cast<decltype(&MoveFileExA)>(replaceImport(
        plugin.module, "kernel32.dll", "MoveFileExA", reinterpret_cast<void*>(&moveOnSlowDisk)));
    if (realHostCreate == nullptr || realHostMove == nullptr) return 100;
    const frames::Bytes start = startEventFor(recordingCallback, dir);
    for (int round = 0; round < HOST_ROUNDS; ++round) {
        if (WaitForSingleObject(go, HOST_WAIT_MS) != WAIT_OBJECT_0) return 101;
        slowDiskMs = static_cast<DWORD>(round / 8) * 4;
        if (host == 1) Sleep(static_cast<DWORD>(round % 8) * 8);
        if (!isStartAnswer(plugin.pluginFun(start.data()))) return 102;
        plugin.pluginFun(frames::stopEvent().data());
        SetEvent(done);
    }
    return hostBoxes;
}

// This program started as a host: "--host-on PARENT HOST "DIR"".
const bool hostChild = [] {
    const wchar_t* options = wcsstr(GetCommandLineW(), L" --host-on ");
    if (options == nullptr) return false;
    wchar_t* rest = nullptr;
    const unsigned long parent = wcstoul(options + 11, &rest, 10);
    const int host = static_cast<int>(wcstol(rest, &rest, 10));
    const wchar_t* quoted = wcschr(rest, L'"');
    const std::wstring wideDir =
        quoted != nullptr ? std::wstring(quoted + 1, wcscspn(quoted + 1, L"\"")) : L"";
    char dir[MAX_PATH * 2] = "";
    WideCharToMultiByte(CP_ACP, 0, wideDir.c_str(), -1, dir, sizeof dir, nullptr, nullptr);
    ExitProcess(static_cast<UINT>(hostRounds(parent, host, dir)));
}();

}  // namespace

// Round after round a bad file, and two hosts starting on it at nearly the
// same moment: the user's file always ends as the backup and the default file
// in its place, with no box and nothing else left.
TEST_F(DllTest, TwoHostsOnOneFolder) {
    const std::string bad = "h_disconnect=17 \r\nm_disconnect=15\r\n";
    wchar_t wideDir[MAX_PATH * 2];
    ASSERT_NE(MultiByteToWideChar(CP_ACP, 0, dir_.c_str(), -1, wideDir, MAX_PATH * 2), 0);
    HANDLE go[2], done[2], hosts[2] = {};
    for (int host = 0; host < 2; ++host) {
        go[host] =
            CreateEventW(nullptr, FALSE, FALSE, hostEventName(GetCurrentProcessId(), host, L"go").c_str());
        done[host] =
            CreateEventW(nullptr, FALSE, FALSE, hostEventName(GetCurrentProcessId(), host, L"done").c_str());
        hosts[host] = startThisProgram(L"--host-on " + std::to_wstring(GetCurrentProcessId()) + L" " +
                                       std::to_wstring(host) + L" \"" + wideDir + L"\"");
        ASSERT_NE(hosts[host], nullptr);
    }
    bool finished = true;
    for (int round = 0; round < HOST_ROUNDS && finished; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        DeleteFileA((dir_ + "dormex.ini.bak").c_str());
        writeWholeFile(settingsFile(), bad);
        SetEvent(go[0]);
        SetEvent(go[1]);
        for (int host = 0; host < 2 && finished; ++host) {
            const HANDLE doneOrEnded[] = {done[host], hosts[host]};
            finished = WaitForMultipleObjects(2, doneOrEnded, FALSE, HOST_WAIT_MS) == WAIT_OBJECT_0;
            EXPECT_TRUE(finished) << "host " << host << " did not finish its start";
        }
        if (!finished) break;
        EXPECT_EQ(readWholeFile(settingsFile()), DEFAULT_FILE);
        EXPECT_EQ(readWholeFile(settingsFile() + ".bak"), bad);
        expectOnlySettingsFiles(dir_);
    }
    for (int host = 0; host < 2; ++host) {
        DWORD code = 200;
        if (!finished) TerminateProcess(hosts[host], 200);
        EXPECT_EQ(WaitForSingleObject(hosts[host], HOST_WAIT_MS), WAIT_OBJECT_0);
        GetExitCodeProcess(hosts[host], &code);
        EXPECT_EQ(code, 0u) << "host " << host << ": boxes shown, or 100 and more: it could not run";
        if (code == STILL_ACTIVE) TerminateProcess(hosts[host], 1);
        CloseHandle(hosts[host]);
        CloseHandle(go[host]);
        CloseHandle(done[host]);
    }
}
