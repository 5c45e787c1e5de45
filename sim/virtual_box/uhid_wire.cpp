#include "sim/virtual_box/uhid_wire.h"

#include <linux/uhid.h>

#include <algorithm>
#include <cstring>

namespace vexu::sim::uhid {

namespace {

Event Blank(uint32_t type) {
    Event event(sizeof(uhid_event), 0);
    auto* record = reinterpret_cast<uhid_event*>(event.data());
    record->type = type;
    return event;
}

uhid_event& Record(Event& event) { return *reinterpret_cast<uhid_event*>(event.data()); }

// Copies a text into a fixed field, always leaving it terminated.
template <size_t N>
void CopyText(uint8_t (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}

template <size_t N>
std::string ReadText(const uint8_t (&field)[N]) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), N));
}

// The fixed part of an event: its type and the member of its kind.
template <typename Member>
constexpr size_t SizeWith() {
    return offsetof(uhid_event, u) + sizeof(Member);
}

}  // namespace

size_t MaxEventSize() { return sizeof(uhid_event); }

Event Create(const DeviceIdentity& identity) {
    Event event = Blank(UHID_CREATE2);
    uhid_create2_req& create = Record(event).u.create2;
    CopyText(create.name, identity.name);
    CopyText(create.phys, identity.location);
    CopyText(create.uniq, identity.serial);
    const size_t descriptor = std::min(identity.reportDescriptor.size(), sizeof create.rd_data);
    create.rd_size = static_cast<uint16_t>(descriptor);
    std::memcpy(create.rd_data, identity.reportDescriptor.data(), descriptor);
    create.bus = identity.bus;
    create.vendor = identity.vendorId;
    create.product = identity.productId;
    create.version = identity.version;
    create.country = 0;
    return event;
}

Event Destroy() { return Blank(UHID_DESTROY); }

Event GetReportReply(uint32_t requestId, uint16_t error, std::span<const uint8_t> report) {
    Event event = Blank(UHID_GET_REPORT_REPLY);
    uhid_get_report_reply_req& reply = Record(event).u.get_report_reply;
    reply.id = requestId;
    reply.err = error;
    const size_t n = error ? 0 : std::min(report.size(), sizeof reply.data);
    reply.size = static_cast<uint16_t>(n);
    if (n > 0) std::memcpy(reply.data, report.data(), n);  // an error answer may come with no report at all
    return event;
}

Event SetReportReply(uint32_t requestId, uint16_t error) {
    Event event = Blank(UHID_SET_REPORT_REPLY);
    Record(event).u.set_report_reply.id = requestId;
    Record(event).u.set_report_reply.err = error;
    return event;
}

bool Decode(std::span<const uint8_t> bytes, Request& request) {
    request = Request{};
    if (bytes.size() < sizeof(uint32_t)) return false;
    uhid_event record{};
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
    switch (record.type) {
        case UHID_START:
            if (bytes.size() < SizeWith<uhid_start_req>()) return false;
            request.kind = Request::Kind::kStart;
            request.deviceFlags = record.u.start.dev_flags;
            return true;
        case UHID_STOP: request.kind = Request::Kind::kStop; return true;
        case UHID_OPEN: request.kind = Request::Kind::kOpen; return true;
        case UHID_CLOSE: request.kind = Request::Kind::kClose; return true;
        case UHID_OUTPUT: request.kind = Request::Kind::kOutput; return true;
        case UHID_GET_REPORT:
            if (bytes.size() < SizeWith<uhid_get_report_req>()) return false;
            request.kind = Request::Kind::kGetReport;
            request.id = record.u.get_report.id;
            request.reportNumber = record.u.get_report.rnum;
            request.feature = record.u.get_report.rtype == UHID_FEATURE_REPORT;
            return true;
        case UHID_SET_REPORT: {
            // The data field is as long as the request says, at most its size.
            const size_t head = offsetof(uhid_event, u) + offsetof(uhid_set_report_req, data);
            if (bytes.size() < head) return false;
            const uhid_set_report_req& set = record.u.set_report;
            if (set.size > sizeof set.data || bytes.size() < head + set.size) return false;
            request.kind = Request::Kind::kSetReport;
            request.id = set.id;
            request.reportNumber = set.rnum;
            request.feature = set.rtype == UHID_FEATURE_REPORT;
            request.data.assign(set.data, set.data + set.size);
            return true;
        }
        default: request.kind = Request::Kind::kOther; return true;
    }
}

Event GetReportRequest(uint32_t requestId, uint8_t reportNumber) {
    Event event = Blank(UHID_GET_REPORT);
    Record(event).u.get_report.id = requestId;
    Record(event).u.get_report.rnum = reportNumber;
    Record(event).u.get_report.rtype = UHID_FEATURE_REPORT;
    return event;
}

Event SetReportRequest(uint32_t requestId, std::span<const uint8_t> report) {
    Event event = Blank(UHID_SET_REPORT);
    uhid_set_report_req& set = Record(event).u.set_report;
    set.id = requestId;
    set.rnum = report.empty() ? 0 : report[0];
    set.rtype = UHID_FEATURE_REPORT;
    set.size = static_cast<uint16_t>(std::min(report.size(), sizeof set.data));
    if (set.size > 0) std::memcpy(set.data, report.data(), set.size);
    return event;
}

Event StartRequest(uint64_t deviceFlags) {
    Event event = Blank(UHID_START);
    Record(event).u.start.dev_flags = deviceFlags;
    return event;
}

bool DecodeDeviceEvent(std::span<const uint8_t> bytes, DeviceEvent& event) {
    event = DeviceEvent{};
    if (bytes.size() < sizeof(uint32_t)) return false;
    uhid_event record{};
    std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
    switch (record.type) {
        case UHID_CREATE2: {
            const uhid_create2_req& create = record.u.create2;
            event.kind = DeviceEvent::Kind::kCreate;
            event.identity.name = ReadText(create.name);
            event.identity.location = ReadText(create.phys);
            event.identity.serial = ReadText(create.uniq);
            event.identity.bus = create.bus;
            event.identity.vendorId = static_cast<uint16_t>(create.vendor);
            event.identity.productId = static_cast<uint16_t>(create.product);
            event.identity.version = create.version;
            const size_t n = std::min<size_t>(create.rd_size, sizeof create.rd_data);
            event.identity.reportDescriptor.assign(create.rd_data, create.rd_data + n);
            return true;
        }
        case UHID_DESTROY: event.kind = DeviceEvent::Kind::kDestroy; return true;
        case UHID_GET_REPORT_REPLY: {
            const uhid_get_report_reply_req& reply = record.u.get_report_reply;
            event.kind = DeviceEvent::Kind::kGetReportReply;
            event.id = reply.id;
            event.error = reply.err;
            const size_t n = std::min<size_t>(reply.size, sizeof reply.data);
            event.data.assign(reply.data, reply.data + n);
            return true;
        }
        case UHID_SET_REPORT_REPLY:
            event.kind = DeviceEvent::Kind::kSetReportReply;
            event.id = record.u.set_report_reply.id;
            event.error = record.u.set_report_reply.err;
            return true;
        default: event.kind = DeviceEvent::Kind::kOther; return true;
    }
}

}  // namespace vexu::sim::uhid
