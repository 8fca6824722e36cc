// A stand-in for the kit's test programs, with the same main: what it runs
// comes from DORMEX_STAND_IN, so the kit's proof can show run-tests.cmd's
// verdict on a program that runs no test ("none") or hangs in one ("hang").
// Otherwise it passes its one test.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

class StandIn : public ::testing::Test {
   public:
    explicit StandIn(bool hangs) : hangs_(hangs) {}
    void TestBody() override {
        if (hangs_) Sleep(INFINITE);
    }

   private:
    bool hangs_;
};

const bool registered = [] {
    const char* mode = getenv("DORMEX_STAND_IN");
    const std::string what = mode != nullptr ? mode : "";
    if (what == "none") return false;
    const bool hangs = what == "hang";
    ::testing::RegisterTest("StandIn", hangs ? "Hangs" : "Passes", nullptr, nullptr, __FILE__, __LINE__,
                            [hangs]() -> StandIn* { return new StandIn(hangs); });
    return true;
}();

}  // namespace
