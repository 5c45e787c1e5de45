#include "fpga_bench.h"

#include <cstdlib>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/messages.h"
#include "sim/simulator.h"

namespace vexu::sim::test {
namespace {

class DirectBench final : public Bench {
public:
    explicit DirectBench(const Keys& keys) : fpga_(ScenarioFrom(keys)), scanner_(fpga_) {}
    FpgaModel& fpga() override { return fpga_; }
    Scanner& scan() override { return scanner_; }

private:
    FpgaModel fpga_;
    DirectScanner scanner_;
};

// The whole simulator from the same keys, with no USB time so that the
// device sees the same virtual times as on the direct transport.
class BoxBench final : public Bench {
public:
    explicit BoxBench(const Keys& keys) {
        std::string error;
        backend_ = MakeSimulator(ScenarioText(keys) + (keys.empty() ? "" : ",") + "latency-us=0", error);
        if (!backend_) {
            ADD_FAILURE() << error;
            return;
        }
        fpga_ = dynamic_cast<FpgaModel*>(backend_->Box().Jtag());
        CDevManage::SetBackend(backend_.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window_);
        EXPECT_EQ(CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr), 1);
    }
    ~BoxBench() override {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }
    FpgaModel& fpga() override {
        if (!fpga_) {
            ADD_FAILURE() << "the simulated box has no FPGA behind its JTAG port";
            std::abort();
        }
        return *fpga_;
    }
    Scanner& scan() override { return scanner_; }
    uint64_t BoxViolations() override {
        return backend_ ? backend_->Inspect([](SimBox& box) { return box.Counters().violations; }) : 0;
    }

private:
    std::unique_ptr<SimBackend> backend_;
    FpgaModel* fpga_ = nullptr;
    RecordingTarget window_;
    BoxScanner scanner_;
};

}  // namespace

std::unique_ptr<Bench> MakeBench(Transport transport, const Keys& keys) {
    if (transport == Transport::Direct) return std::make_unique<DirectBench>(keys);
    return std::make_unique<BoxBench>(keys);
}

}  // namespace vexu::sim::test
