// The entry point as the host sees it: the start answer, what it rejects, what
// a start event stores, and where the settings and text events lead.
#include <sys/stat.h>
#include <unistd.h>

#include "Dormex.h"
#include "fake_host.h"
#include "hostlink/codec.h"
#include "posix_stand_in.h"
#include "settings/settings.h"

using frames::Bytes;

namespace {

std::string quoted(const std::string& path) { return '"' + path + '"'; }

class Entry : public ModuleTest {
   protected:
    // Starts with the default file already in `dir`, so every flag is on.
    void startWithDefaults(const std::string& settingsDir) {
        writeWholeFile(settingsDir + "dormex.ini", DEFAULT_SETTINGS_FILE);
        ASSERT_NE(callPlugin(frames::startEvent(fakehost::address(), settingsDir)), nullptr);
        ASSERT_TRUE(moduleState.session.settings.triggerEnabled);
    }

    TempDir dir;
};

TEST_F(Entry, StartAnswerIsExactAndOutlivesLaterSends) {
    writeWholeFile(dir.path() + "dormex.ini", DEFAULT_SETTINGS_FILE);
    const uint8_t* answer = callPlugin(frames::startEvent(fakehost::address(), dir.path()));
    ASSERT_NE(answer, nullptr);
    const Bytes expected = frames::expectedStartAnswer();
    ASSERT_EQ(expected.size(), 34u);
    EXPECT_EQ(Bytes(answer, answer + 34), expected);
    // Requests from either thread must not overwrite the answer before the host copied it.
    callPlugin(frames::textEvent("/disconnect"));
    EXPECT_EQ(Bytes(answer, answer + 34), expected);
}

// Each message is exactly as long as it claims, so a read past it is caught.
TEST_F(Entry, RejectedMessagesGiveNullAndChangeNothing) {
    capWaits(5);  // the watch thread polls every 5 ms, so a live one shows at once
    startWithDefaults(dir.path());
    auto withByte = [](Bytes message, size_t at, uint8_t value) {
        message[at] = value;
        return message;
    };
    const Bytes text = frames::textEvent("/disconnect");
    const Bytes settingsEvent = frames::settingsEvent();
    const Bytes stop = frames::stopEvent();
    const std::vector<Bytes> rejected = {
        {0, 0, 0, 0},                                // N = 0
        withByte(text, 0, 0),                        // N = 0 with a body behind it
        withByte(withByte(stop, 0, 0xFF), 3, 0xFF),  // N = -1
        withByte(stop, 3, 0x80),                     // N = INT_MIN
        {1, 0, 0, 0, 3},                             // N = 1: no room for a code
        withByte(text, 4, 1),                        // kind 1, 2, 5, 0
        withByte(text, 4, 2),
        withByte(settingsEvent, 4, 5),
        withByte(stop, 4, 0),
        withByte(text, 5, 4),  // unknown codes
        withByte(text, 5, 5),
        withByte(text, 5, 7),
        withByte(text, 5, 0),
        withByte(text, 5, 0xFF),
    };
    EXPECT_EQ(pluginFun(nullptr), nullptr);
    for (size_t i = 0; i < rejected.size(); ++i) EXPECT_EQ(callPlugin(rejected[i]), nullptr) << i;
    EXPECT_TRUE(fakehost::received().empty());
    EXPECT_EQ(desktopRecord().launches, 0);
    // The same frames with their faults removed do get through.
    EXPECT_EQ(callPlugin(text), nullptr);
    EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>{frames::disconnectFrame()});
    // The default disconnect time comes: a watch thread still running asks the state.
    setFakeClock(17, 15);
    EXPECT_TRUE(waitUntil([] { return fakehost::receivedBytes().size() > 1; }, std::chrono::seconds(10)))
        << "nothing rejected may stop the watch thread";
}

using frames::startWithFirstCount;

TEST_F(Entry, FirstCountOfZeroOrLessPutsTheDirectoryRightBehindIt) {
    for (int32_t count : {0, -5}) {
        clearDesktopRecord();
        TempDir own;
        const uint8_t* answer = callPlugin(startWithFirstCount(fakehost::address(), count, own.path()));
        ASSERT_NE(answer, nullptr) << count;
        EXPECT_EQ(Bytes(answer, answer + 34), frames::expectedStartAnswer());
        EXPECT_TRUE(fileExists(own.path() + "dormex.ini")) << count;
        callPlugin(frames::settingsEvent());
        EXPECT_EQ(desktopRecord().lastParameters, quoted(own.path() + "dormex.ini")) << count;
    }
}

TEST_F(Entry, MalformedStartsStoreNothing) {
    startWithDefaults(dir.path());
    TempDir other;
    const Bytes good = frames::startEvent(0xDEADBEEF, other.path(), "t");
    auto cut = [](Bytes message, size_t bytesDropped, int32_t newLength) {
        message.resize(message.size() - bytesDropped);
        Bytes length(4);
        encodeInt32(newLength, length.data());
        std::copy(length.begin(), length.end(), message.begin());
        return message;
    };
    const int32_t n = static_cast<int32_t>(good.size() - 4);
    const int32_t dirSize = static_cast<int32_t>(other.path().size());
    const std::vector<Bytes> malformed = {
        cut(good, 1, n - 1),                      // last int32 one byte short
        cut(good, 4, n - 4),                      // last int32 missing
        cut(good, 4 + dirSize, n - 4 - dirSize),  // directory text past the frame
        startWithFirstCount(0xDEADBEEF, 0x7FFFFFFF, other.path()),
        startWithFirstCount(0xDEADBEEF, 1000, other.path()),
        cut(good, good.size() - 14, 10),  // callback and nothing after it
    };
    for (size_t i = 0; i < malformed.size(); ++i) EXPECT_EQ(callPlugin(malformed[i]), nullptr) << i;

    EXPECT_EQ(readWholeFile(other.path() + "dormex.ini"), "") << "the other directory was never used";
    callPlugin(frames::settingsEvent());
    EXPECT_EQ(desktopRecord().lastParameters, quoted(dir.path() + "dormex.ini"));
    callPlugin(frames::textEvent("/disconnect"));
    EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>{frames::disconnectFrame()})
        << "the callback from the last good start is still in use";
}

TEST_F(Entry, EditorGetsTheGluedPathQuoted) {
    const std::string dirs[] = {dir.path() + "with blanks/", dir.path() + "no-separator"};
    ASSERT_EQ(mkdir(dirs[0].c_str(), 0755), 0);
    for (const std::string& settingsDir : dirs) {
        callPlugin(frames::startEvent(fakehost::address(), settingsDir));
        callPlugin(frames::settingsEvent());
        const DesktopRecord record = desktopRecord();
        EXPECT_EQ(record.lastProgram, "C:\\WINDOWS\\notepad.exe");
        EXPECT_EQ(record.lastParameters, quoted(settingsDir + "dormex.ini"));
        EXPECT_EQ(readWholeFile(settingsDir + "dormex.ini"), DEFAULT_SETTINGS_FILE)
            << "the writer uses the same path as the editor";
    }
    EXPECT_EQ(desktopRecord().errorBoxes, 0);
    // Without the Windows folder, or where Notepad was removed, the file opens
    // in the program its type is associated with.
    for (const SeamCall fault : {SEAM_WINDOWS_DIR, SEAM_LAUNCH}) {
        clearDesktopRecord();
        failNthSeamCall(fault == SEAM_WINDOWS_DIR ? 1 : 2);
        callPlugin(frames::settingsEvent());
        EXPECT_EQ(injectedFault(), fault);
        failNthSeamCall(0);
        const DesktopRecord record = desktopRecord();
        EXPECT_EQ(record.launches, 1) << fault;
        EXPECT_EQ(record.lastProgram, dirs[1] + "dormex.ini") << fault;
        EXPECT_EQ(record.lastParameters, "(none)") << fault;
    }
}

// No temporary directory here: the child process ends without cleaning up.
class BeforeAnyStart : public ModuleTest {};

TEST_F(BeforeAnyStart, SettingsEventOpensTheBareName) {
    // A child process of its own, so no earlier test's start can have run in it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            callPlugin(frames::settingsEvent());
            const DesktopRecord record = desktopRecord();
            fprintf(stderr, "launches=%d program=%s parameters=%s\n", record.launches,
                    record.lastProgram.c_str(), record.lastParameters.c_str());
            _exit(record.launches == 1 && record.lastProgram == "C:\\WINDOWS\\notepad.exe" &&
                          record.lastParameters == "\"dormex.ini\""
                      ? 0
                      : 1);
        },
        ::testing::ExitedWithCode(0), "launches=1");
}

TEST_F(Entry, TextEventsSendNothingWhileTheTriggerIsOff) {
    writeWholeFile(dir.path() + "dormex.ini", "1\n2\n3\n4\nDisconnectStr=-\n");
    callPlugin(frames::startEvent(fakehost::address(), dir.path()));
    ASSERT_FALSE(moduleState.session.settings.triggerEnabled);
    // The trigger text "-" itself, as a text event, is not a match while off.
    EXPECT_EQ(callPlugin(frames::textEvent("-")), nullptr);
    // Off means the text is not even read: a frame that ends at the code is fine.
    EXPECT_EQ(callPlugin(frames::frame({3, 6})), nullptr);

    startWithDefaults(dir.path());
    // On, a text whose count runs past the frame is dropped, not read.
    Bytes overlong = frames::textEvent("/disconnect");
    overlong.pop_back();
    overlong[0] -= 1;
    EXPECT_EQ(callPlugin(overlong), nullptr);
    EXPECT_EQ(callPlugin(frames::frame({3, 6})), nullptr);
    EXPECT_TRUE(fakehost::received().empty());
}

// Windows tells a load that failed (DllMain answered false) as an unload
// too: that one gives back nothing, neither the lock never made nor the one
// the failed load already gave back. Lock calls are counted, Wine would not mind.
TEST(ModuleLoad, UnloadAfterAFailedLoadGivesBackNothing) {
    const struct {
        uint32_t failingLock;  // counted over the lock calls; past them, none fails
        bool loads;
        uint32_t lockCalls;  // made and given back, the failed one included
    } rows[] = {{100, true, 4}, {1, false, 1}, {2, false, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE("lock call " + std::to_string(row.failingLock) + " fails");
        failNthSeamCall(row.failingLock);
        EXPECT_EQ(prepareModuleState(), row.loads);
        unloadModuleState();
        EXPECT_EQ(seamCallsMade(), row.lockCalls);
        failNthSeamCall(0);
    }
    // Ready again for the tests after this one.
    ASSERT_TRUE(prepareSession(&moduleState.session));
}

}  // namespace
