// A device behind the simulated box's serial (SPI) port.
#pragma once

#include <cstdint>

namespace vexu::sim {

class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    // Chip select goes low: a new instruction begins.
    virtual void Select() = 0;
    // One byte out on MOSI, one byte back on MISO.
    virtual uint8_t Transfer(uint8_t mosi) = 0;
    // Chip select goes high: the instruction ends (and may start an
    // internal program or erase cycle).
    virtual void Deselect() = 0;
};

}  // namespace vexu::sim
