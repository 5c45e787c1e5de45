#include "sim/simulator.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "platform/files.h"
#include "sim/fpga_model.h"
#include "sim/idcode_device.h"
#include "sim/spi_flash.h"

namespace vexu::sim {

namespace {

constexpr const char* kDefaultFlash = "M25P20";

constexpr ScenarioKeyHelp kBoxKeys[] = {
    {"flash=CHIP", "serial flash on the board: M25P20 (default), any other part of the chip table (vexu-cli flash parts) or none"},
    {"flash-id=0xMMTTCC", "the flash answers 0x9F with this JEDEC ID instead of its own (a part the table lacks)"},
    {"flash-sfdp=CHIP", "the flash serves that part's SFDP table instead of its own, or none (a relabelled part)"},
    {"flash-protect=N", "the flash's status register starts with these block-protection bits (e.g. 0x1C)"},
    {"flash-flaky-read", "every second read of the flash returns bit 0 of its first byte inverted"},
    {"flash-locked-sector=N", "the flash's 64 KiB sector N starts locked (parts with sector lock registers)"},
    {"flash-fill=N", "initial value of every flash byte (default 0xFF)"},
    {"flash-image=FILE", "initial flash contents from FILE, the rest filled"},
    {"flash-stuck-busy", "the flash never finishes a program or erase"},
    {"flash-busy-percent=N", "program and erase take N% of the chip's typical times (default 100; 0: at once)"},
    {"flash-bit-error-page=P", "programming page P leaves bit 0 of its first byte wrong"},
    {"flash-erase-polls=N", "the first polled erase (sector or bulk) is ready at the N-th status read"},
    {"flash-program-polls=N", "the first polled page program is ready at the N-th status read"},
    {"flash-erase-fail-page=P", "erasing leaves bit 0 of the first byte of page P at 0 (a worn cell)"},
    {"flash-save=FILE", "vexu-cli: when the command ends, the first board's flash contents are written to FILE"},
    {"refuse-serial", "the box answers the serial-mode entry with 0x00"},
    {"allow-unused-states", "TAP states 5, 6, 10 and 11 are not counted as protocol violations"},
    {"unplug-after=N", "the box is unplugged after N reports"},
    {"fail-report=N", "report N (1 = the first) fails on the bus"},
    {"corrupt-fetch=N", "the first report fetched from report N on has one data bit flipped"},
    {"latency-us=N", "USB time per report in microseconds (default 1000)"},
    {"unplugged", "the box starts unplugged"},
    {"open-refusals=N", "after each plug the box's node refuses N opens (its permissions not yet set)"},
    {"boxes=N", "N boxes, each with its own board (the same keys), path, USB location and serial"},
    {"crash-at=N", "the program itself dies (abort) at report N: what survives a crashed run"},
    {"fault-box=K", "with boxes: unplug-after, fail-report, corrupt-fetch and crash-at concern box K (from 1) only"},
    {"refuse-open=WHY", "the box cannot be opened: in-use (held by another program) or denied (no permission)"},
    {"other-hid=VID:PID", "another HID device, not a programmer, is present as well"},
    {"realtime", "run on the real clock instead of virtual time"},
    {"station-boxes=N", "run --station: an operator unplugs the box after each run and plugs it again, N boxes in all"},
    {"board-limit-ms=N", "run --station --gang: each board's run is given N ms (instead of its modelled worst case) before its worker is killed"},
    {"jtag=MODEL", "device behind the JTAG port (default: the first model below)"},
};

// --- JTAG models -------------------------------------------------------------

constexpr ScenarioKeyHelp kIdcodeKeys[] = {
    {"idcode=N", "32-bit ID code (default 0x1A2B3C4D)"},
};

std::unique_ptr<JtagDevice> MakeIdcodeDevice(Scenario& scenario, std::string& error) {
    uint64_t idcode = IdcodeDevice::kDefaultIdcode;
    if (!scenario.TakeUnsigned("idcode", 0xFFFFFFFF, idcode, error)) return nullptr;
    return std::make_unique<IdcodeDevice>(static_cast<uint32_t>(idcode));
}

std::unique_ptr<JtagDevice> MakeFpgaDevice(Scenario& scenario, std::string& error) {
    FpgaScenario fpga;
    if (!TakeFpgaScenario(scenario, fpga, error)) return nullptr;
    return std::make_unique<FpgaModel>(fpga);
}

// Not constexpr: the FPGA's key help is assembled from its key table.
const JtagModel kJtagModels[] = {
    {"fpga", "the flash-based FPGA (default: the demo image's device, ID 0x029121CF)", MakeFpgaDevice,
     FpgaScenarioKeyHelp()},
    {"idcode", "8-bit instruction register, ID code register at instruction 0x0F, bypass otherwise",
     MakeIdcodeDevice, kIdcodeKeys},
};

// --- Board -------------------------------------------------------------------

}  // namespace

bool ParseVidPid(const std::string& text, uint16_t& vendorId, uint16_t& productId) {
    const size_t colon = text.find(':');
    uint64_t vid = 0;
    uint64_t pid = 0;
    if (colon == std::string::npos || !ParseUnsigned(std::string_view(text).substr(0, colon), vid) ||
        !ParseUnsigned(std::string_view(text).substr(colon + 1), pid) || vid > 0xFFFF || pid > 0xFFFF)
        return false;
    vendorId = static_cast<uint16_t>(vid);
    productId = static_cast<uint16_t>(pid);
    return true;
}

std::string FormatSimulationSummary(uint64_t reports, uint64_t failedReports, uint64_t violations,
                                    uint64_t timeUs) {
    char text[200];
    snprintf(text, sizeof text,
             "simulated box: %" PRIu64 " reports (%" PRIu64 " failed), %" PRIu64
             " protocol violations, modelled time %.3f s",
             reports, failedReports, violations, static_cast<double>(timeUs) / 1e6);
    return text;
}

namespace {

std::unique_ptr<SpiFlash> MakeFlash(Scenario& scenario, std::string& error, bool& ok) {
    ok = false;
    std::string name = kDefaultFlash;
    if (!scenario.TakeText("flash", name, error)) return nullptr;
    uint64_t fill = 0xFF;
    std::string imagePath;
    bool stuck = false;
    uint64_t errorPage = UINT64_MAX;
    uint64_t erasePolls = 0;
    uint64_t programPolls = 0;
    uint64_t erasePage = UINT64_MAX;
    uint64_t busyPercent = 100;
    uint64_t jedecId = UINT64_MAX;
    std::string sfdpFrom;
    uint64_t protect = 0;
    bool flaky = false;
    uint64_t lockedSector = UINT64_MAX;
    const bool keysOk = scenario.TakeUnsigned("flash-locked-sector", UINT32_MAX, lockedSector, error) && scenario.TakeUnsigned("flash-id", 0xFFFFFF, jedecId, error) &&
                        scenario.TakeText("flash-sfdp", sfdpFrom, error) &&
                        scenario.TakeUnsigned("flash-protect", 0xFF, protect, error) &&
                        scenario.TakeFlag("flash-flaky-read", flaky, error) && scenario.TakeUnsigned("flash-fill", 0xFF, fill, error) &&
                        scenario.TakeUnsigned("flash-erase-polls", UINT32_MAX, erasePolls, error) &&
                        scenario.TakeUnsigned("flash-program-polls", UINT32_MAX, programPolls, error) &&
                        scenario.TakeText("flash-image", imagePath, error) &&
                        scenario.TakeFlag("flash-stuck-busy", stuck, error) &&
                        scenario.TakeUnsigned("flash-bit-error-page", UINT32_MAX, errorPage, error) &&
                        scenario.TakeUnsigned("flash-erase-fail-page", UINT32_MAX, erasePage, error) &&
                        scenario.TakeUnsigned("flash-busy-percent", 1000, busyPercent, error);
    if (!keysOk) return nullptr;
    if (name == "none") {
        ok = true;
        return nullptr;
    }
    const FlashChip* chip = FindFlashChip(name);
    if (!chip) {
        error = "unknown flash chip \"" + name + "\" (a part of the chip table, as vexu-cli flash parts lists them, or none)";
        return nullptr;
    }
    auto flash = std::make_unique<SpiFlash>(*chip, static_cast<uint8_t>(fill));
    if (jedecId != UINT64_MAX)
        flash->SetJedecId(static_cast<uint8_t>(jedecId >> 16), static_cast<uint8_t>(jedecId >> 8),
                          static_cast<uint8_t>(jedecId));
    if (sfdpFrom == "none") {
        flash->SetSfdp({});
    } else if (!sfdpFrom.empty()) {
        const FlashPart* other = FindFlashPart(sfdpFrom);
        if (!other || !other->sfdp) {
            error = "flash-sfdp needs a part of the chip table that has an SFDP table, or none, not \"" + sfdpFrom + "\"";
            return nullptr;
        }
        flash->SetSfdp(SfdpImage(*other));
    }
    flash->SetStatusBits(static_cast<uint8_t>(protect));
    if (lockedSector != UINT64_MAX) {
        const uint64_t sectors = chip->part->sectorLocks ? chip->size / kLockSectorSize : 0;
        if (lockedSector >= sectors) {
            error = sectors ? RangeError("flash-locked-sector", 0, sectors - 1, scenario.Take("flash-locked-sector").value_or(""))
                            : std::string("flash-locked-sector: the ") + chip->name + " has no sector lock registers";
            return nullptr;
        }
        flash->SetSectorLock(static_cast<uint32_t>(lockedSector), kSectorLocked);
    }
    flash->SetFlakyReads(flaky);
    if (!imagePath.empty()) {
        // What the chip cannot hold is refused before it is read.
        std::vector<uint8_t> image;
        const std::string what = std::string(chip->name) + " flash image";
        if (!ReadUserFile(imagePath, chip->size, what.c_str(), image, error)) return nullptr;
        std::copy(image.begin(), image.end(), flash->MutableContents().begin());
    }
    // A page fault key names a page of the chip on the board.
    const uint64_t pages = chip->size / chip->part->pageSize;
    for (const auto& [key, page] : {std::pair{"flash-bit-error-page", errorPage}, {"flash-erase-fail-page", erasePage}}) {
        if (page != UINT64_MAX && page >= pages) {
            error = RangeError(key, 0, pages - 1, scenario.Take(key).value_or(""));
            return nullptr;
        }
    }
    if (errorPage != UINT64_MAX) flash->SetBitErrorPage(static_cast<uint32_t>(errorPage));
    if (erasePage != UINT64_MAX) flash->SetEraseFailPage(static_cast<uint32_t>(erasePage));
    flash->SetStuckBusy(stuck);
    flash->SetEraseReadyPoll(static_cast<uint32_t>(erasePolls));
    flash->SetProgramReadyPoll(static_cast<uint32_t>(programPolls));
    flash->SetBusyPercent(static_cast<uint32_t>(busyPercent));
    ok = true;
    return flash;
}

constexpr uint64_t kMaxBoxes = 64;

bool TakeUsbSettings(Scenario& scenario, UsbSettings& usb, std::string& error) {
    uint64_t unplugAfter = UINT64_MAX;
    uint64_t failReport = 0;
    uint64_t corruptFetch = 0;
    uint64_t openRefusals = 0;
    if (!scenario.TakeUnsigned("latency-us", 10'000'000, usb.latencyUs, error) ||
        !scenario.TakeUnsigned("open-refusals", UINT32_MAX, openRefusals, error) ||
        !scenario.TakeUnsigned("unplug-after", UINT32_MAX, unplugAfter, error) ||
        !scenario.TakeUnsigned("fail-report", UINT32_MAX, failReport, error, 1) ||
        !scenario.TakeUnsigned("corrupt-fetch", UINT32_MAX, corruptFetch, error))
        return false;
    if (unplugAfter != UINT64_MAX) usb.unplugAfter = unplugAfter;
    if (failReport != 0) usb.failReport = failReport;
    if (scenario.Has("corrupt-fetch")) usb.corruptFetch = corruptFetch;
    uint64_t crashAt = 0;
    if (!scenario.TakeUnsigned("crash-at", UINT32_MAX, crashAt, error, 1)) return false;
    if (scenario.Has("crash-at")) usb.crashAt = crashAt;
    uint64_t faultBox = 0;
    if (!scenario.TakeUnsigned("fault-box", kMaxBoxes, faultBox, error, 1)) return false;
    if (scenario.Has("fault-box")) usb.faultBox = faultBox - 1;
    usb.openRefusals = static_cast<uint32_t>(openRefusals);
    return true;
}

const JtagModel* FindJtagModel(std::string_view name) {
    for (const JtagModel& model : kJtagModels)
        if (name == model.name) return &model;
    return nullptr;
}

}  // namespace

std::span<const JtagModel> JtagModels() { return kJtagModels; }

namespace {

// One box with its board: the serial flash and the JTAG device the keys
// describe. Several boxes each get a board of their own from the same keys.
std::unique_ptr<SimBox> MakeBoxAndBoard(Scenario& scenario, std::string& error) {
    auto box = std::make_unique<SimBox>();
    bool flashOk = false;
    std::unique_ptr<SpiFlash> flash = MakeFlash(scenario, error, flashOk);
    if (!flashOk) return nullptr;
    box->AttachSpiDevice(std::move(flash));

    std::string modelName = kJtagModels[0].name;
    if (!scenario.TakeText("jtag", modelName, error)) return nullptr;
    const JtagModel* model = FindJtagModel(modelName);
    if (!model) {
        error = "unknown JTAG device model \"" + modelName + "\"";
        return nullptr;
    }
    std::unique_ptr<JtagDevice> device = model->make(scenario, error);
    if (!device) return nullptr;
    box->AttachJtagDevice(std::move(device));

    bool refuseSerial = false;
    bool allowUnusedStates = false;
    if (!scenario.TakeFlag("refuse-serial", refuseSerial, error) ||
        !scenario.TakeFlag("allow-unused-states", allowUnusedStates, error))
        return nullptr;
    box->SetRefuseSerial(refuseSerial);
    box->SetAllowUnusedStates(allowUnusedStates);
    return box;
}

}  // namespace

std::unique_ptr<SimBackend> MakeSimulator(Scenario& scenario, SimulatorOptions& options, std::string& error) {
    uint64_t boxes = 1;
    if (!scenario.TakeUnsigned("boxes", kMaxBoxes, boxes, error, 1)) return nullptr;
    std::unique_ptr<SimBox> box = MakeBoxAndBoard(scenario, error);
    if (!box) return nullptr;

    bool unplugged = false;
    uint64_t stationBoxes = 0;
    UsbSettings usb;
    std::string otherHid;
    std::string refuseOpen;
    uint16_t otherVendor = 0;
    uint16_t otherProduct = 0;
    if (!scenario.TakeFlag("unplugged", unplugged, error) ||
        !scenario.TakeFlag("realtime", options.realtime, error) || !TakeUsbSettings(scenario, usb, error) ||
        !scenario.TakeText("other-hid", otherHid, error) || !scenario.TakeText("refuse-open", refuseOpen, error) ||
        !scenario.TakeUnsigned("station-boxes", 1'000'000, stationBoxes, error, 1) ||
        !scenario.TakeText("flash-save", options.flashSave, error) ||
        !scenario.TakeUnsigned("board-limit-ms", 86'400'000, options.boardLimitMs, error, 1))
        return nullptr;
    options.stationBoxes = static_cast<uint32_t>(stationBoxes);
    // A fault meant for a box that is not there would silently test nothing.
    if (usb.faultBox && *usb.faultBox >= boxes) {
        error = "fault-box=" + std::to_string(*usb.faultBox + 1) + " names a box that does not exist (" +
                std::to_string(boxes) + (boxes == 1 ? " box" : " boxes") + ")";
        return nullptr;
    }
    if (!otherHid.empty() && !ParseVidPid(otherHid, otherVendor, otherProduct)) {
        error = "other-hid needs VID:PID, not \"" + otherHid + "\"";
        return nullptr;
    }
    HidOpenError openRefusal = HidOpenError::kNone;
    if (refuseOpen == "in-use") {
        openRefusal = HidOpenError::kInUse;
    } else if (refuseOpen == "denied") {
        openRefusal = HidOpenError::kDenied;
    } else if (scenario.Has("refuse-open")) {
        error = "refuse-open needs in-use or denied, not \"" + refuseOpen + "\"";
        return nullptr;
    }

    auto backend = std::make_unique<SimBackend>(std::move(box), usb, !unplugged);
    for (uint64_t k = 1; k < boxes; ++k) {
        std::unique_ptr<SimBox> another = MakeBoxAndBoard(scenario, error);
        if (!another) return nullptr;
        backend->AddBox(std::move(another), !unplugged);
    }
    if (!otherHid.empty()) backend->AddForeignDevice(otherVendor, otherProduct);
    backend->SetOpenRefusal(openRefusal);
    return backend;
}

std::unique_ptr<SimBackend> MakeSimulator(std::string_view scenarioText, std::string& error,
                                          SimulatorOptions* options) {
    Scenario scenario;
    if (!Scenario::Parse(scenarioText, scenario, error)) return nullptr;
    SimulatorOptions local;
    std::unique_ptr<SimBackend> backend = MakeSimulator(scenario, options ? *options : local, error);
    if (!backend) return nullptr;
    error = scenario.LeftoverError();
    if (!error.empty()) return nullptr;
    return backend;
}

std::string SimulatorHelp() {
    std::string text = "Scenario keys (KEY=VALUE,KEY,...):\n" + FormatScenarioHelp(kBoxKeys);
    for (const JtagModel& model : kJtagModels)
        // The heading stands alone: manual-page makers take the lines below
        // it as a list, not as its paragraph.
        text += "jtag=" + std::string(model.name) + ": " + model.summary + "\n\n" + FormatScenarioHelp(model.keys);
    return text;
}

}  // namespace vexu::sim
