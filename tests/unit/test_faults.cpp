// Every call into the system fails once: each start sequence that matters runs
// again with the first, second, ... call into the seam failing, until a run
// meets no call left to fail. After each run the user's file is intact (or set
// aside, to be put back by the next start), every start was answered exactly,
// paused no longer than its budget, and the plug-in starts and stops cleanly
// again. Then another program writes dormex.ini at each moment of a start in turn.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>

#include "Dormex.h"
#include "fake_host.h"
#include "posix_stand_in.h"

namespace {

// Its trigger is UTF-8, as Notepad saves it, so a start also spells it in the ANSI code page.
const std::string VALID_FILE =
    "h_disconnect=1\r\nm_disconnect=2\r\nh_online=3\r\nm_online=4\r\nDisconnectStr=спать\r\n";
const std::string BAD_FILE = "h_disconnect=17 \r\nm_disconnect=15\r\n";
const std::string DEFAULT_STRING = DEFAULT_SETTINGS_FILE;

struct Sequence {
    const char* name;
    const std::string* userFile;  // null: no file before the first start
    bool backupBlocked;           // a directory stands where the backup would go
    bool missingDirectory;        // the host names a directory that is not there
    const char* events;           // S start, P stop, E settings event, T trigger text
};

const Sequence SEQUENCES[] = {
    {"first start, no file", nullptr, false, false, "S"},
    {"valid file", &VALID_FILE, false, false, "S"},
    {"bad file kept as backup", &BAD_FILE, false, false, "S"},
    {"bad file whose backup fails", &BAD_FILE, true, false, "S"},
    {"missing directory", nullptr, false, true, "S"},
    {"settings event and trigger", &VALID_FILE, false, false, "SET"},
    {"start, stop, start", &BAD_FILE, false, false, "SPS"},
};

const std::string NO_FILE = "(no file)";

const char* const KIND_NAMES[SEAM_CALL_KINDS] = {
    "open",        "create",  "read",  "write",      "flush",  "close read", "close written",
    "move",        "remove",  "alloc", "signal",     "thread", "error box",  "launch",
    "windows dir", "convert", "pin",   "attributes", "lock"};

// How the n-th seam call goes wrong: it fails, or its file is held by another
// program for a moment (fewer refusals than the retries) or for good.
struct FaultMode {
    const char* name;
    uint32_t busyTimes;  // 0: the call fails
    bool everyKind;      // every open, move and removal from then on is held
};
const FaultMode MODES[] = {{"failing", 0, false},
                           {"busy for a moment", 3, false},
                           {"busy for good", 100, false},
                           {"every file busy for good", 100, true}};

// The most one start may pause for files other programs hold, as the README says.
constexpr uint64_t MOST_PAUSED_MS = 2600;

// What a run left: the files and the boxes.
struct Outcome {
    std::string ini, backup;
    int boxes;
    bool operator==(const Outcome& other) const {
        return ini == other.ini && backup == other.backup && boxes == other.boxes;
    }
};

// A failure while a new file is made: the file the start found stays as it
// was, and the user is told.
bool failsAWrite(SeamCall kind) {
    return kind == SEAM_CREATE || kind == SEAM_WRITE || kind == SEAM_FLUSH || kind == SEAM_CLOSE_WRITTEN ||
           kind == SEAM_MOVE;
}

class FaultSweep : public ModuleTest {
   protected:
    // One run of `sequence` with the n-th seam call going wrong as `mode` says
    // (0: none); the kind of call that went wrong, or SEAM_CALL_KINDS when none did.
    SeamCall runOnce(const Sequence& sequence, uint32_t n, const FaultMode& mode, Outcome* outcome) {
        TempDir dir;
        const std::string settingsDir = dir.path() + (sequence.missingDirectory ? "absent/" : "");
        ini = settingsDir + "dormex.ini";
        transient = mode.busyTimes != 0 && mode.busyTimes < 10;
        if (sequence.userFile != nullptr) writeWholeFile(ini, *sequence.userFile);
        if (sequence.backupBlocked) {
            EXPECT_EQ(mkdir((ini + ".bak").c_str(), 0755), 0);
        }
        const frames::Bytes start = frames::startEvent(fakehost::address(), settingsDir);
        failNthSeamCall(n, mode.busyTimes, mode.everyKind);
        for (const char* event = sequence.events; *event != '\0'; ++event) sendEvent(*event, start);
        const SeamCall fault = injectedFault();
        callsMade = seamCallsMade();
        failNthSeamCall(0);
        *outcome = Outcome{fileContents(ini), fileContents(ini + ".bak"), desktopRecord().errorBoxes};
        expectCleanRestart(start);
        return fault;
    }

    void sendEvent(char event, const frames::Bytes& start) {
        switch (event) {
            case 'S': {
                // The file a start finds stays, or is kept byte for byte as the backup, or
                // waits under a name of ours to be put back; what stands at either path
                // afterwards is whole: never a part of a file.
                const std::string before = fileContents(ini);
                const std::string backupBefore = fileContents(ini + ".bak");
                const SeamCall faultBefore = injectedFault();
                const int boxesBefore = desktopRecord().errorBoxes;
                takePausesAskedMs();
                expectStartAnswer(callPlugin(start));
                EXPECT_LE(takePausesAskedMs(), MOST_PAUSED_MS) << "a start waited past its budget";
                const std::string after = fileContents(ini), backup = fileContents(ini + ".bak");
                const bool parked = before != NO_FILE && parkedUserFile() == before;
                const SeamCall fault = injectedFault() != faultBefore ? injectedFault() : SEAM_CALL_KINDS;
                // Held for a moment, a file is waited for: the run ends as one without a fault.
                if (failsAWrite(fault) && !transient) {
                    EXPECT_TRUE(after == before || parked) << "a failed write still replaced dormex.ini";
                    EXPECT_EQ(desktopRecord().errorBoxes, boxesBefore + 1)
                        << "a failed write went unreported";
                }
                expectNoTemporaryFile();
                EXPECT_TRUE(before == NO_FILE || after == before || backup == before || parked)
                    << "the user's file is lost";
                EXPECT_TRUE(after == before || after == DEFAULT_SETTINGS_FILE || (after == NO_FILE && parked))
                    << "dormex.ini is now: " << after;
                // Put back from the backup when the default file could not be placed.
                EXPECT_TRUE(backup == backupBefore || backup == before ||
                            (backup == NO_FILE && after == before))
                    << "dormex.ini.bak is now: " << backup;
                break;
            }
            case 'P':
                EXPECT_EQ(callPlugin(frames::stopEvent()), nullptr);
                break;
            case 'E':
                EXPECT_EQ(callPlugin(frames::settingsEvent()), nullptr);
                break;
            default:
                EXPECT_EQ(callPlugin(frames::textEvent("\xF1\xEF\xE0\xF2\xFC")), nullptr);
                break;
        }
    }

    static void expectStartAnswer(const uint8_t* answer) {
        const frames::Bytes expected = frames::expectedStartAnswer();
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(frames::Bytes(answer, answer + expected.size()), expected);
    }

    // Whatever happened, nothing but the settings file, its backup and what
    // the plug-in noted for a later start is left.
    void expectNoTemporaryFile() const {
        const std::string dirPath = ini.substr(0, ini.size() - sizeof "dormex.ini" + 1);
        DIR* folder = opendir(dirPath.c_str());
        if (folder == nullptr) return;
        while (const dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            bool noted = false;
            for (const Leftover& item : moduleState.session.leftovers.items)
                noted |= dirPath + name == item.path;
            EXPECT_TRUE(noted || name == "." || name == ".." || name == "dormex.ini" ||
                        name == "dormex.ini.bak" || name == "absent")
                << "left behind: " << name;
        }
        closedir(folder);
    }

    // The bytes of the user's file a start set aside and could not put back, or NO_FILE.
    static std::string parkedUserFile() {
        for (const Leftover& item : moduleState.session.leftovers.items) {
            if (item.path[0] != '\0' && item.putBackAt[0] != '\0') return fileContents(item.path);
        }
        return NO_FILE;
    }

    static int leftoversNoted() {
        int count = 0;
        for (const Leftover& item : moduleState.session.leftovers.items) count += item.path[0] != '\0';
        return count;
    }

    // The bytes of the regular file at `path`, or NO_FILE.
    static std::string fileContents(const std::string& path) {
        struct stat status;
        if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return NO_FILE;
        return readWholeFile(path);
    }

    // Whatever failed before, a start runs exactly one watch thread and a stop ends it.
    void expectCleanRestart(const frames::Bytes& start) const {
        EXPECT_TRUE(waitUntil([] { return runningThreads() <= 1; })) << "more than one watch thread";
        const std::string parked = parkedUserFile();
        expectStartAnswer(callPlugin(start));
        EXPECT_EQ(leftoversNoted(), 0) << "a start with nothing held left something undone";
        expectNoTemporaryFile();
        if (parked != NO_FILE) {
            EXPECT_TRUE(fileContents(ini) == parked || fileContents(ini + ".bak") == parked)
                << "the user's file set aside was not put back";
        }
        EXPECT_TRUE(waitUntil([] { return runningThreads() == 1; }))
            << "no single watch thread after a restart";
        EXPECT_EQ(callPlugin(frames::stopEvent()), nullptr);
        EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; })) << "a watch thread outlived its stop";
        releaseModuleState();
        moduleState.session.settings = Settings{};
        moduleState.session.leftovers = Leftovers{};
        clearDesktopRecord();
    }

    std::string ini;
    bool transient = false;
    uint32_t callsMade = 0;
};

// Test parts recorded so far in this test: each failed check adds one.
int failedChecks() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

TEST_F(FaultSweep, EveryFailingCallIsSurvived) {
    int injected[SEAM_CALL_KINDS] = {};
    int faults = 0, failures = 0, busyRuns = 0;
    // A held file is waited for in short pauses here: 100 refusals take no time.
    capPauses(1);
    for (const Sequence& sequence : SEQUENCES) {
        Outcome clean;
        runOnce(sequence, 0, MODES[0], &clean);
        for (const FaultMode& mode : MODES) {
            for (uint32_t n = 1;; ++n) {
                SCOPED_TRACE(std::string(sequence.name) + ", seam call " + std::to_string(n) + " " +
                             mode.name);
                const int failedBefore = failedChecks();
                Outcome outcome;
                const SeamCall fault = runOnce(sequence, n, mode, &outcome);
                if (fault != SEAM_CALL_KINDS && transient) {
                    EXPECT_TRUE(outcome == clean) << "a file held for a moment changed the start's outcome";
                }
                if (failedChecks() != failedBefore) ++failures;
                if (fault == SEAM_CALL_KINDS && n > callsMade) break;
                if (fault == SEAM_CALL_KINDS) continue;
                ++injected[fault];
                ++faults;
                busyRuns += mode.busyTimes != 0 ? 1 : 0;
                ASSERT_LT(n, 1000u) << "the sequence never runs out of calls to fail";
            }
        }
    }
    capPauses(20);
    printf("fault sweep: %zu sequences, %d faults injected (", sizeof SEQUENCES / sizeof SEQUENCES[0],
           faults);
    for (int kind = 0; kind < SEAM_CALL_KINDS; ++kind)
        printf("%s%s %d", kind ? ", " : "", KIND_NAMES[kind], injected[kind]);
    printf("; %d of them files held by another program), %d runs, %d failures found\n", busyRuns,
           faults + static_cast<int>(sizeof SEQUENCES / sizeof SEQUENCES[0]), failures);
}

// Another program writes dormex.ini at each moment of a start on a bad file
// in turn: what it wrote is never replaced, the bad file is kept as the backup
// or left where it was, and nothing of ours is left.
std::string writtenIni;
const std::string SAVED_FILE = "h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=saved\r\n";

TEST_F(FaultSweep, FileWrittenAtEveryMomentOfAStartIsKept) {
    const struct {
        const char* name;
        void (*write)();
        const std::string& ini;  // what dormex.ini holds after the start
    } writers[] = {
        {"an editor saving in place", [] { writeWholeFile(writtenIni, SAVED_FILE); }, SAVED_FILE},
        {"an editor saving through a new file",
         [] {
             writeWholeFile(writtenIni + ".new", SAVED_FILE);
             rename((writtenIni + ".new").c_str(), writtenIni.c_str());
         },
         SAVED_FILE},
        // Another host on the same folder, its whole start at that moment.
        {"another host's start",
         [] {
             if (readWholeFile(writtenIni) != BAD_FILE) return;
             rename(writtenIni.c_str(), (writtenIni + ".bak").c_str());
             writeWholeFile(writtenIni, DEFAULT_SETTINGS_FILE);
         },
         DEFAULT_STRING},
    };
    int moments = 0;
    for (const auto& writer : writers) {
        for (uint32_t n = 1;; ++n, ++moments) {
            SCOPED_TRACE(std::string(writer.name) + " at seam call " + std::to_string(n));
            TempDir dir;
            ini = writtenIni = dir.path() + "dormex.ini";
            writeWholeFile(ini, BAD_FILE);
            actAtNthSeamCall(n, writer.write);
            expectStartAnswer(callPlugin(frames::startEvent(fakehost::address(), dir.path())));
            // The watch thread's calls count too: the writer may come after the start.
            callPlugin(frames::stopEvent());
            EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; }));
            const bool wrote = seamCallsMade() >= n;
            failNthSeamCall(0);
            if (!wrote) break;
            EXPECT_EQ(fileContents(ini), writer.ini);
            const std::string backup = fileContents(ini + ".bak");
            EXPECT_TRUE(backup == BAD_FILE || backup == NO_FILE) << "dormex.ini.bak is now: " << backup;
            EXPECT_EQ(desktopRecord().errorBoxes, 0);
            EXPECT_EQ(leftoversNoted(), 0);
            expectNoTemporaryFile();
        }
    }
    printf("writer sweep: %zu writers, %d moments of a start written at\n",
           sizeof writers / sizeof writers[0], moments);
}

}  // namespace
