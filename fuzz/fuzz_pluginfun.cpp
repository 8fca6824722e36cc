// Fuzzes pluginFun with sequences of host frames, with a recording host behind
// the callback.
//
// Input: clock hour, clock minute, the host's connection state (0xFF: a null
// reply), then records, each led by an op byte:
//   op % 4 == 0 or 1: a frame: a 16-bit little-endian size h, then the payload.
//                     h == 0xFFFF passes null; a set top bit announces a
//                     payload length of -(h & 0x7FFF) with no payload at all.
//   op % 4 == 2:      a 16-bit size, then that many bytes written as the
//                     scratch directory's dormex.ini.
//   op % 4 == 3:      a well-formed event, by (op >> 2) % 4: start, stop,
//                     settings, or the text "/disconnect".
// Start events are confined to a scratch directory: their callback becomes the
// recording host (unless the address' low byte is 0xC0 or more), every '/'
// after the code byte turns into '_', and their directory string becomes the
// scratch directory followed by the original bytes. Every input ends with a
// stop, waits for the watch thread to end and empties the scratch directory.
#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Dormex.h"
#include "frames.h"
#include "fuzz_oracles.h"
#include "hostlink/codec.h"
#include "hostlink/protocol.h"
#include "posix_stand_in.h"
#include "settings/settings.h"

namespace {

using frames::Bytes;
using oracle::readLe32;
using oracle::StartLayout;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_pluginfun: %s\n", what);
    abort();
}

std::string scratchDir;  // ends in '/'
uint32_t hostToken;
pthread_t harnessThread;

// The host's side, shared with the watch thread.
std::atomic<int32_t> hostState{0};
std::atomic<bool> hostRepliesNull{false};
std::atomic<bool> watchStopped{true};  // a stop returned and no start began since
std::atomic<int> harnessDisconnects{0};
std::atomic<uint64_t> requestsAfterStop{0};
// A start in this input named another callback. A watch thread may then send
// its query to the old callback and the command to the new one: the stop does
// not wait for a request the thread had already decided on.
std::atomic<bool> callbackChanged{false};
frames::StateReply stateReply;
thread_local bool lastWasQuery = false;

// Checks every frame the plug-in sends; answers queries with the input's state.
const uint8_t* DORMEX_STDCALL recordingHost(const uint8_t* framed) {
    if (framed == nullptr) fail("the host callback got a null frame");
    if (readLe32(framed) != 2) fail("a request's payload length is not 2");
    const uint8_t kind = framed[4], code = framed[5];
    const bool query = kind == KIND_QUERY && code == Q_NET_STATE;
    const bool connect = kind == KIND_COMMAND && code == CMD_CONNECT;
    const bool disconnect = kind == KIND_COMMAND && code == CMD_DISCONNECT;
    if (!query && !connect && !disconnect) fail("a request with an unknown kind or code");
    if (pthread_equal(pthread_self(), harnessThread)) {
        if (!disconnect) fail("the host's thread sent something other than a disconnect");
        harnessDisconnects.fetch_add(1);
        return nullptr;
    }
    // The watch thread: each command follows a query that asked for it.
    if (watchStopped.load()) requestsAfterStop.fetch_add(1);
    if (!query && !callbackChanged.load()) {
        if (!lastWasQuery) fail("a scheduled command without a query before it");
        const int32_t state = hostRepliesNull.load() ? 0 : hostState.load();
        if (disconnect && state == NET_OFFLINE) fail("disconnect sent to a host that is off-line");
        if (connect && state == NET_ONLINE) fail("connect sent to a host that is on-line");
    }
    lastWasQuery = query;
    return hostRepliesNull.load() ? nullptr : stateReply;
}

// --- Reading the input ------------------------------------------------------

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
};

bool take(Input* in, size_t count, const uint8_t** out) {
    if (in->size - in->at < count) return false;
    *out = in->data + in->at;
    in->at += count;
    return true;
}

// Reads a 16-bit size and up to that many bytes (fewer at the end of input).
bool takeSized(Input* in, uint16_t* header, Bytes* bytes) {
    const uint8_t* p = nullptr;
    if (!take(in, 2, &p)) return false;
    *header = static_cast<uint16_t>(p[0] | p[1] << 8);
    const size_t want = *header & 0x7FFF;
    const size_t count = want < in->size - in->at ? want : in->size - in->at;
    bytes->assign(in->data + in->at, in->data + in->at + count);
    in->at += count;
    return true;
}

// --- Start events -----------------------------------------------------------

// Points the start event at the recording host and the scratch directory.
Bytes confineStart(const Bytes& frame, StartLayout layout) {
    std::string dir = scratchDir;
    dir.append(frame.begin() + layout.dirCountAt + 4, frame.begin() + layout.dirEnd);
    Bytes payload(frame.begin() + 4, frame.begin() + layout.dirCountAt);
    if (payload[2] < 0xC0) {
        for (int i = 0; i < 4; ++i) payload[2 + i] = static_cast<uint8_t>(hostToken >> (8 * i));
    }
    frames::putLString(payload, dir);
    payload.insert(payload.end(), frame.begin() + layout.dirEnd, frame.end());
    return frames::frame(payload);
}

// --- Events -----------------------------------------------------------------

bool callbackIsOurs = false;  // the last accepted start named the recording host

// Entries in the scratch directory, "." and ".." included.
size_t scratchEntries() {
    DIR* dir = opendir(".");
    if (dir == nullptr) fail("cannot list the scratch directory");
    size_t count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// True when the start event's callback address is the recording host's.
bool namesRecordingHost(const Bytes& start) {
    return functionAtAddress(readLe32(&start[6])) == reinterpret_cast<AnyFunction>(recordingHost);
}

void sendStart(const Bytes& original) {
    // With no '/' left in the frame, no path the plug-in forms from it can
    // leave the scratch directory put in below.
    Bytes frame = original;
    for (size_t i = 6; i < frame.size(); ++i) {
        if (frame[i] == '/') frame[i] = '_';
    }
    const StartLayout layout = oracle::locateDirectory(frame.data(), frame.size());
    const Bytes confined = layout.wellFormed ? confineStart(frame, layout) : frame;
    if (layout.wellFormed) {
        watchStopped.store(false);
        if (!namesRecordingHost(confined)) callbackChanged.store(true);
    }
    const size_t entriesBefore = layout.wellFormed ? 0 : scratchEntries();
    const uint8_t* answer = pluginFun(confined.data());
    if (!layout.wellFormed) {
        if (answer != nullptr) fail("a malformed start event was answered");
        // We run inside the scratch directory, so a file made from a
        // malformed start's relative path would show up here.
        if (scratchEntries() != entriesBefore) fail("a malformed start event left a file behind");
        return;
    }
    const Bytes expected = frames::expectedStartAnswer();
    if (answer == nullptr || memcmp(answer, expected.data(), expected.size()) != 0)
        fail("wrong start answer");
    callbackIsOurs = namesRecordingHost(confined);
}

void sendText(const Bytes& frame) {
    const int expected =
        callbackIsOurs && oracle::triggerMatches(frame.data(), frame.size(), moduleState.session.settings)
            ? 1
            : 0;
    harnessDisconnects.store(0);
    if (pluginFun(frame.data()) != nullptr) fail("a text event returned an answer");
    if (harnessDisconnects.load() != expected) fail("the trigger sent the wrong number of disconnects");
}

void sendSettings(const Bytes& frame) {
    const int before = desktopRecord().launches;
    if (pluginFun(frame.data()) != nullptr) fail("a settings event returned an answer");
    const DesktopRecord after = desktopRecord();
    if (after.launches == before) return;
    const std::string& path = after.lastParameters;
    const size_t tail = sizeof "dormex.ini\"" - 1;
    if (after.launches != before + 1 || after.lastProgram != "C:\\WINDOWS\\notepad.exe" ||
        path.size() < tail + 1 || path[0] != '"' ||
        path.compare(path.size() - tail, tail, "dormex.ini\"") != 0) {
        fail("the settings event launched the wrong thing");
    }
}

void sendFrame(const Bytes& frame) {
    if (oracle::isEvent(frame.data(), frame.size(), EV_START)) return sendStart(frame);
    if (oracle::isEvent(frame.data(), frame.size(), EV_TEXT)) return sendText(frame);
    if (oracle::isEvent(frame.data(), frame.size(), EV_SETTINGS)) return sendSettings(frame);
    if (pluginFun(frame.data()) != nullptr) fail("an event other than start returned an answer");
    if (!oracle::isEvent(frame.data(), frame.size(), EV_STOP)) return;
    watchStopped.store(true);
    callbackIsOurs = false;  // a stop forgets the callback until the next start
}

// A frame record: the payload framed with its own length, or a bare length field.
void sendFrameRecord(Input* in) {
    uint16_t header = 0;
    Bytes payload;
    if (!takeSized(in, &header, &payload)) return;
    if (header == 0xFFFF) {
        if (pluginFun(nullptr) != nullptr) fail("a null frame returned an answer");
        return;
    }
    if (header & 0x8000) {
        Bytes bare;
        frames::putInt32(bare, -static_cast<int32_t>(header & 0x7FFF));
        if (pluginFun(bare.data()) != nullptr) fail("a frame without payload returned an answer");
        return;
    }
    sendFrame(frames::frame(payload));
}

void writeSettingsFile(Input* in) {
    uint16_t header = 0;
    Bytes contents;
    if (!takeSized(in, &header, &contents)) return;
    FILE* file = fopen((scratchDir + "dormex.ini").c_str(), "wb");
    if (file == nullptr) fail("cannot write the scratch settings file");
    fwrite(contents.data(), 1, contents.size(), file);
    fclose(file);
}

void sendCannedEvent(uint8_t which) {
    switch (which) {
        case 0:
            return sendFrame(frames::startEvent(hostToken, "", "fuzz"));
        case 1:
            return sendFrame(frames::stopEvent());
        case 2:
            return sendFrame(frames::settingsEvent());
        default:
            return sendFrame(frames::textEvent("/disconnect"));
    }
}

// --- Between inputs ---------------------------------------------------------

// Each watch thread is joined once it ended: a thread that is still
// exiting when the input's run is over gives its memory back during the next
// one, and libFuzzer takes such a run for a leak and runs it again under
// LeakSanitizer, which cost this target some 40% of its runs.
void waitForWatchThreadsToEnd() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (runningThreads() != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            fail("a watch thread still runs 10 s after the stop");
        // Sleep rather than spin: the exiting thread may need this core.
        usleep(20);
    }
    joinThreads();
}

void emptyScratchDir() {
    DIR* dir = opendir(scratchDir.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            unlink((scratchDir + entry->d_name).c_str());
        }
    }
    closedir(dir);
}

// Puts the module back as a fresh load has it, as far as it can be reached.
void resetModule() {
    releaseModuleState();
    moduleState.session.settings = Settings{};
    moduleState.session.host.callback.store(nullptr);
    callbackIsOurs = false;
    clearDesktopRecord();
}

void removeScratchDir() {
    emptyScratchDir();
    rmdir(scratchDir.c_str());
    // Not a failure: a request the watch thread had already decided on may
    // reach the host just after the stop returned. Counted to show how often.
    fprintf(stderr, "fuzz_pluginfun: %llu watch-thread requests reached the host after a stop had returned\n",
            static_cast<unsigned long long>(requestsAfterStop.load()));
}

void setHost(uint8_t stateByte) {
    hostRepliesNull.store(stateByte == 0xFF);
    hostState.store(static_cast<int8_t>(stateByte));
    frames::putStateReply(stateReply, static_cast<int8_t>(stateByte));
}

}  // namespace

// Every start event creates a thread, and ASan's memory grows with each one
// on top of its quarantine; a smaller quarantine keeps long runs well under
// libFuzzer's memory limit. ASAN_OPTIONS still overrides it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when there is one: every start event creates a file.
    char inMemory[] = "/dev/shm/dormex-fuzz-XXXXXX";
    char onDisk[] = "/tmp/dormex-fuzz-XXXXXX";
    const char* name = mkdtemp(inMemory);
    if (name == nullptr) name = mkdtemp(onDisk);
    if (name == nullptr) fail("cannot create the scratch directory");
    scratchDir = std::string(name) + "/";
    // Relative paths from the plug-in land in the scratch directory, never in
    // the directory the fuzzer was started from.
    if (chdir(name) != 0) fail("cannot enter the scratch directory");
    hostToken = addressOfCallback(recordingHost);
    harnessThread = pthread_self();
    capWaits(1);
    keepThreadsToJoin(true);
    atexit(removeScratchDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    setFakeClock(data[0] % 24, data[1] % 60);
    setHost(data[2]);
    callbackChanged.store(false);
    Input in = {data, size, 3};
    const uint8_t* op = nullptr;
    while (take(&in, 1, &op)) {
        switch (*op % 4) {
            case 0:
            case 1:
                sendFrameRecord(&in);
                break;
            case 2:
                writeSettingsFile(&in);
                break;
            default:
                sendCannedEvent((*op >> 2) % 4);
                break;
        }
    }
    sendFrame(frames::stopEvent());
    waitForWatchThreadsToEnd();
    emptyScratchDir();
    resetModule();
    return 0;
}
