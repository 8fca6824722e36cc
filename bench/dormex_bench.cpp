// Speed, heap and stop-latency figures of the plug-in, natively through the
// POSIX stand-in, printed as one table followed by each figure against its goal.
// A goal whose figure is missing (a run that failed its own check, or was not
// run) is printed as MISSING and makes the program exit non-zero.
//
// The plug-in is started the way a host starts it, twice on a fresh directory
// (the first start writes the default file, the second loads it), so the text
// events below meet the default trigger "/disconnect" with the trigger on.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Dormex.h"
#include "frames.h"
#include "heap_counter.h"
#include "hostlink/codec.h"
#include "hostlink/requests.h"
#include "posix_stand_in.h"
#include "session/plugin_session.h"

namespace {

using frames::Bytes;

std::string scratchDir;  // ends in '/'
std::string settingsPath;
uint32_t hostToken;
Bytes onlineReply;

uint64_t hostCalls = 0;

// A host that only counts its calls and reports itself on-line.
const uint8_t* DORMEX_STDCALL idleHost(const uint8_t*) {
    ++hostCalls;
    return onlineReply.data();
}

bool startPluginHere() {
    const Bytes start = frames::startEvent(hostToken, scratchDir);
    return pluginFun(start.data()) != nullptr;
}

void waitForThreads(int count) {
    while (runningThreads() != count) std::this_thread::yield();
}

bool setUp() {
    char name[] = "/tmp/dormex-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) return false;
    scratchDir = std::string(name) + "/";
    settingsPath = scratchDir + "dormex.ini";
    onlineReply = frames::stateReply(2);
    hostToken = addressOfCallback(idleHost);
    setFakeClock(3, 3);  // matches neither default time: the watch thread only sleeps
    if (!startPluginHere() || !startPluginHere()) return false;
    return moduleState.session.settings.triggerEnabled;
}

void tearDown() {
    const Bytes stop = frames::stopEvent();
    pluginFun(stop.data());
    waitForThreads(0);
    unlink(settingsPath.c_str());
    rmdir(scratchDir.c_str());
}

// Heap allocations per iteration, as a counter beside the time.
class HeapCount {
   public:
    HeapCount() : before_(heapAllocations()) {}
    void report(benchmark::State& state) const {
        state.counters["allocs"] = benchmark::Counter(static_cast<double>(heapAllocations() - before_),
                                                      benchmark::Counter::kAvgIterations);
    }

   private:
    uint64_t before_;
};

const char MATCHING_TEXT[] = "/disconnect";
const char OTHER_TEXT[] = "/disconnecT";  // same length, last byte differs: a full compare

// The host reaches pluginFun through an exported address, never inlined.
const uint8_t* (*volatile hostEntry)(const uint8_t*) = pluginFun;

// A run whose text should (or should not) send one disconnect per event
// fails, and so leaves its figure out, when the host saw otherwise.
void expectHostCalls(benchmark::State& state, uint64_t before, bool onePerEvent) {
    const uint64_t expected = onePerEvent ? state.iterations() : 0;
    if (hostCalls - before != expected) state.SkipWithError("the host saw a different number of disconnects");
}

// pluginFun on a text event, through an address as the host calls it: frame
// checks, the trigger compare and, on a match, the disconnect request.
void textEvent(benchmark::State& state, const char* text) {
    const Bytes frame = frames::textEvent(text);
    const bool match = strcmp(text, MATCHING_TEXT) == 0;
    const uint64_t callsBefore = hostCalls;
    const HeapCount heap;
    for (auto _ : state) {
        const uint8_t* data = frame.data();
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(hostEntry(data));
    }
    heap.report(state);
    expectHostCalls(state, callsBefore, match);
    state.SetLabel("goal: <= 2x baseline, 0 allocs");
}

// The host's callback, reached through an address as the plug-in reaches it.
const uint8_t*(DORMEX_STDCALL* volatile hostCallback)(const uint8_t*) = idleHost;
const uint8_t DISCONNECT_FRAME[] = {2, 0, 0, 0, 5, 10};

// The least any text event must do: the length check, the compare and, on a
// match, handing the framed disconnect to the same host.
void textBaseline(benchmark::State& state, const char* text) {
    const Bytes frame = frames::textEvent(text);
    const TriggerText& trigger = moduleState.session.settings.triggerText;
    const uint64_t callsBefore = hostCalls;
    for (auto _ : state) {
        const uint8_t* data = frame.data();
        benchmark::DoNotOptimize(data);
        const uint32_t size = static_cast<uint32_t>(readInt32At(data, 22));
        if (size == trigger.size && memcmp(data + 26, trigger.bytes, size) == 0) {
            benchmark::DoNotOptimize(hostCallback(DISCONNECT_FRAME));
        }
    }
    expectHostCalls(state, callsBefore, strcmp(text, MATCHING_TEXT) == 0);
}

// One disconnect request framed and handed to the host.
void requestToHost(benchmark::State& state) {
    const HeapCount heap;
    for (auto _ : state) requestDisconnect(moduleState.session.host);
    heap.report(state);
    state.SetLabel("goal: 0 allocs");
}

void loadDefaultFile(benchmark::State& state) {
    Settings loaded = {};
    const HeapCount heap;  // not a goal; shows that the count sees the loader's buffers
    for (auto _ : state) benchmark::DoNotOptimize(loadSettingsFile(settingsPath.c_str(), &loaded));
    heap.report(state);
    setTriggerText(&loaded.triggerText, nullptr, 0);
}

// What reading the same 86 bytes costs with nothing around it.
void bareRead(benchmark::State& state) {
    char buffer[512];
    for (auto _ : state) {
        const int fd = open(settingsPath.c_str(), O_RDONLY);
        benchmark::DoNotOptimize(read(fd, buffer, sizeof buffer));
        close(fd);
    }
}

// From the stop to the watch thread's end, over many start/stop cycles, with
// the POSIX stand-in's threads and waits: the scheduler's own stop path, not
// the DLL's Windows thread (the Wine thread tests bound that one).
void stopLatency(benchmark::State& state) {
    std::vector<double> micros;
    for (auto _ : state) {
        startPluginHere();
        waitForThreads(1);
        usleep(200);  // let the new thread reach its sleep
        const auto begin = std::chrono::steady_clock::now();
        stopSession(&moduleState.session);
        waitForThreads(0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        state.SetIterationTime(took.count());
        micros.push_back(took.count() * 1e6);
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["max_us"] = micros.back();
    state.SetLabel("POSIX stand-in; goal: <= 1000 us");
    startPluginHere();  // leave a watch thread running, as before
}

// A host's start event from its call to its answer, on the default file or
// with none there (the default file written, flushed to the disk and moved
// in), each followed by a stop: what a start costs the host's thread.
void startEvent(benchmark::State& state, bool noFile) {
    std::vector<double> micros;
    for (auto _ : state) {
        if (noFile) unlink(settingsPath.c_str());
        const auto begin = std::chrono::steady_clock::now();
        startPluginHere();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        state.SetIterationTime(took.count());
        micros.push_back(took.count() * 1e6);
        stopSession(&moduleState.session);
        waitForThreads(0);
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["max_us"] = micros.back();
    startPluginHere();  // the default file is there: a watch thread runs, as before
}

void registerAll() {
    benchmark::RegisterBenchmark("text_event/no_match", textEvent, OTHER_TEXT);
    benchmark::RegisterBenchmark("text_baseline/no_match", textBaseline, OTHER_TEXT);
    benchmark::RegisterBenchmark("text_event/match", textEvent, MATCHING_TEXT);
    benchmark::RegisterBenchmark("text_baseline/match", textBaseline, MATCHING_TEXT);
    benchmark::RegisterBenchmark("request_disconnect", requestToHost);
    benchmark::RegisterBenchmark("load_settings/default_file", loadDefaultFile);
    benchmark::RegisterBenchmark("bare_read/default_file", bareRead);
    benchmark::RegisterBenchmark("stop_latency", stopLatency)
        ->Iterations(300)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("start/valid_file", startEvent, false)
        ->Iterations(200)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("start/no_file", startEvent, true)
        ->Iterations(50)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

// --- The goals, after the table ---------------------------------------------

struct Figure {
    double nanoseconds;
    std::map<std::string, double> counters;
};

// The console table, plus each run's figures kept for the goals.
class GoalReporter : public benchmark::ConsoleReporter {
   public:
    // Plain, with counters inline, so that every run shares one header.
    GoalReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            Figure& figure = figures_[run.run_name.function_name];
            figure.nanoseconds =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            for (const auto& counter : run.counters) figure.counters[counter.first] = counter.second.value;
        }
    }

    // Prints each goal's figure; false when one is missing.
    bool printGoals() {
        printf("\n%-44s %-22s %s\n", "Figure", "Goal", "");
        ratio("text event, no match / its baseline", "text_event/no_match", "text_baseline/no_match");
        ratio("text event, match / its baseline", "text_event/match", "text_baseline/match");
        atMost("heap allocations per text event (no match)", value("text_event/no_match", "allocs"), 0, "0");
        atMost("heap allocations per text event (match)", value("text_event/match", "allocs"), 0, "0");
        atMost("heap allocations per request", value("request_disconnect", "allocs"), 0, "0");
        atMost("stop latency, POSIX stand-in, median (us)", value("stop_latency", "median_us"), 1000,
               "<= 1000");
        atMost("stop latency, POSIX stand-in, max (us)", value("stop_latency", "max_us"), 1000, "<= 1000");
        ratio("load_settings / bare read of the same file", "load_settings/default_file",
              "bare_read/default_file", false);
        reference("start on a valid file, median (us)", value("start/valid_file", "median_us"));
        reference("start with no file, median (us)", value("start/no_file", "median_us"));
        reference("start with no file, max (us)", value("start/no_file", "max_us"));
        return complete_;
    }

   private:
    double value(const std::string& name, const std::string& counter) {
        auto figure = figures_.find(name);
        if (figure == figures_.end()) return -1;
        auto found = figure->second.counters.find(counter);
        return found == figure->second.counters.end() ? -1 : found->second;
    }

    void missing(const char* what, const char* goalText) {
        printf("%-44s %-22s %-10s %s\n", what, goalText, "-", "MISSING");
        complete_ = false;
    }

    void atMost(const char* what, double figure, double goal, const char* goalText) {
        if (figure < 0) return missing(what, goalText);
        printf("%-44s %-22s %-10.4g %s\n", what, goalText, figure, figure <= goal ? "met" : "MISSED");
    }

    // A figure to watch, with no goal: a change that slows the host's start shows here.
    void reference(const char* what, double figure) {
        if (figure < 0) return missing(what, "(for reference)");
        printf("%-44s %-22s %-10.4g\n", what, "(for reference)", figure);
    }

    void ratio(const char* what, const std::string& name, const std::string& baseline, bool isGoal = true) {
        if (figures_.count(name) == 0 || figures_.count(baseline) == 0) {
            return missing(what, isGoal ? "<= 2x" : "(for reference)");
        }
        const double times = figures_[name].nanoseconds / figures_[baseline].nanoseconds;
        char figure[32];
        snprintf(figure, sizeof figure, "%.3gx", times);
        const char* verdict = !isGoal ? "" : times <= 2 ? "met" : "MISSED";
        printf("%-44s %-22s %-10s %s\n", what, isGoal ? "<= 2x" : "(for reference)", figure, verdict);
    }

    std::map<std::string, Figure> figures_;
    bool complete_ = true;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!setUp()) {
        fprintf(stderr, "dormex_bench: could not start the plug-in in a scratch directory\n");
        return 1;
    }
    registerAll();
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool complete = reporter.printGoals();
    tearDown();
    benchmark::Shutdown();
    fflush(stdout);
    if (!complete) fprintf(stderr, "dormex_bench: a figure is MISSING (its run failed or was not run)\n");
    return complete ? 0 : 1;
}
