// The run worker: one press of the start button performs one run on a
// worker thread — the FPGA step with "program", then the serial-flash step —
// and reports to the window only through posted messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "run/eeprom_job.h"
#include "run/run_record.h"

// Times one step of a run in calendar seconds.
class CRunTimer {
public:
    void Start();
    // "HH:MM:SS" since Start.
    std::string ElapsedText();

private:
    int64_t start_ = 0;
    int64_t end_ = 0;
    int32_t seconds_ = 0;
};

// The programmer's port switching around a run; results are ignored.
void EnableJtagPort();
void DisableJtagPort();
void EnableEepromPort();
void DisableEepromPort();

// The two jobs a run performs. The real ones by default; tests and tools may
// put others in their place. The last three feed the run log and may be
// left empty.
struct RunJobs {
    std::function<int(const char* action)> runFpga;
    std::function<std::string()> fpgaError;
    std::function<int()> runEeprom;
    std::function<std::string()> eepromError;
    std::function<std::optional<uint32_t>()> fpgaId;  // the ID code the FPGA step read, if it read one
    std::function<std::string()> eepromChip;    // the chip the serial-flash step found
    std::function<std::optional<RunDesign>()> fpgaDesign;  // what the FPGA step wrote into the user row
    std::function<std::optional<std::string>()> serialNumber;  // the serial the run writes, if it writes one
    // The serial-flash image the step writes, when not the loaded one (a
    // board's own copy with its serial number).
    std::function<const std::vector<uint8_t>&()> eepromImage;
    // What the serial-flash step found beyond the chip's name.
    std::function<EepromFindings()> eepromFindings;
    static RunJobs Real();
};

class CThreadAction {
public:
    CThreadAction();
    explicit CThreadAction(RunJobs jobs);
    ~CThreadAction();
    CThreadAction(const CThreadAction&) = delete;
    CThreadAction& operator=(const CThreadAction&) = delete;

    // Starts one run unless one is in progress (then does nothing).
    void StartAction(int doFpga, int doEeprom, vexu::MessageTarget* window);
    // Waits for a run in progress to end.
    void End();
    bool IsRunning() const { return running_.load() != 0; }
    // A gang station's slot, named in the records of the runs that follow.
    void SetSlot(std::string slot) { slot_ = std::move(slot); }
    const std::string& Slot() const { return slot_; }
    // What the last run did, as the run log holds it. Read it after End.
    const RunRecord& LastRecord() const { return lastRecord_; }
    // Why the last run's record is not in the run log; empty when it is.
    // Read it after End, like the record.
    const std::string& LastRecordError() const { return lastRecordError_; }

    static unsigned ActionThreadProc(CThreadAction* self);

private:
    RunJobs jobs_;
    std::thread thread_;
    std::atomic<int> running_{0};
    vexu::MessageTarget* window_ = nullptr;
    int doFpga_ = 0;
    int doEeprom_ = 0;
    RunRecord lastRecord_;
    std::string slot_;
    std::string lastRecordError_;
};
