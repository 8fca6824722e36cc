// The watch pass, the trigger text, and the watch thread's start and stop,
// driven by the fake clock and a host callback that can be held.
#include <future>

#include "Dormex.h"
#include "fake_host.h"
#include "posix_stand_in.h"
#include "session/plugin_session.h"

using frames::Bytes;

namespace {

const Bytes& Q = frames::queryFrame();
const Bytes& C = frames::connectFrame();
const Bytes& D = frames::disconnectFrame();

class Scheduler : public ModuleTest {
   protected:
    const uint8_t* start() { return callPlugin(frames::startEvent(fakehost::address(), dir.path())); }
    void startWithFile(const std::string& content) {
        writeWholeFile(dir.path() + "dormex.ini", content);
        ASSERT_NE(start(), nullptr);
    }

    TempDir dir;
};

TEST_F(Scheduler, OnePassAsksThenActs) {
    const struct {
        const char* settingsText;
        LocalClock now;
        int32_t state;
        std::vector<Bytes> sent;
    } cases[] = {
        {"10\n20\n10\n20\n", {10, 20}, 1, {Q, Q, C}},
        {"10\n20\n10\n20\n", {10, 20}, 2, {Q, D, Q}},
        {"10\n20\n10\n20\n", {10, 20}, 0, {Q, D, Q, C}},
        {"10\n20\n10\n20\n", {10, 20}, 7, {Q, D, Q, C}},
        {"10\n20\n10\n21\n", {10, 20}, 2, {Q, D}},
        {"10\n20\n10\n21\n", {10, 21}, 0, {Q, C}},
        {"10\n-\n10\n20\n", {10, 20}, 0, {Q, C}},  // a pair off by its minute line
        {"10\n20\n10\n\n", {10, 20}, 0, {Q, D}},
        {"10\n20\n10\n20\n", {10, 19}, 0, {}},
        {"10\n20\n10\n20\n", {11, 20}, 0, {}},
        {"10\n20\n10\n20\n", {22, 10}, 0, {}},  // hour and minute swapped
    };
    HostLink link{};
    fakehost::connect(&link);
    const std::atomic<bool> running{false};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.settingsText) + " at " + std::to_string(c.now.hour) + ":" +
                     std::to_string(c.now.minute) + " state " + std::to_string(c.state));
        Settings s = {};
        parseSettingsText(reinterpret_cast<const uint8_t*>(c.settingsText), strlen(c.settingsText), &s);
        fakehost::reset();
        fakehost::setState(c.state);
        runWatchPass(scheduleFromSettings(s), c.now, link, running);
        EXPECT_EQ(fakehost::receivedBytes(), c.sent);
        setTriggerText(&s.triggerText, nullptr, 0);
    }
    const std::atomic<bool> stopped{true};
    runWatchPass(Schedule{true, 10, 20, true, 10, 20}, LocalClock{10, 20}, link, stopped);
    EXPECT_TRUE(fakehost::received().empty()) << "a stopped pass sends nothing";
}

TEST_F(Scheduler, TriggerNeedsTheExactText) {
    startWithFile(DEFAULT_SETTINGS_FILE);
    const struct {
        std::string text;
        bool disconnects;
    } cases[] = {
        {"/disconnect", true},
        {"/Disconnect", false},
        {"/disconnect ", false},
        {" /disconnect", false},
        {"/disconnect\r\n", false},
        {"/disconnec", false},
        {"say /disconnect now", false},
        {"", false},
        {std::string("/disconnect\0", 12), false},
    };
    for (const auto& c : cases) {
        fakehost::reset();
        EXPECT_EQ(callPlugin(frames::textEvent(c.text)), nullptr);
        const std::vector<fakehost::Received> got = fakehost::received();
        ASSERT_EQ(got.size(), c.disconnects ? 1u : 0u) << "\"" << c.text << "\"";
        if (!c.disconnects) continue;
        EXPECT_EQ(got[0].bytes, D) << "no query before the command";
        EXPECT_EQ(got[0].thread, std::this_thread::get_id()) << "sent from the host's calling thread";
    }
}

// Short triggers are compared in whole words: a text that differs from the
// trigger in any one byte, at any length, never fires.
TEST_F(Scheduler, TriggerOfAnyLengthNeedsEveryByte) {
    for (size_t length = 1; length <= 20; ++length) {
        std::string trigger;
        for (size_t i = 0; i < length; ++i) trigger += static_cast<char>('a' + i);
        startWithFile("-\n-\n-\n-\nt=" + trigger);
        fakehost::reset();
        callPlugin(frames::textEvent(trigger));
        EXPECT_EQ(fakehost::received().size(), 1u) << trigger;
        for (size_t at = 0; at < length; ++at) {
            std::string other = trigger;
            other[at] = '?';
            fakehost::reset();
            callPlugin(frames::textEvent(other));
            EXPECT_TRUE(fakehost::received().empty()) << other;
        }
    }
}

// Notepad saves UTF-8; a host built for code page 1251 sends the same word in
// 1251. Either spelling fires, as long as the word converts exactly.
TEST_F(Scheduler, TriggerSavedAsUtf8AlsoFiresInTheAnsiCodePage) {
    const std::string sleepUtf8 = "спать", sleep1251 = "\xF1\xEF\xE0\xF2\xFC";
    const std::string offThenTrigger = "-\n-\n-\n-\nt=";
    const struct {
        std::string file;
        std::string text;
        bool disconnects;
    } cases[] = {
        {offThenTrigger + sleepUtf8, sleepUtf8, true},
        {offThenTrigger + sleepUtf8, sleep1251, true},
        {offThenTrigger + sleepUtf8, "\xD1\xEF\xE0\xF2\xFC", false},     // "Спать": case still counts
        {"\xEF\xBB\xBF" + offThenTrigger + sleepUtf8, sleep1251, true},  // "UTF-8 with BOM"
        {offThenTrigger + sleep1251, sleep1251, true},                   // saved as ANSI: its own bytes only
        {offThenTrigger + sleep1251, sleepUtf8, false},
        {offThenTrigger + "日本", "日本", true},  // no such letters in 1251: its own bytes only
        {offThenTrigger + "日本", "??", false},
        {offThenTrigger + "sp\xC3", "sp\xC3", true},  // not UTF-8: its own bytes only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " / " + c.text);
        startWithFile(c.file);
        fakehost::reset();
        callPlugin(frames::textEvent(c.text));
        EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>(c.disconnects ? 1 : 0, D));
    }
}

// Lines 1 and 2 set 10:20 before line 3 fails the load: the start puts the
// default 17:15 in their place before its watch thread reads the schedule.
TEST_F(Scheduler, AfterAFailedLoadTheThreadRunsTheDefaultTimes) {
    const struct {
        LocalClock now;
        std::vector<Bytes> sent;
    } cases[] = {{{17, 15}, {Q, D}}, {{10, 20}, {}}};
    capWaits(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.now.hour) + ":" + std::to_string(c.now.minute));
        setFakeClock(c.now.hour, c.now.minute);
        fakehost::reset();
        startWithFile("10\n20\nx\n");
        // Passes every millisecond: a few dozen have run by now.
        fakehost::waitForEntries(2, std::chrono::milliseconds(c.sent.empty() ? 50 : 2000));
        callPlugin(frames::stopEvent());
        ASSERT_TRUE(waitUntil([] { return runningThreads() == 0; }));
        const std::vector<Bytes> got = fakehost::receivedBytes();
        EXPECT_EQ(std::vector<Bytes>(got.begin(), got.begin() + std::min<size_t>(got.size(), 2)), c.sent);
    }
}

TEST_F(Scheduler, StopBeforeAnyStartIsHarmless) {
    stopSession(&moduleState.session);
    EXPECT_EQ(callPlugin(frames::stopEvent()), nullptr);
    EXPECT_EQ(runningThreads(), 0);
    EXPECT_TRUE(fakehost::received().empty());
}

// Runs `action` and tells whether it came back within a second; if not, the
// host lets go so the test can end instead of hanging.
bool returnsPromptly(const std::function<void()>& action) {
    std::future<void> done = std::async(std::launch::async, action);
    const bool prompt = done.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    if (!prompt) fakehost::release();
    done.wait();
    return prompt;
}

TEST_F(Scheduler, StopWhileTheHostHoldsTheCallback) {
    const struct {
        const char* settingsText;
        int32_t state;  // one that makes a command follow the query
    } cases[] = {{"3\n33\n-\n-\n-\n", 2}, {"-\n-\n3\n33\n-\n", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settingsText);
        fakehost::reset();
        fakehost::setState(c.state);
        fakehost::holdCalls();
        startWithFile(c.settingsText);
        ASSERT_TRUE(fakehost::waitForEntries(1, std::chrono::seconds(2)));
        EXPECT_TRUE(returnsPromptly([] { callPlugin(frames::stopEvent()); })) << "stop waited for the host";
        fakehost::release();
        EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; }));
        EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>{Q}) << "nothing follows the held query";
    }
}

TEST_F(Scheduler, RepeatedStartLeavesOneThread) {
    fakehost::setState(2);
    fakehost::holdCalls();
    startWithFile("3\n33\n-\n-\n-\n");
    ASSERT_TRUE(fakehost::waitForEntries(1, std::chrono::seconds(2)));
    // The first thread is still inside the host; a new start must neither wait for it nor share with it.
    EXPECT_TRUE(returnsPromptly([this] { start(); }));
    ASSERT_TRUE(fakehost::waitForEntries(2, std::chrono::seconds(2)));
    fakehost::release();
    EXPECT_TRUE(waitUntil([] { return runningThreads() == 1; }));
    // The two threads overlapped, so their ids differ; later threads may reuse the first one's.
    const std::vector<fakehost::Received> got = fakehost::received();
    size_t fromFirst = 0;
    for (const fakehost::Received& frame : got) fromFirst += frame.thread == got[0].thread;
    EXPECT_EQ(fromFirst, 1u) << "the replaced thread sent nothing after its query";

    for (int i = 0; i < 3; ++i) start();
    EXPECT_TRUE(waitUntil([] { return runningThreads() == 1; }));
    callPlugin(frames::stopEvent());
    EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; }));
}

// The host's thread fires text events while the watch thread polls every
// millisecond; every frame must arrive whole and in its thread's order.
TEST_F(Scheduler, TextEventsWhileTheWatchThreadPolls) {
    capWaits(1);
    fakehost::setState(0);  // each pass: query, disconnect, query, connect
    startWithFile("3\n33\n3\n33\nDisconnectStr=/disconnect\n");
    const std::string texts[] = {"/disconnect", "/Disconnect", "/disconnect ", "x /disconnect", ""};
    size_t matches = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (size_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
        const std::string& text = texts[i % 5];
        callPlugin(frames::textEvent(text));
        matches += text == "/disconnect";
    }
    callPlugin(frames::stopEvent());
    ASSERT_TRUE(waitUntil([] { return runningThreads() == 0; }));

    const Bytes pass[] = {Q, D, Q, C};
    size_t fromHost = 0, fromWatch = 0;
    for (const fakehost::Received& frame : fakehost::received()) {
        if (frame.thread == std::this_thread::get_id()) {
            ASSERT_EQ(frame.bytes, D);
            ++fromHost;
        } else {
            ASSERT_EQ(frame.bytes, pass[fromWatch % 4]) << "frame " << fromWatch << " of the watch thread";
            ++fromWatch;
        }
    }
    EXPECT_EQ(fromHost, matches);
    EXPECT_GE(fromWatch, 8u) << "the watch thread polled repeatedly";
}

}  // namespace
