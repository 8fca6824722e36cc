// Settings files and folders as users make them, each with what dormex-host
// check says the plug-in does with it: the built DLL must do just that.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

#include "dll_test.h"

using frames::Bytes;
using namespace winhost;

namespace {

const char DEFAULT_FILE[] =
    "h_disconnect=17\r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/disconnect\r\n";
const char EMOJI_TRIGGER[] =
    "\xd1\x81\xd0\xbf\xd0\xb0\xd1\x82\xd1\x8c\xf0\x9f\x98\xb4";  // "спать" and 😴, UTF-8

// The long form of an 8-bit path, which Windows takes past MAX_PATH, so the
// test can make and read what the plug-in must refuse.
std::wstring longForm(const std::string& path) {
    wchar_t wide[1024];
    const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1024);
    return L"\\\\?\\" + std::wstring(wide, length > 0 ? static_cast<size_t>(length - 1) : 0);
}

bool writeLong(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(longForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool done = file != INVALID_HANDLE_VALUE &&
                      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                      written == bytes.size();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return done;
}

// The whole of a small file the test wrote, read by its long form.
std::string readLong(const std::string& path) {
    HANDLE file = CreateFileW(longForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char bytes[4096];
    DWORD got = 0;
    const BOOL read = ReadFile(file, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(file);
    return read ? std::string(bytes, got) : "<unreadable>";
}

// The text as a host built for the ANSI code page sends it: a letter the code
// page lacks becomes "?".
std::string inAnsi(const char* utf8) {
    wchar_t wide[64];
    char ansi[64];
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 64);
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, length, ansi, sizeof ansi, nullptr, nullptr);
    return std::string(ansi, size > 0 ? static_cast<size_t>(size - 1) : 0);
}

}  // namespace

// What users write by mistake is replaced (and kept as dormex.ini.bak); a
// trigger the host's code page cannot spell fires only on its UTF-8 bytes,
// and one with quotes or a no-break space only with them.
TEST_F(DllTest, FilesAsUsersWriteThem) {
    struct Row {
        const char* name;
        std::string content;
        bool replaced;
        std::string text;  // a chat text to send afterwards
        size_t disconnects;
    };
    const std::string emojiLines = std::string("-\r\n-\r\n-\r\n-\r\nDisconnectStr=") + EMOJI_TRIGGER + "\r\n";
    const std::string wordQuotes = "-\r\n-\r\n-\r\n-\r\nDisconnectStr=\x93/sleep\x94\r\n";
    const Row rows[] = {
        {"no-break space",
         "h_disconnect=\xa0"
         "23\r\nm_disconnect=15\r\n",
         true, "", 0},
        {"tab", "h_disconnect=23\t\r\n", true, "", 0},
        {"CR alone", "h=17\rm=15\rh=7\rm=30\rDisconnectStr=/x\r", true, "/x", 0},
        {"clock time", "h_disconnect=23:15\r\n", true, "", 0},
        {"11pm", "h_disconnect=17\r\nm_disconnect=15\r\nh_online=11pm\r\n", true, "", 0},
        {"emoji, as the code page spells it", emojiLines, false, inAnsi(EMOJI_TRIGGER), 0},
        {"emoji, in UTF-8", emojiLines, false, EMOJI_TRIGGER, 1},
        // Word's typographic quotes (1252's bytes 93 and 94) and a no-break space are part of the trigger.
        {"typographic quotes, as written", wordQuotes, false, "\x93/sleep\x94", 1},
        {"typographic quotes, left out", wordQuotes, false, "/sleep", 0},
        {"a no-break space, left out", "-\r\n-\r\n-\r\n-\r\nDisconnectStr=/sleep\xa0\r\n", false, "/sleep",
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory();
        writeWholeFile(dir + "dormex.ini", row.content);
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        EXPECT_EQ(readWholeFile(dir + "dormex.ini"), row.replaced ? DEFAULT_FILE : row.content);
        EXPECT_EQ(readWholeFile(dir + "dormex.ini.bak"), row.replaced ? row.content : "<missing>");
        if (!row.text.empty()) callGuarded(frames::textEvent(row.text));
        EXPECT_EQ(sentHere(), std::vector<Bytes>(row.disconnects, frames::disconnectFrame()));
        callGuarded(frames::stopEvent());
        clearRecord();
    }
}

namespace {

// What stands in the way of keeping a bad file as dormex.ini.bak and
// replacing it, as dormex-host check names it.
enum Obstacle { NO_OBSTACLE, BACKUP_FOLDER, BACKUP_READ_ONLY, INI_READ_ONLY, BACKUP_HELD, INI_HELD };

// Opened as an editor, a viewer or a sync client opens a file: not to be
// renamed or deleted meanwhile.
HANDLE holdOpen(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Puts the obstacle beside the bad file `ini`; the handle it holds open, if any.
HANDLE putObstacle(Obstacle obstacle, const std::string& ini) {
    const std::string backup = ini + ".bak";
    if (obstacle == BACKUP_FOLDER) CreateDirectoryA(backup.c_str(), nullptr);
    if (obstacle == BACKUP_READ_ONLY) SetFileAttributesA(backup.c_str(), FILE_ATTRIBUTE_READONLY);
    if (obstacle == INI_READ_ONLY) SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_READONLY);
    if (obstacle == BACKUP_HELD) return holdOpen(backup);
    if (obstacle == INI_HELD) return holdOpen(ini);
    return INVALID_HANDLE_VALUE;
}

void clearObstacle(Obstacle obstacle, const std::string& ini, HANDLE held) {
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    if (obstacle == BACKUP_FOLDER) RemoveDirectoryA((ini + ".bak").c_str());
    SetFileAttributesA(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA((ini + ".bak").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

// A bad file saved over a good one, and the plug-in restarted without an
// unload: the lines that start does not reach keep their on or off from the
// start before, with the default time and text. Whatever stands in the way of
// keeping the file as dormex.ini.bak leaves both files as they are and shows
// the box, a file held open after a wait, at every start until it is gone;
// then the file is kept and replaced.
TEST_F(DllTest, BadFileSavedOverAGoodOneAndRestarted) {
    const std::string good =
        "h_disconnect=23\r\nm_disconnect=30\r\nh_online=7\r\nm_online=0\r\nDisconnectStr=/sleep\r\n";
    const std::string bad = "h_disconnect=23\r\nm_disconnect=30 \r\n", older = "an older backup\r\n";
    const struct {
        const char* name;
        Obstacle obstacle;
    } rows[] = {
        {"nothing in the way", NO_OBSTACLE},
        {"a folder named dormex.ini.bak", BACKUP_FOLDER},
        {"dormex.ini.bak read-only", BACKUP_READ_ONLY},
        {"dormex.ini read-only", INI_READ_ONLY},
        {"dormex.ini.bak held open", BACKUP_HELD},
        {"dormex.ini held open", INI_HELD},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory(), ini = dir + "dormex.ini";
        writeWholeFile(ini, good);
        EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        callGuarded(frames::stopEvent());
        writeWholeFile(ini, bad);
        if (row.obstacle != BACKUP_FOLDER) writeWholeFile(ini + ".bak", older);
        const HANDLE held = putObstacle(row.obstacle, ini);
        if (row.obstacle == NO_OBSTACLE) {
            EXPECT_EQ(start(dir), frames::expectedStartAnswer());
        } else {
            expectStartHeldByErrorBox(dir);
            EXPECT_EQ(readWholeFile(ini), bad);
            EXPECT_EQ(readWholeFile(ini + ".bak"), row.obstacle == BACKUP_FOLDER ? "<missing>" : older);
        }
        clearRecord();
        callGuarded(frames::textEvent("/sleep"));
        callGuarded(frames::textEvent("/disconnect"));
        EXPECT_EQ(sentHere(), std::vector<Bytes>{frames::disconnectFrame()})
            << "the trigger the good file switched on stays on, with the default text";
        callGuarded(frames::stopEvent());
        if (row.obstacle != NO_OBSTACLE) {
            clearObstacle(row.obstacle, ini, held);
            EXPECT_EQ(start(dir), frames::expectedStartAnswer());
            callGuarded(frames::stopEvent());
        }
        EXPECT_EQ(readWholeFile(ini), DEFAULT_FILE);
        EXPECT_EQ(readWholeFile(ini + ".bak"), bad);
    }
}

// Up to 259 bytes the settings path is used; past it the error box comes and
// nothing is written (260 is the overlong test's). At 259 a bad file stays as
// it is: its backup's path would be longer than the plug-in takes.
TEST_F(DllTest, SettingsPathsAtTheLimit) {
    struct Row {
        size_t size;  // of the settings path
        const char* content;
        bool used;  // else the error box, and the file's trigger is not taken
    };
    const char* valid = "-\r\n-\r\n-\r\n-\r\nDisconnectStr=/limit\r\n";
    const Row rows[] = {
        {258, valid, true},
        {259, valid, true},
        {261, valid, false},
        {259, "h_disconnect=17 \r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/limit\r\n",
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        const std::string parent = newDirectory();
        const std::string dir = parent + std::string(row.size - 10 - parent.size() - 1, 'd') + "\\";
        ASSERT_EQ(dir.size() + 10, row.size);
        ASSERT_TRUE(CreateDirectoryW(longForm(dir).c_str(), nullptr));
        ASSERT_TRUE(writeLong(dir + "dormex.ini", row.content));
        started_ = true;
        if (row.used) {
            EXPECT_EQ(callAndCopy(frames::startEvent(recorderAddress(), dir)), frames::expectedStartAnswer());
        } else {
            expectStartHeldByErrorBox(dir);
        }
        callGuarded(frames::textEvent("/limit"));
        EXPECT_EQ(sentHere().size(), row.used ? 1u : 0u) << "the file's trigger";
        EXPECT_EQ(readLong(dir + "dormex.ini"), row.content);
        EXPECT_EQ(readLong(dir + "dormex.ini.bak"), "<missing>");
        callGuarded(frames::stopEvent());
        clearRecord();
        DeleteFileW(longForm(dir + "dormex.ini").c_str());
        EXPECT_TRUE(RemoveDirectoryW(longForm(dir).c_str())) << "something was left in the folder";
    }
}

// A folder where dormex.ini should be: the error box, and the folder untouched.
TEST_F(DllTest, FolderNamedDormexIni) {
    const std::string folder = settingsFile();
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    started_ = true;
    expectStartHeldByErrorBox(dir_);
    EXPECT_TRUE(RemoveDirectoryA(folder.c_str())) << "the folder is gone or no longer empty";
    EXPECT_FALSE(fileExists(settingsFile() + ".bak"));
    EXPECT_FALSE(fileExists(dir_ + "dormex.~00"));
}

// The plug-in keeps a number's low 8 bits: 0xFFFFFF00 and the present hour is
// that hour, and the command comes in this minute. The pair whose default
// hour differs from the present one tells a plug-in that took the default.
TEST_F(DllTest, HourByItsLow8Bits) {
    const HourMinute now = presentMinuteWithRoom();
    const bool connect = now.hour == 17;  // the disconnect's default hour
    char pair[64];
    snprintf(pair, sizeof pair, "h=0xFFFFFF%02X\r\nm=%d\r\n", now.hour, now.minute);
    const std::string file =
        connect ? "-\r\n-\r\n" + std::string(pair) + "-\r\n" : pair + std::string("-\r\n-\r\n-\r\n");
    writeWholeFile(settingsFile(), file);
    answerQueriesWith(connect ? 1 : 2);
    EXPECT_EQ(start(dir_), frames::expectedStartAnswer());
    const FrameKind command = connect ? FRAME_CONNECT : FRAME_DISCONNECT;
    EXPECT_TRUE(waitUntil([command] { return countOnOtherThreads(command) == 1; }, 15000))
        << "no command at " << now.hour << ":" << now.minute;
    EXPECT_EQ(readWholeFile(settingsFile()), file);
}
