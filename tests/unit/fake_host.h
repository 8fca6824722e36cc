// A stand-in for the host on the far side of the callback, and the small
// helpers every native test shares: a fresh module state per test, temporary
// settings directories and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "hostlink/requests.h"

namespace fakehost {

struct Received {
    frames::Bytes bytes;  // the frame as announced: 4 + its payload length
    std::thread::id thread;
};

// Forgets every frame, answers queries with state 2 and stops holding calls.
void reset();
// The 32-bit address to put in a start event for this host.
uint32_t address();
// Makes `link` send to this host.
void connect(HostLink* link);
void setState(int32_t state);
// Answers queries with a null reply instead of a framed one.
void setNullReply(bool null);
std::vector<Received> received();
// Only the frames, in the order they arrived.
std::vector<frames::Bytes> receivedBytes();

// From now on every call blocks inside the callback until release().
void holdCalls();
void release();
// True once `count` calls have entered the callback, within `timeout`.
bool waitForEntries(int count, std::chrono::milliseconds timeout);

}  // namespace fakehost

// Polls `done` until it holds or `timeout` passes; its last answer.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// A directory of its own under the system's temporary directory, removed at
// the end. `path()` ends in "/".
class TempDir {
   public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

bool fileExists(const std::string& path);
std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& bytes);

// Calls the entry point with a built frame.
const uint8_t* callPlugin(const frames::Bytes& frame);

// Every test that reaches module state starts from a loaded-but-never-started
// module: no thread, no callback, zero settings, an empty desktop record, a
// fake clock that matches no default time and uncapped waits.
class ModuleTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;
};
