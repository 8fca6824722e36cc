// Endurance run of the real Dormex.dll under Wine: many start/stop cycles, then
// text events at full speed from the host's thread while the watch thread
// polls. Prints a table of figures; exits non-zero when a check fails.
//
// Usage: dormex_endurance.exe [CYCLES [SECONDS [RESTART_MS]]]   (defaults 1000, 60, 100)
#include <cstdlib>

#include "win_host.h"

namespace winehost = winhost;

namespace {

using winehost::FrameKind;

// Frames the recorder counted from the host's own thread and from watch threads
// (several may overlap at a restart).
long long hostFrames(FrameKind kind) { return winehost::countOnHostThread(kind); }
LONG watchFramesOf(FrameKind kind) { return winehost::countOnOtherThreads(kind); }

struct WatchTally {
    LONG queries, commands;
};

WatchTally watchTally() {
    return WatchTally{watchFramesOf(winehost::FRAME_QUERY),
                      watchFramesOf(winehost::FRAME_CONNECT) + watchFramesOf(winehost::FRAME_DISCONNECT)};
}

struct Figures {
    int cycles;
    int restarts;
    int badAnswers;
    long long textsSent, matchingTexts;
    WatchTally beforeTexts, halfTexts, afterTexts;  // halfTexts: at the first restart
    int threadsBefore, threadsAfterCycles, threadsAfter;
    // Found one by one: Wine's GetProcessHandleCount answers 0 whatever is open.
    long openHandlesBefore, openHandlesAfter;
    double cyclesMs, textMs, totalMs;
};

// Start, check the answer, stop; `cycles` times.
void runCycles(winehost::PluginFun pluginFun, const frames::Bytes& start, Figures* figures) {
    const frames::Bytes stop = frames::stopEvent();
    const double begin = winehost::preciseMs();
    for (int i = 0; i < figures->cycles; ++i) {
        if (!winehost::isStartAnswer(pluginFun(start.data()))) ++figures->badAnswers;
        pluginFun(stop.data());
    }
    figures->cyclesMs = winehost::preciseMs() - begin;
}

// Text events for `seconds`, one in four the trigger, the rest near misses.
// In the first half the watch thread polls every 10 s; in the second half it
// is stopped and started again every `restartMs` (0: never), so that its
// first passes send often while the text events keep coming.
void runTexts(winehost::PluginFun pluginFun, const frames::Bytes& start, int seconds, int restartMs,
              Figures* figures) {
    const frames::Bytes stop = frames::stopEvent();
    const frames::Bytes texts[] = {
        frames::textEvent("/disconnect"),
        frames::textEvent("/Disconnect"),
        frames::textEvent("/disconnect "),
        frames::textEvent("please /disconnect now"),
    };
    const double begin = winehost::preciseMs();
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    ULONGLONG nextRestart = restartMs > 0 ? end - static_cast<ULONGLONG>(seconds) * 500 : end;
    long long sent = 0;
    figures->halfTexts = {-1, -1};
    do {
        for (int batch = 0; batch < 4096; ++batch) pluginFun(texts[batch % 4].data());
        sent += 4096;
        if (GetTickCount64() < nextRestart) continue;
        if (figures->restarts == 0) figures->halfTexts = watchTally();
        pluginFun(stop.data());
        if (!winehost::isStartAnswer(pluginFun(start.data()))) ++figures->badAnswers;
        ++figures->restarts;
        nextRestart += restartMs;
    } while (GetTickCount64() < end);
    if (figures->restarts == 0) figures->halfTexts = watchTally();
    figures->textMs = winehost::preciseMs() - begin;
    figures->textsSent = sent;
    figures->matchingTexts = sent / 4;
}

void printFigures(const Figures& f) {
    const char* const kinds[] = {"query 01 0E", "connect 05 09", "disconnect 05 0A", "torn"};
    printf("%-36s %16s\n", "figure", "value");
    printf("%-36s %16d\n", "start/stop cycles", f.cycles);
    printf("%-36s %16d\n", "start answers not intact", f.badAnswers);
    printf("%-36s %16.0f\n", "cycles duration (ms)", f.cyclesMs);
    printf("%-36s %16lld\n", "text events sent", f.textsSent);
    printf("%-36s %16lld\n", "  of which the trigger", f.matchingTexts);
    printf("%-36s %16.0f\n", "text events per second", f.textsSent / (f.textMs / 1000.0));
    printf("%-36s %16.0f\n", "text phase duration (ms)", f.textMs);
    printf("%-36s %16d\n", "restarts during the text phase", f.restarts);
    char label[64];
    for (int kind = 0; kind < winehost::FRAME_KINDS; ++kind) {
        snprintf(label, sizeof label, "host thread frames: %s", kinds[kind]);
        printf("%-36s %16lld\n", label, hostFrames(static_cast<FrameKind>(kind)));
    }
    for (int kind = 0; kind < winehost::FRAME_KINDS; ++kind) {
        snprintf(label, sizeof label, "watch thread frames: %s", kinds[kind]);
        printf("%-36s %16ld\n", label, watchFramesOf(static_cast<FrameKind>(kind)));
    }
    printf("%-36s %7ld / %6ld\n", "  queries / commands in first half",
           f.halfTexts.queries - f.beforeTexts.queries, f.halfTexts.commands - f.beforeTexts.commands);
    printf("%-36s %7ld / %6ld\n", "  queries / commands in text phase",
           f.afterTexts.queries - f.beforeTexts.queries, f.afterTexts.commands - f.beforeTexts.commands);
    printf("%-36s %16.0f\n", "whole run (ms)", f.totalMs);
    printf("%-36s %4d -> %4d -> %4d\n", "threads: start, after cycles, end", f.threadsBefore,
           f.threadsAfterCycles, f.threadsAfter);
    printf("%-36s %11ld -> %4ld\n", "handles (found open)", f.openHandlesBefore, f.openHandlesAfter);
}

int failure(const char* what) {
    printf("FAIL: %s\n", what);
    return 1;
}

// Counts the failed checks, printing each.
int checkFigures(const Figures& f, int seconds) {
    // The library holds handles only for a running thread; a few may come from
    // objects the system opens lazily.
    const long handleTolerance = 8;
    // Passes at 0, 10, 20 s, ...: at least one per 10 s of the first half, less
    // one for a slow start. The restarts of the second half supply first passes
    // of their own, so only the first half shows the 10-second polling.
    const LONG minimumPolls = seconds >= 40 ? seconds / 20 - 1 : 1;
    const LONG firstHalfQueries = f.halfTexts.queries - f.beforeTexts.queries;
    const LONG queries = f.afterTexts.queries - f.beforeTexts.queries;
    const LONG commands = f.afterTexts.commands - f.beforeTexts.commands;
    int failures = 0;
    if (f.badAnswers != 0) failures += failure("a start answer was not the expected 34 bytes");
    if (hostFrames(winehost::FRAME_TORN) != 0 || watchFramesOf(winehost::FRAME_TORN) != 0) {
        failures += failure("torn frames reached the host");
    }
    // The host's thread sends the trigger's disconnect and nothing else; the
    // watch thread's frames never land on it, nor the other way round.
    if (hostFrames(winehost::FRAME_DISCONNECT) != f.matchingTexts) {
        failures += failure("trigger texts and disconnects from the host's thread differ");
    }
    if (hostFrames(winehost::FRAME_QUERY) != 0 || hostFrames(winehost::FRAME_CONNECT) != 0) {
        failures += failure("a query or connect came from the host's thread");
    }
    if (firstHalfQueries < minimumPolls) {
        failures += failure("the watch thread did not poll every 10 s in the first half of the text phase");
    }
    // Every query is answered "neither state", so its command follows unless a stop came between.
    if (commands > queries) failures += failure("more watch commands than queries");
    if (f.threadsBefore < 0 || f.threadsAfterCycles > f.threadsBefore) {
        failures += failure("threads outlived the start/stop cycles");
    }
    if (f.threadsAfter > f.threadsBefore) failures += failure("the thread count grew");
    if (f.openHandlesAfter > f.openHandlesBefore + handleTolerance)
        failures += failure("the handle count grew");
    return failures;
}

// Waits up to 5 s for the process to be back to `threads` threads; returns the count then.
int settleThreads(int threads) {
    winehost::waitUntil([threads] { return winehost::countProcessThreads() <= threads; }, 5000);
    return winehost::countProcessThreads();
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    winehost::exitOnAnyFault();
    winehost::closeUnexpectedBoxes();
    Figures figures{};
    figures.cycles = argc > 1 ? atoi(argv[1]) : 1000;
    const int seconds = argc > 2 ? atoi(argv[2]) : 60;
    const int restartMs = argc > 3 ? atoi(argv[3]) : 100;
    winehost::resetRecorder();
    winehost::keepOnlyCounts();
    // Neither state: every due pass sends its command, so the watch thread stays busy.
    winehost::answerQueriesWith(0);

    const winehost::LoadedPlugin plugin = winehost::loadPlugin("Dormex.dll");
    if (plugin.pluginFun == nullptr) return failure("Dormex.dll or its pluginFun not found");
    const std::string dir = winehost::makeScratchDir("endurance");
    // Disconnect due now and connect the minute after: a pass anywhere in the
    // run has a request to send, whenever the minute rolls over.
    const winehost::HourMinute now = winehost::presentMinute();
    if (dir.empty() || !winehost::writeSchedule(dir, now, winehost::minuteAfter(now))) {
        return failure("could not write the settings file");
    }
    const frames::Bytes start = winehost::startEventFor(winehost::recordingCallback, dir);

    const double begin = winehost::preciseMs();
    figures.threadsBefore = winehost::countProcessThreads();
    figures.openHandlesBefore = winehost::countOpenHandles();
    runCycles(plugin.pluginFun, start, &figures);
    figures.threadsAfterCycles = settleThreads(figures.threadsBefore);

    figures.beforeTexts = watchTally();
    if (!winehost::isStartAnswer(plugin.pluginFun(start.data()))) ++figures.badAnswers;
    runTexts(plugin.pluginFun, start, seconds, restartMs, &figures);
    plugin.pluginFun(frames::stopEvent().data());
    figures.threadsAfter = settleThreads(figures.threadsBefore);
    figures.afterTexts = watchTally();
    figures.openHandlesAfter = winehost::countOpenHandles();
    FreeLibrary(plugin.module);
    winehost::removeScratchDir(dir);
    figures.totalMs = winehost::preciseMs() - begin;

    printFigures(figures);
    const int failures = checkFigures(figures, seconds);
    if (failures != 0) {
        printf("endurance: %d check(s) failed\n", failures);
        return 1;
    }
    printf("endurance: all checks passed\n");
    return 0;
}
