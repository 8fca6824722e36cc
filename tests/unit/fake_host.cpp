#include "fake_host.h"

#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "Dormex.h"
#include "hostlink/codec.h"
#include "posix_stand_in.h"
#include "scheduler/scheduler.h"
#include "settings/settings.h"

namespace fakehost {
namespace {

// Longest frame the host accepts from a plug-in; anything longer is recorded
// by its length field alone, so a bad length can't make us read far.
constexpr int32_t MAX_PAYLOAD = 64;

std::mutex lock;
std::condition_variable changed;
std::vector<Received> frames_;
int32_t state = 2;
bool nullReply = false;
bool holding = false;
int entries = 0;

const uint8_t* DORMEX_STDCALL callback(const uint8_t* framed) {
    const int32_t size = readInt32At(framed, 0);
    const size_t recorded = 4 + (size >= 0 && size <= MAX_PAYLOAD ? size : 0);
    // Each calling thread gets its own reply, readable until its next call.
    thread_local frames::StateReply reply;
    std::unique_lock<std::mutex> guard(lock);
    frames_.push_back(Received{frames::Bytes(framed, framed + recorded), std::this_thread::get_id()});
    ++entries;
    changed.notify_all();
    changed.wait(guard, [] { return !holding; });
    if (nullReply || size != 2 || framed[4] != 1) return nullptr;
    return frames::putStateReply(reply, state);
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> guard(lock);
    frames_.clear();
    state = 2;
    nullReply = false;
    holding = false;
    entries = 0;
    changed.notify_all();
}

uint32_t address() { return addressOfCallback(callback); }

void connect(HostLink* link) { link->callback.store(callback); }

void setState(int32_t value) {
    std::lock_guard<std::mutex> guard(lock);
    state = value;
}

void setNullReply(bool null) {
    std::lock_guard<std::mutex> guard(lock);
    nullReply = null;
}

std::vector<Received> received() {
    std::lock_guard<std::mutex> guard(lock);
    return frames_;
}

std::vector<frames::Bytes> receivedBytes() {
    std::vector<frames::Bytes> out;
    for (const Received& frame : received()) out.push_back(frame.bytes);
    return out;
}

void holdCalls() {
    std::lock_guard<std::mutex> guard(lock);
    holding = true;
}

void release() {
    std::lock_guard<std::mutex> guard(lock);
    holding = false;
    changed.notify_all();
}

bool waitForEntries(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, [count] { return entries >= count; });
}

}  // namespace fakehost

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dormex-unit-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool fileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const uint8_t* callPlugin(const frames::Bytes& frame) { return pluginFun(frame.data()); }

namespace {

void resetModuleSettings() {
    releaseModuleState();
    moduleState.session.settings = Settings{};
    moduleState.session.leftovers = Leftovers{};
}

}  // namespace

void ModuleTest::SetUp() {
    fakehost::reset();
    clearDesktopRecord();
    setErrorBoxLoop(nullptr);
    resetModuleSettings();
    setFakeClock(3, 33);
    capWaits(0);
}

void ModuleTest::TearDown() {
    stopSession(&moduleState.session);
    fakehost::release();
    EXPECT_TRUE(waitUntil([] { return runningThreads() == 0; })) << "a watch thread outlived its stop";
    moduleState.session.host.callback.store(nullptr);
    resetModuleSettings();
    useRealClock();
    capWaits(0);
}
