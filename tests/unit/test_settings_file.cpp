// The settings file on disk: the loader, and what a start event does to the
// file and the user's desktop when the file is missing, bad or can't be made.
#include <sys/stat.h>

#include "Dormex.h"
#include "fake_host.h"
#include "posix_stand_in.h"
#include "settings/settings.h"

namespace {

const std::string ERROR_CAPTION = "Ошибка";
const std::string ERROR_TEXT = "Ошибка при создании файла.";

class SettingsFile : public ModuleTest {
   protected:
    std::string ini() const { return dir.path() + "dormex.ini"; }
    std::string bak() const { return ini() + ".bak"; }
    const uint8_t* start(const std::string& settingsDir) {
        return callPlugin(frames::startEvent(fakehost::address(), settingsDir));
    }
    void expectOneErrorBox() {
        const DesktopRecord record = desktopRecord();
        EXPECT_EQ(record.errorBoxes, 1);
        EXPECT_EQ(record.lastCaption, ERROR_CAPTION);
        EXPECT_EQ(record.lastText, ERROR_TEXT);
    }

    TempDir dir;
};

// The result names the cause and, for a bad value, its line and what is wrong;
// the lines before a bad one are already in place.
TEST_F(SettingsFile, LoaderOnFiles) {
    const struct {
        const char* name;
        const char* content;  // null: no file at all
        LoadResult result;
        uint8_t disconnectHour;
        bool disconnectEnabled, onlineEnabled, triggerEnabled;
    } cases[] = {
        {"missing", nullptr, {LOAD_NO_FILE, 0, VALUE_FINE}, 9, true, true, true},
        {"empty", "", {LOAD_OK, 0, VALUE_FINE}, 9, false, false, false},
        {"two lines",
         "h_disconnect=17\r\nm_disconnect=15\r\n",
         {LOAD_OK, 0, VALUE_FINE},
         17,
         true,
         false,
         false},
        {"trailing blank", "17\n30 \n", {LOAD_BAD_VALUE, 2, VALUE_TRAILING_BLANK}, 17, true, true, true},
        {"sign alone", "+\n", {LOAD_BAD_VALUE, 1, VALUE_NO_DIGITS}, 9, true, true, true},
        {"letter", "1\n2\n-\n=7a\n", {LOAD_BAD_VALUE, 4, VALUE_BAD_CHARACTER}, 1, true, true, true},
        {"too large", "2147483648\n", {LOAD_BAD_VALUE, 1, VALUE_TOO_LARGE}, 9, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir own;
        if (c.content != nullptr) writeWholeFile(own.path() + "dormex.ini", c.content);
        Settings s = {9, 9, 9, 9, true, true, true, {}};
        const LoadResult got = loadSettingsFile((own.path() + "dormex.ini").c_str(), &s);
        EXPECT_EQ(got.status, c.result.status);
        EXPECT_EQ(got.line, c.result.line);
        EXPECT_EQ(got.problem, c.result.problem);
        EXPECT_EQ(s.disconnectHour, c.disconnectHour);
        EXPECT_EQ(s.onlineHour, 9) << "never reached by any of these files";
        EXPECT_EQ(s.disconnectEnabled, c.disconnectEnabled);
        EXPECT_EQ(s.onlineEnabled, c.onlineEnabled);
        EXPECT_EQ(s.triggerEnabled, c.triggerEnabled);
        EXPECT_EQ(s.triggerText.size, 0u);
    }
    Settings s = {9, 9, 9, 9, true, true, true, {}};
    EXPECT_EQ(loadSettingsFile(dir.path().c_str(), &s).status, LOAD_NOT_OPENED)
        << "a directory is not a settings file";
    EXPECT_EQ(s.disconnectHour, 9);
}

TEST_F(SettingsFile, MissingFileBecomesTheDefaultFile) {
    const Settings& settings = moduleState.session.settings;
    ASSERT_NE(start(dir.path()), nullptr);
    const std::string defaults =
        "h_disconnect=17\r\nm_disconnect=15\r\nh_online=7\r\nm_online=30\r\nDisconnectStr=/disconnect\r\n";
    ASSERT_EQ(defaults.size(), 86u);
    EXPECT_EQ(readWholeFile(ini()), defaults);
    EXPECT_FALSE(fileExists(bak())) << "nothing readable to keep";
    EXPECT_FALSE(settings.disconnectEnabled || settings.onlineEnabled || settings.triggerEnabled)
        << "the defaults written at a first start take effect at the next one";
    EXPECT_EQ(settings.disconnectHour, 17);

    ASSERT_NE(start(dir.path()), nullptr);
    EXPECT_TRUE(settings.disconnectEnabled && settings.onlineEnabled && settings.triggerEnabled);
    EXPECT_FALSE(fileExists(bak()));
    EXPECT_EQ(desktopRecord().errorBoxes, 0);
}

TEST_F(SettingsFile, BadFileIsKeptAsBackupThenReplaced) {
    // Several read chunks long, so the copy must take them all.
    const std::string userFile = "h_disconnect=17 \r\nm_disconnect=15\r\n\x1A\xFF" + std::string(2000, 'u');
    writeWholeFile(ini(), userFile);
    writeWholeFile(bak(), std::string(3000, 'o'));  // an older backup, longer than the new one
    ASSERT_NE(start(dir.path()), nullptr);
    EXPECT_EQ(readWholeFile(ini()), DEFAULT_SETTINGS_FILE);
    EXPECT_EQ(readWholeFile(bak()), userFile);
    EXPECT_EQ(desktopRecord().errorBoxes, 0);
}

TEST_F(SettingsFile, ValidFileIsLeftAlone) {
    const std::string userFile = "h=1\nm=2\n";
    writeWholeFile(ini(), userFile);
    ASSERT_NE(start(dir.path()), nullptr);
    EXPECT_EQ(readWholeFile(ini()), userFile);
    EXPECT_FALSE(fileExists(bak()));
}

TEST_F(SettingsFile, BackupThatCannotBeWrittenKeepsTheUserFile) {
    const std::string userFile = "h=x\n";
    writeWholeFile(ini(), userFile);
    ASSERT_EQ(mkdir(bak().c_str(), 0755), 0);
    ASSERT_NE(start(dir.path()), nullptr);
    EXPECT_EQ(readWholeFile(ini()), userFile);
    expectOneErrorBox();
    EXPECT_EQ(runningThreads(), 1) << "the watch thread starts whatever happened to the file";
}

TEST_F(SettingsFile, MissingDirectoryShowsTheErrorBox) {
    ASSERT_NE(start(dir.path() + "absent/"), nullptr);
    expectOneErrorBox();
    EXPECT_FALSE(fileExists(dir.path() + "absent"));
    EXPECT_EQ(moduleState.session.settings.onlineMinute, 30) << "the defaults are in memory all the same";
}

// The load found no file, and one appeared before the default file was placed:
// it is the user's (a sync client, a drive coming back) and is never replaced.
TEST_F(SettingsFile, DefaultFileNeverTakesThePlaceOfAFileThatAppeared) {
    writeWholeFile(ini(), "mine\n");
    FileWork work{START_PAUSE_BUDGET_MS, nullptr, {}};
    EXPECT_TRUE(writeDefaultSettings(ini().c_str(), &work)) << "the file that appeared is no failure";
    EXPECT_EQ(readWholeFile(ini()), "mine\n");
    EXPECT_FALSE(fileExists(dir.path() + "dormex.~00")) << "the temporary file is left behind";
}

// A file the user made read-only is never replaced, on any system (Windows
// refuses the move over it, Wine as root would not): a bad dormex.ini stays,
// and so does the backup of an earlier start, and the user is told.
TEST_F(SettingsFile, ReadOnlyFilesAreNeverReplaced) {
    const std::string bad = "h_disconnect=x\n", olderBackup = "older\n";
    for (const char* readOnly : {"dormex.ini", "dormex.ini.bak"}) {
        SCOPED_TRACE(readOnly);
        TempDir own;
        writeWholeFile(own.path() + "dormex.ini", bad);
        writeWholeFile(own.path() + "dormex.ini.bak", olderBackup);
        ASSERT_EQ(chmod((own.path() + readOnly).c_str(), 0444), 0);
        clearDesktopRecord();
        ASSERT_NE(start(own.path()), nullptr);
        EXPECT_EQ(readWholeFile(own.path() + "dormex.ini"), bad);
        EXPECT_EQ(readWholeFile(own.path() + "dormex.ini.bak"), olderBackup);
        expectOneErrorBox();
    }
}

// Names the plug-in would use for its temporary file are the user's when
// something has them: never written over, never moved into place, never a
// reason to fail. The first ones taken by a file and by a folder, for the
// default file and for the backup of a bad file.
TEST_F(SettingsFile, TakenTemporaryNamesAreLeftAlone) {
    const std::string users = "the user's own\n";
    const struct {
        const char* file;  // null: no dormex.ini
        const char* takenByFile;
        const char* takenByFolder;
    } cases[] = {{nullptr, "dormex.~00", "dormex.~01"},
                 {nullptr, "dormex.~01", "dormex.~00"},
                 {"h=x\n", "dormex.ini.~00", "dormex.~00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.takenByFile);
        TempDir own;
        if (c.file != nullptr) writeWholeFile(own.path() + "dormex.ini", c.file);
        writeWholeFile(own.path() + c.takenByFile, users);
        ASSERT_EQ(mkdir((own.path() + c.takenByFolder).c_str(), 0755), 0);
        ASSERT_NE(start(own.path()), nullptr);
        EXPECT_EQ(readWholeFile(own.path() + "dormex.ini"), DEFAULT_SETTINGS_FILE);
        EXPECT_EQ(readWholeFile(own.path() + c.takenByFile), users);
        if (c.file != nullptr) {
            EXPECT_EQ(readWholeFile(own.path() + "dormex.ini.bak"), c.file);
        }
        EXPECT_EQ(rmdir((own.path() + c.takenByFolder).c_str()), 0) << "the folder is not as it was";
    }
    EXPECT_EQ(desktopRecord().errorBoxes, 0);
}

// The error box runs the host's window procedures, and so its events: the
// newest start or stop decides whether a watch thread runs, and the module is
// pinned before the box, since an unload from in there must not unmap it.
TEST_F(SettingsFile, EventsInsideTheErrorBox) {
    static std::string inBox;
    static frames::Bytes nestedStart;
    static int pinsBefore;
    TempDir other;
    writeWholeFile(other.path() + "dormex.ini", DEFAULT_SETTINGS_FILE);
    nestedStart = frames::startEvent(fakehost::address(), other.path());
    setErrorBoxLoop([] {
        EXPECT_EQ(modulePins(), pinsBefore + 1) << "the box is up and the module not pinned";
        for (char event : inBox)
            EXPECT_EQ(callPlugin(event == 'S' ? nestedStart : frames::stopEvent()) != nullptr, event == 'S');
    });
    const struct {
        const char* inBox;
        int threads;
    } cases[] = {{"", 1}, {"P", 0}, {"S", 1}, {"SP", 0}, {"PS", 1}, {"SS", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("inside the box: ") + c.inBox);
        inBox = c.inBox;
        pinsBefore = modulePins();
        ASSERT_NE(start(dir.path() + "absent/"), nullptr);
        EXPECT_EQ(desktopRecord().errorBoxes, 1);
        const int expected = c.threads;
        EXPECT_TRUE(waitUntil([expected] { return runningThreads() == expected; })) << runningThreads();
        callPlugin(frames::stopEvent());
        EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; }));
        clearDesktopRecord();
    }
}

// A directory whose settings path is `length` bytes long, made for real.
std::string directoryWithPathLength(const std::string& base, size_t length, char fill) {
    const size_t name = length - sizeof "dormex.ini" + 1 - base.size() - 1;
    const std::string settingsDir = base + std::string(name, fill) + "/";
    EXPECT_EQ(mkdir(settingsDir.c_str(), 0755), 0);
    return settingsDir;
}

TEST_F(SettingsFile, RefusedDirectoriesWriteNothing) {
    const std::string longest = directoryWithPathLength(dir.path(), 259, 'a');
    ASSERT_NE(start(longest), nullptr);
    EXPECT_EQ(readWholeFile(longest + "dormex.ini"), DEFAULT_SETTINGS_FILE) << "259 bytes still fit";
    EXPECT_EQ(desktopRecord().errorBoxes, 0);

    const std::string tooLong = directoryWithPathLength(dir.path(), 260, 'b');
    // Cut at the NUL, this directory would name our own dormex.ini.
    const std::string withNul = dir.path() + std::string("dormex.ini\0/", 12);
    for (const std::string& refused : {tooLong, withNul}) {
        clearDesktopRecord();
        ASSERT_NE(start(refused), nullptr);
        expectOneErrorBox();
    }
    EXPECT_FALSE(fileExists(tooLong + "dormex.ini"));
    EXPECT_FALSE(fileExists(ini()));
}

}  // namespace
