// A busy operation that ends at a given poll instead of after its time:
// one operation of its kind that the host polls (the first, or the K-th)
// answers "busy" to the first N - 1 reads of the register the poll reads and
// "ready" to the N-th, however long it takes. The others take their time as
// usual. Test
// scenarios use it to pin the try limit of each poll of the host: ready on
// exactly the last try must pass, one try later must fail.
#pragma once

#include <cstdint>

namespace vexu::sim {

class CountedWait {
public:
    enum class Answer { kNotCounted, kBusy, kReady };

    // 0 switches counting off.
    void SetReadyPoll(uint32_t readyPoll) { readyPoll_ = readyPoll; }
    // Which polled operation of the kind is counted, from 1.
    void SetCountedOperation(uint32_t operation) { countedOperation_ = operation; }

    // An operation of the kind starts: if the next read of the register is
    // a poll for it, it is the counted one.
    void Started() {
        if (readyPoll_ != 0 && !used_) candidate_ = true;
    }
    // An operation of another kind whose poll reads the same register
    // started: the next read is not a poll for this kind.
    void Cancel() { candidate_ = false; }

    // One read of the polled register.
    Answer Read() {
        if (candidate_) {
            candidate_ = false;
            if (++polledOperations_ == countedOperation_) {
                used_ = armed_ = true;
                reads_ = 0;
            }
        }
        if (!armed_) return Answer::kNotCounted;
        if (++reads_ < readyPoll_) return Answer::kBusy;
        armed_ = false;
        return Answer::kReady;
    }

    // True while the counted operation is in progress.
    bool Armed() const { return armed_; }
    // Reads of the counted operation so far; once Armed() is false again,
    // it was ready at the last of them.
    uint32_t Reads() const { return reads_; }

private:
    uint32_t readyPoll_ = 0;
    uint32_t countedOperation_ = 1;
    uint32_t polledOperations_ = 0;
    bool candidate_ = false;
    bool used_ = false;
    bool armed_ = false;
    uint32_t reads_ = 0;
};

}  // namespace vexu::sim
