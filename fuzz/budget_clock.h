// Virtual time with a budget, for the fuzz targets: time moves only when
// somebody waits (as with vexu::VirtualClock), and a wait that carries the
// clock past the deadline ends the process with a report, which the fuzzer
// records as a failure together with the input that caused it. Single
// thread only: the targets run box, board and engine on the fuzzer's thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"

namespace vexu::fuzz {

class BudgetClock final : public Clock {
public:
    void SleepMs(uint32_t ms) override { Advance(uint64_t{ms} * 1000); }
    void BusyWaitUs(uint64_t us) override { Advance(us); }
    uint64_t NowUs() override { return nowUs_; }
    int64_t CalendarSeconds() override { return kCalendarStart + static_cast<int64_t>(nowUs_ / 1'000'000); }

    // From now on a wait may take the clock at most budgetUs further; what
    // names the work in the report.
    void StartBudget(uint64_t budgetUs, std::string what) {
        deadlineUs_ = budgetUs > UINT64_MAX - nowUs_ ? UINT64_MAX : nowUs_ + budgetUs;
        startUs_ = nowUs_;
        what_ = std::move(what);
    }
    void EndBudget() { deadlineUs_ = UINT64_MAX; }
    uint64_t SinceStartUs() const { return nowUs_ - startUs_; }

private:
    static constexpr int64_t kCalendarStart = 1'767'225'600;

    void Advance(uint64_t us) {
        nowUs_ += us;
        if (nowUs_ <= deadlineUs_) return;
        fprintf(stderr, "\nHANG: %s took more than %.3f s of virtual time (its budget)\n", what_.c_str(),
                static_cast<double>(deadlineUs_ - startUs_) / 1e6);
        abort();
    }

    uint64_t nowUs_ = 1'000'000;
    uint64_t startUs_ = nowUs_;
    uint64_t deadlineUs_ = UINT64_MAX;
    std::string what_;
};

}  // namespace vexu::fuzz
