// The settings file as the built DLL handles it under Wine, driven through
// the host's events: the default file, the backup of a bad file, the error
// box and the editor.
#include <gtest/gtest.h>
#include <windows.h>

#include "dll_test.h"

using frames::Bytes;
using namespace winhost;

namespace {

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
        {"write, sharing read and write", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
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
    const HMODULE module = GetModuleHandleA(dllPath().c_str());
    realClose = reinterpret_cast<decltype(&CloseHandle)>(
        replaceImport(module, "kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&closeThenHold)));
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
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
            const std::string name = found.cFileName;
            EXPECT_TRUE(name == "." || name == ".." || name == "dormex.ini" || name == "dormex.ini.bak")
                << "left behind: " << name;
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        callGuarded(frames::stopEvent());
    }
    replaceImport(module, "kernel32.dll", "CloseHandle", reinterpret_cast<void*>(realClose));
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
