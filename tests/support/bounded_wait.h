// Every wait in a test has a limit. A wait that runs out, or whose
// condition can no longer come, fails with a message saying which, instead
// of hanging until the test runner's time-out kills the program without
// one.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace vexu::test {

// Real time a test waits for another thread before it gives up.
constexpr std::chrono::seconds kWaitLimit{60};

// Yields until done() holds or giveUp() does (the condition cannot come
// any more); false when it did not come, after at most limit.
template <typename Done, typename GiveUp>
bool WaitUntil(Done done, GiveUp giveUp, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (giveUp()) return done();
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
}

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = kWaitLimit) {
    return WaitUntil(done, [] { return false; }, limit);
}

// Ends the test program with the reason, where a test cannot go on: a
// thread of the run still works on the test's objects and cannot be
// joined. Better a message now than a silent kill at the time-out.
[[noreturn]] inline void AbandonTest(const std::string& reason) {
    std::fprintf(stderr, "\nFATAL: %s; the test program ends here\n", reason.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace vexu::test
