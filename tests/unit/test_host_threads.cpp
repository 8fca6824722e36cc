// A host that calls from several threads at once: starts, stops, settings and
// text events racing one another, an error box up on one thread while others
// go on, and what a stop leaves for the events after it. Run under
// ThreadSanitizer and AddressSanitizer too.
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "Dormex.h"
#include "fake_host.h"
#include "posix_stand_in.h"

using frames::Bytes;

namespace {

class HostThreads : public ModuleTest {
   protected:
    // A folder whose dormex.ini has the schedule off and `trigger` as its trigger.
    std::string folderWithTrigger(TempDir* folder, const std::string& trigger) {
        writeWholeFile(folder->path() + "dormex.ini", "-\n-\n-\n-\nDisconnectStr=" + trigger + "\n");
        return folder->path();
    }
    static Bytes startIn(const std::string& folder) {
        return frames::startEvent(fakehost::address(), folder);
    }
    static void expectNoWatchThreadLeft() {
        EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; }))
            << runningThreads() << " watch threads left";
    }

    TempDir dir, other;
};

// Each thread plays its own mix of events; whatever the interleaving, the
// last stop leaves no watch thread (a lost one would run on after unload).
TEST_F(HostThreads, RacingEventsLeaveNoWatchThreadAfterTheLastStop) {
    const Bytes events[] = {startIn(folderWithTrigger(&dir, "/x")), startIn(folderWithTrigger(&other, "/yy")),
                            frames::stopEvent(), frames::settingsEvent(), frames::textEvent("/x")};
    constexpr int THREADS = 4, ROUNDS = 100;
    std::vector<std::thread> hosts;
    for (int t = 0; t < THREADS; ++t) {
        hosts.emplace_back([&events, t] {
            for (int round = 0; round < ROUNDS; ++round) callPlugin(events[(round * (t + 1) + t) % 5]);
        });
    }
    for (std::thread& host : hosts) host.join();
    callPlugin(frames::stopEvent());
    expectNoWatchThreadLeft();
    for (const fakehost::Received& frame : fakehost::received())
        EXPECT_EQ(frame.bytes, frames::disconnectFrame());
}

// Restarts swap triggers of 1 and 3,000 bytes under a thread that keeps
// sending texts: it compares only whole triggers, never freed ones, and a
// text that matches neither never disconnects.
TEST_F(HostThreads, TextEventsWhileAnotherThreadRestarts) {
    const std::string shortTrigger = "a", longTrigger(3000, 'b');
    const Bytes starts[] = {startIn(folderWithTrigger(&dir, shortTrigger)),
                            startIn(folderWithTrigger(&other, longTrigger))};
    std::atomic<bool> restarting{true};
    std::thread restarter([&] {
        for (int round = 0; round < 300; ++round) callPlugin(starts[round % 2]);
        restarting.store(false);
    });
    const Bytes texts[] = {frames::textEvent(shortTrigger), frames::textEvent(longTrigger),
                           frames::textEvent(std::string(3000, 'a')), frames::textEvent("b")};
    size_t sent = 0;
    for (; restarting.load(); ++sent) callPlugin(texts[sent % 4]);
    restarter.join();
    const size_t matchingBefore = fakehost::received().size();
    EXPECT_LE(matchingBefore, (sent + 1) / 2) << "a text that is no trigger disconnected";
    fakehost::reset();
    callPlugin(texts[1]);  // the last start armed the long one
    callPlugin(texts[2]);
    EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>{frames::disconnectFrame()});
}

// Runs `action` on a thread of its own; whether it came back within two seconds.
bool returnsPromptly(const std::function<void()>& action) {
    std::future<void> done = std::async(std::launch::async, action);
    return done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
}

std::atomic<bool> boxOpen{false};

// The error box of one host thread stays up while another stops and starts:
// neither waits for it, and the newest start keeps the one watch thread.
TEST_F(HostThreads, NoStartOrStopWaitsForAnotherThreadsErrorBox) {
    boxOpen.store(true);
    setErrorBoxLoop([] {
        while (boxOpen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::thread boxed([this] { EXPECT_NE(callPlugin(startIn(dir.path() + "absent/")), nullptr); });
    ASSERT_TRUE(waitUntil([] { return desktopRecord().errorBoxes == 1; }));
    const Bytes valid = startIn(folderWithTrigger(&other, "/x"));
    EXPECT_TRUE(returnsPromptly([] { callPlugin(frames::stopEvent()); })) << "a stop waited for the box";
    EXPECT_TRUE(returnsPromptly([&valid] { callPlugin(valid); })) << "a start waited for the box";
    boxOpen.store(false);
    boxed.join();
    EXPECT_TRUE(waitUntil([] { return runningThreads() == 1; })) << runningThreads();
    callPlugin(frames::stopEvent());
    expectNoWatchThreadLeft();
}

// From a stop to the next start nothing reaches the host: the stop forgets
// its callback and the trigger. The settings event still opens the last
// start's file, and the next start arms everything again.
TEST_F(HostThreads, AfterAStopNothingReachesTheHostUntilTheNextStart) {
    const Bytes start = startIn(folderWithTrigger(&dir, "/x"));
    callPlugin(start);
    callPlugin(frames::stopEvent());
    EXPECT_EQ(callPlugin(frames::textEvent("/x")), nullptr);
    EXPECT_TRUE(fakehost::received().empty()) << "a text after the stop reached the host";
    EXPECT_EQ(moduleState.session.host.callback.load(), nullptr);
    callPlugin(frames::settingsEvent());
    EXPECT_EQ(desktopRecord().lastParameters, '"' + dir.path() + "dormex.ini\"");
    callPlugin(start);
    callPlugin(frames::textEvent("/x"));
    EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>{frames::disconnectFrame()});
}

}  // namespace
