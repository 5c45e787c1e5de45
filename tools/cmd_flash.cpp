// "vexu-cli flash": the serial-flash job alone, and the engineer's
// serial-flash commands on the same drivers (id, read, verify, erase). Each
// switches the serial port on and off around its work, as the run worker
// does around the job.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <optional>

#include "platform/files.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/eeprom_tools.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "common/run_messages.h"
#include "run/serial_number.h"
#include "run/thread_action.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

namespace {

using Action = FlashOptions::Action;

const char* CommandName(Action action) {
    switch (action) {
        case Action::kProgram: return "flash";
        case Action::kId: return "flash id";
        case Action::kRead: return "flash read";
        case Action::kVerify: return "flash verify";
        case Action::kErase: return "flash erase";
        case Action::kWrite: return "flash write";
        case Action::kParts: return "flash parts";
    }
    return "flash";
}

std::string Address(uint32_t address) {
    char text[16];
    snprintf(text, sizeof text, "0x%06" PRIX32, address);
    return text;
}

void AddChip(JsonObject& result, const std::string& chip) {
    if (chip.empty())
        result.Null("chip");
    else
        result.Text("chip", chip);
}

// Where a comparison found differences, as a line for a person and as
// members of the result:
//   first difference at 0x000100; 3 of 262144 bytes differ
//   first byte not erased at 0x000500; 1 of 262144 bytes is not erased
std::string DifferenceLine(const EepromDifference& difference, bool erase) {
    if (!difference.first) return {};
    const bool one = difference.differing == 1;
    return std::string(erase ? "first byte not erased at " : "first difference at ") + Address(*difference.first) +
           "; " + std::to_string(difference.differing) + " of " + std::to_string(difference.compared) + " bytes " +
           (erase ? (one ? "is not erased" : "are not erased") : (one ? "differs" : "differ"));
}

void AddDifference(JsonObject& result, const EepromDifference& difference) {
    result.Number("differingBytes", static_cast<int64_t>(difference.differing));
    if (difference.first)
        result.Number("firstDifference", static_cast<int64_t>(*difference.first));
    else
        result.Null("firstDifference");
}

// The serial port switched on around work, with the serial-flash bar on a
// terminal (the progress texts go to the reporter); 100 percent is posted
// when work succeeded.
bool OnSerialPort(Reporter& out, bool bar, const std::function<bool()>& work) {
    ChannelReader reader(out);
    InitMsgQueue(&reader);
    out.ShowBars(false, bar);
    if (bar) PostMsgText(kEepromProgressText, 0, 0);
    EnableEepromPort();
    const bool done = work();
    if (done && bar) PostMsgText(kEepromProgressText, 100, 0);
    DisableEepromPort();
    FreeMsgQueue();
    out.EndBars();
    return done;
}

// The image verify compares with: FILE, else the one the options name or
// the executable carries.
bool VerifyImage(const GlobalOptions& options, const FlashOptions& flash, std::vector<uint8_t>& image,
                 std::string& error) {
    if (!flash.file.empty()) {
        if (!options.eepromImage.empty()) {
            error = "flash verify: give the image either as FILE or with --eeprom-image, not both";
            return false;
        }
        if (!ReadUserFile(flash.file, MaxEepromImageBytes(), "serial-flash image", image, error)) return false;
        if (image.empty()) {
            error = "the serial-flash image " + flash.file + " is empty";
            return false;
        }
        return true;
    }
    if (!LoadEepromImage(options, error)) return false;
    image.assign(g_eepromData, g_eepromData + g_eepromSize);
    return true;
}

// "0x1C", or null when the register was not read.
void AddStatus(JsonObject& result, const char* name, const std::optional<uint8_t>& status) {
    if (!status) {
        result.Null(name);
        return;
    }
    char text[8];
    snprintf(text, sizeof text, "0x%02X", *status);
    result.Text(name, text);
}

// "flash parts": one line per row of the chip table.
int ListParts(Reporter& out) {
    JsonObject result = out.Result(kExitOk, "");
    std::string names;
    for (const FlashPart& part : FlashParts()) {
        char line[160];
        snprintf(line, sizeof line, "%-12s %-10s %s  %9u bytes, erase %u to %u bytes, %u address bytes%s", part.name,
                 part.vendor, FormatJedecId(part.maker, part.type, part.capacity).c_str(), part.size,
                 SmallestErase(part).size, LargestErase(part).size, part.addressBytes, part.sfdp ? ", SFDP" : "");
        out.Say(line);
        names += std::string(names.empty() ? "" : ",") + part.name;
    }
    result.Number("parts", static_cast<int64_t>(FlashParts().size())).Text("names", names);
    return out.Finish(kExitOk, "", result);
}

// --at and --length as numbers.
bool Offsets(const FlashOptions& flash, uint64_t& at, uint64_t& length, std::string& error) {
    at = 0;
    length = 0;
    if (flash.at && !ParseSerialOffset(*flash.at, at, error)) {
        error = "--at: " + error;
        return false;
    }
    if (flash.length && (!ParseSerialOffset(*flash.length, length, error) || length == 0)) {
        error = "--length needs a number of bytes above 0, not " + *flash.length;
        return false;
    }
    return true;
}

}  // namespace

int RunFlash(const GlobalOptions& options, const FlashOptions& flash) {
    Reporter out(options, CommandName(flash.action));
    if (flash.action == Action::kParts) return ListParts(out);
    std::string error;
    std::vector<uint8_t> image;
    uint64_t at = 0;
    uint64_t length = 0;
    if (!Offsets(flash, at, length, error)) return out.Finish(kExitUsage, error);
    if (flash.action == Action::kWrite) {
        if (!ReadUserFile(flash.file, MaxEepromImageBytes(), "serial-flash data", image, error))
            return out.Finish(kExitUsage, error);
        if (image.empty()) return out.Finish(kExitUsage, "the serial-flash data " + flash.file + " is empty");
    }
    if (flash.action == Action::kProgram && !LoadEepromImage(options, error)) return out.Finish(kExitUsage, error);
    if (flash.action == Action::kVerify && !VerifyImage(options, flash, image, error))
        return out.Finish(kExitUsage, error);
    BoxSession session;
    if (!session.Open(options, nullptr, error)) return out.Finish(kExitFailed, error);
    if (!session.HasBox()) {
        const NoBox noBox = session.Missing();
        return out.Finish(noBox.exit, noBox.text);
    }

    EepromOutcome outcome;
    EepromWriteReport written;
    EepromDifference difference;
    std::vector<uint8_t> contents;
    std::string chip;
    bool done = false;
    switch (flash.action) {
        case Action::kProgram:
            done = OnSerialPort(out, true, [&flash] { return RunEepromJob(g_eepromData, g_eepromSize, flash.job) != 0; });
            chip = GetEepromChip();
            outcome.failure = done ? "" : GetEepromError();
            outcome.findings = GetEepromFindings();
            break;
        case Action::kId:
            done = OnSerialPort(out, false, [&outcome] { return (outcome = IdentifyEeprom()).ok; });
            break;
        case Action::kRead:
            done = OnSerialPort(out, true,
                                [&] { return (outcome = ReadEepromRange(contents, at, length, flash.job)).ok; });
            break;
        case Action::kVerify:
            done = OnSerialPort(out, true, [&] { return (outcome = VerifyEeprom(image, difference, flash.job)).ok; });
            break;
        case Action::kErase:
            done = OnSerialPort(out, true, [&] { return (outcome = EraseEeprom(difference, flash.job)).ok; });
            break;
        case Action::kWrite:
            done = OnSerialPort(out, true, [&] { return (outcome = WriteEepromAt(image, at, flash.job, written)).ok; });
            break;
        case Action::kParts:
            break;
    }
    if (flash.action != Action::kProgram) chip = outcome.chip.name;

    // The chip's contents reach the file only whole.
    std::string writeFailure;
    if (done && flash.action == Action::kRead) {
        const std::string_view bytes(reinterpret_cast<const char*>(contents.data()), contents.size());
        if (!WriteFileWhole(flash.output, bytes, writeFailure)) done = false;
    }

    const int exitCode = done ? kExitOk : kExitFailed;
    const std::string failure = done ? "" : !writeFailure.empty() ? writeFailure : outcome.failure;
    // What a person reads: the failure text, and where a comparison
    // found differences.
    std::string told = failure;
    if (!done) {
        Trace(failure + "\r\n");
        const std::string detail = DifferenceLine(difference, flash.action == Action::kErase);
        if (!detail.empty()) told += "\n" + detail;
    }
    const EepromChipInfo& info = outcome.chip;
    JsonObject result = out.Result(exitCode, failure);
    switch (flash.action) {
        case Action::kProgram:
            if (done)
                out.Say("serial flash written and verified (" + std::to_string(g_eepromSize) + " bytes, " + chip +
                        ")");
            result.Number("bytes", g_eepromSize);
            AddChip(result, chip);
            break;
        case Action::kId:
            if (done)
                out.Say(info.name + ": " + info.vendor + " serial flash, " + std::to_string(info.bytes) + " bytes (" +
                        std::to_string(info.pages) + " pages of " + std::to_string(info.pageSize) + " bytes, " +
                        std::to_string(info.sectors) + " sectors of " + std::to_string(info.sectorSize) + " bytes)");
            if (done && !info.jedecId.empty()) out.Say("JEDEC ID " + info.jedecId);
            if (done && info.sfdp) out.Say(DescribeSfdp(*info.sfdp));
            if (done && info.sfdpOnly) {
                out.Say("not in the chip table; its row from the SFDP table, ready to be added:");
                out.Say(info.tableRow);
            }
            AddChip(result, chip);
            if (done) {
                result.Bool("sfdpOnly", info.sfdpOnly);
                if (!info.jedecId.empty()) result.Text("jedecId", info.jedecId);
                if (info.sfdp) {
                    result.Number("sfdpBytes", info.sfdp->size)
                        .Number("sfdpPageSize", info.sfdp->pageSize)
                        .Text("sfdp", DescribeSfdp(*info.sfdp));
                }
                if (!info.tableRow.empty()) result.Text("tableRow", info.tableRow);
                result.Text("family", info.vendor)
                    .Number("bytes", info.bytes)
                    .Number("pageSize", info.pageSize)
                    .Number("pages", info.pages)
                    .Number("sectorSize", info.sectorSize)
                    .Number("sectors", info.sectors);
            }
            break;
        case Action::kRead:
            if (done)
                out.Say("serial flash read into " + flash.output + " (" + std::to_string(contents.size()) +
                        " bytes, " + chip + ")");
            AddChip(result, chip);
            result.Number("bytes", static_cast<int64_t>(done ? contents.size() : 0)).Text("file", flash.output);
            break;
        case Action::kVerify:
            if (done)
                out.Say("serial flash matches the image (" + std::to_string(difference.compared) + " bytes, " + chip +
                        ")");
            AddChip(result, chip);
            result.Number("bytes", static_cast<int64_t>(difference.compared));
            AddDifference(result, difference);
            break;
        case Action::kErase:
            if (done) out.Say("serial flash erased and blank (" + std::to_string(info.bytes) + " bytes, " + chip + ")");
            AddChip(result, chip);
            result.Number("bytes", static_cast<int64_t>(difference.compared));
            AddDifference(result, difference);
            break;
        case Action::kWrite:
            if (done)
                out.Say("serial flash written at " + Address(static_cast<uint32_t>(at)) + " (" +
                        std::to_string(image.size()) + " bytes, " + std::to_string(written.unitsErased) + " erases of " +
                        std::to_string(written.eraseUnit) + " bytes, " + std::to_string(written.bytesKept) +
                        " bytes kept, " + chip + ")");
            AddChip(result, chip);
            result.Number("bytes", static_cast<int64_t>(image.size()))
                .Number("at", static_cast<int64_t>(at))
                .Number("eraseUnit", written.eraseUnit)
                .Number("unitsErased", written.unitsErased)
                .Number("bytesKept", static_cast<int64_t>(written.bytesKept));
            break;
        case Action::kParts:
            break;
    }
    if (flash.action == Action::kProgram || flash.action == Action::kWrite || flash.action == Action::kErase) {
        AddStatus(result, "statusBefore", outcome.findings.statusBefore);
        AddStatus(result, "statusAfter", outcome.findings.statusAfter);
        result.Bool("sfdpChip", outcome.findings.sfdpChip);
    }
    session.AddSummary(result);
    out.Finish(exitCode, told, result);
    session.SaySummary(out);
    return exitCode;
}

}  // namespace vexu::cli
