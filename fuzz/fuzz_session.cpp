// Fuzzes whole sessions deterministically: pluginFun over the fiber seam, so
// the input decides every interleaving of the watch thread with the host's
// events, and the same input always gives the same run.
//
// Input: records, each led by an op byte (op % 16), most with one argument byte:
//   0, 1, 14, 15  resume watch thread (op >> 4) among those alive: it runs
//                 until its next wait ends it (a whole 10 s pause) or the host holds it
//   2  a start: arg & 3 picks the directory ("s/", "s/sub/", "", "missing/"),
//      arg & 4 names an unknown callback instead of the recording host
//   3  a stop          4  a settings event
//   5  a text event: arg % 4 picks "/disconnect", the trigger text, "go", or
//      a text of the next (arg >> 2) bytes
//   6  the clock: hour and minute bytes
//   7  the host's connection state (0xFF: a null reply)
//   8  the next request of a watch thread is held: arg % 3 picks never,
//      before the host sees it, after the host saw it (until resumed)
//   9  a file: arg & 3 picks the path, (arg >> 2) % 6 writes the default file,
//      a valid file with trigger "go", a bad file, the next (arg >> 5) * 8
//      bytes, removes it or puts a directory there
//   10 another program holds the file arg & 3 open for writing (arg & 4) or lets go
//   11 seam call (arg % 32) from now fails (0: none)
//   12 a raw frame: a 16-bit size, then the payload
//   13 makes or removes the directory "s/sub/" (arg & 1)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Dormex.h"
#include "frames.h"
#include "fuzz_oracles.h"
#include "hostlink/codec.h"
#include "session_seam.h"

namespace {

using frames::Bytes;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_session: %s\n", what);
    abort();
}

// --- The host's side ------------------------------------------------------------

// What the harness knows of each watch thread.
struct ThreadLog {
    bool stopped;
    int allowance;   // requests that may still reach the host after the stop
    bool inTransit;  // held before the host saw its request
    bool lastWasQuery;
    int32_t lastReply;  // the state the host gave at the last query
};

ThreadLog logs[MAX_FIBERS];
uint32_t serials[MAX_FIBERS];
uint32_t hostAddress;
int32_t hostState;
bool hostRepliesNull;
int holdMode;          // 0 none, 1 before the host sees the next request, 2 after
bool callbackChanged;  // an accepted start named another callback
int harnessDisconnects;
frames::StateReply stateReply;

void onThreadStart(int index) {
    logs[index] = ThreadLog{false, 0, false, false, 0};
    ++serials[index];
}

void checkRequest(const uint8_t* framed) {
    if (framed == nullptr) fail("the host callback got a null frame");
    if (oracle::readLe32(framed) != 2) fail("a request's payload length is not 2");
    const bool query = framed[4] == KIND_QUERY && framed[5] == Q_NET_STATE;
    const bool connect = framed[4] == KIND_COMMAND && framed[5] == CMD_CONNECT;
    const bool disconnect = framed[4] == KIND_COMMAND && framed[5] == CMD_DISCONNECT;
    if (!query && !connect && !disconnect) fail("a request with an unknown kind or code");
    const int fiber = runningFiber();
    if (fiber < 0) {
        if (!disconnect) fail("the host's thread sent something other than a disconnect");
        ++harnessDisconnects;
        return;
    }
    ThreadLog& log = logs[fiber];
    if (log.stopped && log.allowance-- <= 0) fail("a request reached the host after its thread was stopped");
    if (!query && !callbackChanged) {
        if (!log.lastWasQuery) fail("a scheduled command without a query before it");
        if (disconnect && log.lastReply == NET_OFFLINE) fail("disconnect sent to a host that is off-line");
        if (connect && log.lastReply == NET_ONLINE) fail("connect sent to a host that is on-line");
    }
    log.lastWasQuery = query;
}

const uint8_t* DORMEX_STDCALL recordingHost(const uint8_t* framed) {
    const int fiber = runningFiber();
    const int hold = fiber >= 0 ? holdMode : 0;
    if (hold != 0) holdMode = 0;
    if (hold == 1) {
        logs[fiber].inTransit = true;
        holdRunningFiber();
        logs[fiber].inTransit = false;
    }
    checkRequest(framed);
    if (hold == 2) holdRunningFiber();
    // The reply is what the host knows when it returns.
    if (fiber >= 0 && framed[4] == KIND_QUERY) logs[fiber].lastReply = hostRepliesNull ? 0 : hostState;
    if (hostRepliesNull) return nullptr;
    return frames::putStateReply(stateReply, hostState);
}

// --- Events -----------------------------------------------------------------------

// Marks every watch thread alive before an event that stopped them as stopped.
void markStopped(const bool aliveBefore[], const uint32_t serialsBefore[]) {
    for (int i = 0; i < MAX_FIBERS; ++i) {
        if (!aliveBefore[i] || serials[i] != serialsBefore[i] || logs[i].stopped) continue;
        logs[i].stopped = true;
        logs[i].allowance = logs[i].inTransit ? 1 : 0;
    }
}

// The pauses one event may take for files another program holds: a start
// makes six file calls (open, the backup's open and move, the default file's
// move, and a removal after either move), each tried again ten times at most.
constexpr int MOST_PAUSES_PER_EVENT = 6 * 10;

// A host thread never waits for a thread of ours, and pauses for busy files
// only as long as the retries allow.
void checkHostThreadDidNotWait(int pausesBefore) {
    if (harnessWaits() != 0) fail("the host's thread waited");
    if (harnessPauses() - pausesBefore > MOST_PAUSES_PER_EVENT) fail("the host's thread paused without end");
    if (openHandles() != 0) fail("a file handle was left open");
}

// Sends one framed event and checks its answer and what it did.
void sendFrame(const uint8_t* frame, size_t size) {
    bool aliveBefore[MAX_FIBERS];
    uint32_t serialsBefore[MAX_FIBERS];
    for (int i = 0; i < MAX_FIBERS; ++i) {
        aliveBefore[i] = fiberState(i) != FIBER_FREE;
        serialsBefore[i] = serials[i];
    }
    const bool start = oracle::isEvent(frame, size, EV_START);
    const bool text = oracle::isEvent(frame, size, EV_TEXT);
    const int expectedDisconnects =
        text && moduleState.session.host.callback.load() == reinterpret_cast<HostCallback>(recordingHost) &&
                oracle::triggerMatches(frame, size, moduleState.session.settings)
            ? 1
            : 0;
    const int launchesBefore = launchesSeen();
    harnessDisconnects = 0;
    const int pausesBefore = harnessPauses();
    const uint8_t* answer = pluginFun(frame);
    checkHostThreadDidNotWait(pausesBefore);
    if (start && oracle::locateDirectory(frame, size).wellFormed) {
        static const Bytes expected = frames::expectedStartAnswer();
        if (answer == nullptr || memcmp(answer, expected.data(), expected.size()) != 0)
            fail("wrong start answer");
        if (oracle::readLe32(frame + 6) != hostAddress) callbackChanged = true;
        markStopped(aliveBefore, serialsBefore);
        return;
    }
    if (answer != nullptr) fail("an answer to something other than a well-formed start");
    if (harnessDisconnects != expectedDisconnects) fail("the trigger sent the wrong number of disconnects");
    if (oracle::isEvent(frame, size, EV_STOP)) markStopped(aliveBefore, serialsBefore);
    // Notepad, or the file itself where Notepad could not be started.
    const char* launched = lastLaunchProgram();
    const size_t launchedSize = strlen(launched), tail = sizeof "dormex.ini" - 1;
    const bool rightThing =
        strcmp(launched, "C:\\WINDOWS\\notepad.exe") == 0 ||
        (launchedSize >= tail && strcmp(launched + launchedSize - tail, "dormex.ini") == 0);
    if (launchesSeen() != launchesBefore && (launchesSeen() != launchesBefore + 1 || !rightThing)) {
        fail("the settings event launched the wrong thing");
    }
}

void sendBytes(const Bytes& frame) { sendFrame(frame.data(), frame.size()); }

// --- Reading the input ----------------------------------------------------------------

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
};

uint8_t takeByte(Input* in) { return in->at < in->size ? in->data[in->at++] : 0; }

// Up to `count` bytes of the input (fewer at its end); their number in `*got`.
const uint8_t* takeBytes(Input* in, size_t count, size_t* got) {
    const size_t left = in->size - in->at;
    *got = count < left ? count : left;
    const uint8_t* bytes = in->data + in->at;
    in->at += *got;
    return bytes;
}

const char* const DIRECTORIES[] = {"s/", "s/sub/", "", "missing/"};
const char* const FILES[] = {"s/dormex.ini", "s/dormex.ini.bak", "dormex.ini", "s/sub/dormex.ini"};
const char VALID_FILE[] = "1\n2\n3\n4\ngo\n";
const char BAD_FILE[] = "h=17 \n";

Bytes startFrames[8];
const Bytes STOP = frames::stopEvent();
const Bytes SETTINGS = frames::settingsEvent();
const Bytes TRIGGER = frames::textEvent("/disconnect");
const Bytes GO = frames::textEvent("go");

void resumeAlive(uint8_t which) {
    int alive[MAX_FIBERS];
    int count = 0;
    for (int i = 0; i < MAX_FIBERS; ++i) {
        if (fiberState(i) != FIBER_FREE) alive[count++] = i;
    }
    if (count != 0) resumeFiber(alive[which % count]);
}

void sendText(Input* in, uint8_t arg) {
    if (arg % 4 == 0) return sendBytes(TRIGGER);
    if (arg % 4 == 2) return sendBytes(GO);
    const TriggerText& trigger = moduleState.session.settings.triggerText;
    size_t got = trigger.size;
    const uint8_t* bytes = trigger.bytes;
    if (arg % 4 == 3) bytes = takeBytes(in, arg >> 2, &got);
    Bytes payload = {KIND_EVENT, EV_TEXT};
    payload.insert(payload.end(), 16, 0xEE);
    frames::putInt32(payload, static_cast<int32_t>(got));
    if (got != 0) payload.insert(payload.end(), bytes, bytes + got);
    sendBytes(frames::frame(payload));
}

void changeFile(Input* in, uint8_t arg) {
    const char* path = FILES[arg & 3];
    size_t got = 0;
    const uint8_t* bytes = nullptr;
    switch ((arg >> 2) % 6) {
        case 0:
            return putFile(path, reinterpret_cast<const uint8_t*>(DEFAULT_SETTINGS_FILE),
                           DEFAULT_SETTINGS_FILE_SIZE);
        case 1:
            return putFile(path, reinterpret_cast<const uint8_t*>(VALID_FILE), sizeof VALID_FILE - 1);
        case 2:
            return putFile(path, reinterpret_cast<const uint8_t*>(BAD_FILE), sizeof BAD_FILE - 1);
        case 3:
            bytes = takeBytes(in, (arg >> 5) * 8u, &got);
            return putFile(path, bytes, static_cast<uint32_t>(got));
        case 4:
            return removeEntry(path);
        default:
            return putDirectory(path);
    }
}

void sendRawFrame(Input* in) {
    size_t size = takeByte(in);
    size |= static_cast<size_t>(takeByte(in)) << 8;
    size_t got = 0;
    const uint8_t* payload = takeBytes(in, size, &got);
    static uint8_t frame[4 + 65536];
    frame[0] = static_cast<uint8_t>(got);
    frame[1] = static_cast<uint8_t>(got >> 8);
    frame[2] = frame[3] = 0;
    if (got != 0) memcpy(frame + 4, payload, got);
    sendFrame(frame, 4 + got);
}

void runRecord(Input* in) {
    const uint8_t op = takeByte(in);
    switch (op % 16) {
        case 2:
            return sendBytes(startFrames[takeByte(in) & 7]);
        case 3:
            return sendBytes(STOP);
        case 4:
            return sendBytes(SETTINGS);
        case 5:
            return sendText(in, takeByte(in));
        case 6: {
            const uint8_t hour = takeByte(in);
            return setSeamClock(hour % 24, takeByte(in) % 60);
        }
        case 7: {
            const uint8_t state = takeByte(in);
            hostRepliesNull = state == 0xFF;
            hostState = static_cast<int8_t>(state);
            return;
        }
        case 8:
            holdMode = takeByte(in) % 3;
            return;
        case 9:
            return changeFile(in, takeByte(in));
        case 10: {
            const uint8_t arg = takeByte(in);
            return holdOpenForWriting(FILES[arg & 3], (arg & 4) != 0);
        }
        case 11:
            return failNthSeamCallOfSession(takeByte(in) % 32);
        case 12:
            return sendRawFrame(in);
        case 13:
            return (takeByte(in) & 1) ? putDirectory("s/sub/") : removeEntry("s/sub/");
        default:
            return resumeAlive(op >> 4);
    }
}

// Stops the session and lets every watch thread run to its end.
void endSession() {
    failNthSeamCallOfSession(0);
    holdMode = 0;
    sendBytes(STOP);
    for (int i = 0; i < MAX_FIBERS; ++i) {
        for (int turn = 0; fiberState(i) != FIBER_FREE; ++turn) {
            if (turn == 4) fail("a stopped watch thread does not end");
            resumeFiber(i);
        }
    }
    releaseModuleState();
    moduleState.session.settings = Settings{};
    moduleState.session.host.callback.store(nullptr);
    resetSeam();
}

}  // namespace

// A small quarantine keeps long runs well under libFuzzer's memory limit, and
// short allocation stacks (4 frames, enough to name the site) save a tenth of
// each run; ASAN_OPTIONS still overrides both.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32:malloc_context_size=4"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hostAddress = registerHostCallback(reinterpret_cast<AnyFunction>(recordingHost));
    for (int i = 0; i < 8; ++i)
        startFrames[i] = frames::startEvent((i & 4) ? 7 : hostAddress, DIRECTORIES[i & 3]);
    setFiberStartHook(onThreadStart);
    resetSeam();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hostState = NET_ONLINE;
    hostRepliesNull = false;
    holdMode = 0;
    callbackChanged = false;
    Input in = {data, size, 0};
    while (in.at < in.size) runRecord(&in);
    endSession();
    return 0;
}
