// A simulated FPGA with a scanner in front of it and virtual time, built
// from scenario keys.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "fpga_scans.h"
#include "platform/clock.h"
#include "sim/fpga_model.h"
#include "sim/scenario.h"

namespace vexu::sim::test {

using Keys = std::map<std::string, std::string>;

// "key=value,..." with a bare key for an empty value.
inline std::string ScenarioText(const Keys& keys) {
    std::string text;
    for (const auto& [key, value] : keys) {
        text += (text.empty() ? "" : ",") + key + (value.empty() ? "" : "=" + value);
    }
    return text;
}

inline FpgaScenario ScenarioFrom(const Keys& keys) {
    FpgaScenario scenario;
    Scenario parsed;
    std::string error;
    EXPECT_TRUE(Scenario::Parse(ScenarioText(keys), parsed, error)) << error;
    EXPECT_TRUE(TakeFpgaScenario(parsed, scenario, error)) << error;
    EXPECT_EQ(parsed.LeftoverError(), "");
    return scenario;
}

// How the scans reach the device: straight into it, or through
// CDevManage, CHidDevice and the simulated box.
enum class Transport { Direct, Box };

inline const char* TransportName(Transport t) { return t == Transport::Direct ? "Direct" : "Box"; }

class Bench {
public:
    virtual ~Bench() = default;
    virtual FpgaModel& fpga() = 0;
    virtual Scanner& scan() = 0;
    // Protocol violations the box counted (none on the direct transport).
    virtual uint64_t BoxViolations() { return 0; }
};

// Needs a virtual clock installed; at most one bench at a time (the device
// manager is one per process).
std::unique_ptr<Bench> MakeBench(Transport transport, const Keys& keys = {});

// Plain row pattern that differs from row to row and from blank.
inline Bytes RowPattern(const FpgaModel& fpga, uint32_t seed) {
    Bytes row(fpga.RowBytes());
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(seed * 37 + i * 11 + 1);
    return row;
}

inline Bytes Blank(size_t count) { return Bytes(count, 0xFF); }

}  // namespace vexu::sim::test
