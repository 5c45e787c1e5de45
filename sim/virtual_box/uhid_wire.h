// The uhid character device's wire: the events a program that is a HID
// device writes to /dev/uhid (create, destroy, answers to report requests)
// and those it reads back (start, open, report requests). Encoding only;
// who reads and writes the descriptor is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexu::sim::uhid {

// One event as the device node takes it: the kernel's packed event record.
using Event = std::vector<uint8_t>;

struct DeviceIdentity {
    std::string name;      // product string
    std::string location;  // "phys": where the device sits
    std::string serial;    // "uniq"
    uint16_t bus = 0x03;   // USB
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint32_t version = 0x0100;
    std::vector<uint8_t> reportDescriptor;
};

Event Create(const DeviceIdentity& identity);
Event Destroy();
// The answer to a GET_REPORT request: the report's bytes (its id first), or
// an error number (errno value) and no bytes.
Event GetReportReply(uint32_t requestId, uint16_t error, std::span<const uint8_t> report);
Event SetReportReply(uint32_t requestId, uint16_t error);

// What the kernel asks of the device.
struct Request {
    enum class Kind { kStart, kStop, kOpen, kClose, kOutput, kGetReport, kSetReport, kOther };
    Kind kind = Kind::kOther;
    uint32_t id = 0;            // request id to answer with (report requests)
    uint8_t reportNumber = 0;
    bool feature = false;       // a feature report (the only kind the box has)
    std::vector<uint8_t> data;  // SET_REPORT: the report, its id first
    uint64_t deviceFlags = 0;   // START
};

// Decodes one event as read from the node; false when it is too short for
// its kind.
bool Decode(std::span<const uint8_t> bytes, Request& request);

// The kernel's side, for tests that stand in for it: requests as the kernel
// would write them, and the device's events decoded.
Event GetReportRequest(uint32_t requestId, uint8_t reportNumber);
Event SetReportRequest(uint32_t requestId, std::span<const uint8_t> report);
Event StartRequest(uint64_t deviceFlags);
struct DeviceEvent {
    enum class Kind { kCreate, kDestroy, kGetReportReply, kSetReportReply, kOther };
    Kind kind = Kind::kOther;
    uint32_t id = 0;
    uint16_t error = 0;
    std::vector<uint8_t> data;  // GET_REPORT_REPLY bytes
    DeviceIdentity identity;    // CREATE
};
bool DecodeDeviceEvent(std::span<const uint8_t> bytes, DeviceEvent& event);

// The size of the largest event, for read buffers.
size_t MaxEventSize();

}  // namespace vexu::sim::uhid
