// vexu-cli: the programmer for engineers and production stations.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "link/report_log.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "platform/json.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "run/build_info.h"
#include "run/run_record.h"
#include "run/serial_number.h"
#include "tools/cli.h"
#ifdef VEXU_STATION_DB
#include "station/ledger.h"
#endif
#include "tools/cli_session.h"

using namespace vexu::cli;

namespace {

// A file the user names: an empty name (an unset variable in a script)
// names no file and is never taken to mean the default.
const CLI::Validator kFileName(
    [](std::string& name) { return name.empty() ? std::string("an empty file name names no file") : std::string(); },
    "FILE", "FILE");

// The command the user asked for, subcommands joined ("image info"); empty
// when the command line did not get that far.
std::string CommandOf(const CLI::App& app) {
    std::string name;
    for (const CLI::App* sub = &app; !sub->get_subcommands().empty();) {
        sub = sub->get_subcommands().front();
        name += (name.empty() ? "" : " ") + sub->get_name();
    }
    return name;
}

// Usage errors end with exit status 2; with --json they still end with the
// result line a script waits for.
int UsageError(bool json, const std::string& command, const std::string& failure, bool printed = false) {
    if (!printed) std::fprintf(stderr, "%s\n", failure.c_str());
    if (json) {
        vexu::JsonObject result;
        result.Text("event", "result");
        if (command.empty())
            result.Null("command");
        else
            result.Text("command", command);
        result.Bool("ok", false).Number("exit", kExitUsage).Text("failure", failure);
        std::printf("%s\n", result.Str().c_str());
        std::fflush(stdout);
    }
    return kExitUsage;
}

// A command that writes for people (report) still ends with the result
// line a script waits for when --json is given.
int FinishPlainCommand(bool json, const std::string& command, int exitCode) {
    if (json) {
        vexu::JsonObject result;
        result.Text("event", "result").Text("command", command).Bool("ok", exitCode == kExitOk).Number("exit", exitCode);
        result.Text("failure", "");
        std::printf("%s\n", result.Str().c_str());
        std::fflush(stdout);
    }
    return exitCode;
}

bool JsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    vexu::UseBinaryStdio();
    // A limit on file sizes then makes a write fail, as a full disk does,
    // instead of ending the program half way through a file.
    vexu::FailWritesBeyondFileSizeLimit();
    CLI::App app{"Vexu Dual Programmer - command line"};
    app.require_subcommand(1);
    // The text ends with its own line end; CLI11 adds one more.
    std::string version = VersionText("vexu-cli");
    version.pop_back();
    app.set_version_flag("--version", version, "Print the version, the source revision and the embedded images");
    // Global options may also follow the command ("vexu-cli run --json").
    app.fallthrough();
    GlobalOptions options;
    app.add_flag("--trace", options.trace, "Write trace lines to standard error");
    app.add_option("--report-log", options.reportLog,
                   "Write every feature-report transfer to FILE, one per line (list, run, action and flash)")
        ->check(kFileName);
    auto* simulate = app.add_option("--simulate", options.simulateKeys, SimulateHelp())
                         ->type_name("[=KEYS]")
                         ->expected(0, 1);
    app.add_flag("--json", options.json,
                 "Print one JSON object per line on stdout: progress, log texts and the result (see README)");
    app.add_option("--fpga-image", options.fpgaImage, "Plain FPGA data image to use instead of the embedded one")
        ->check(kFileName);
    app.add_option("--eeprom-image", options.eepromImage,
                   "Plain serial-flash image to use instead of the embedded one")
        ->check(kFileName);
    auto* box = app.add_option("--box", options.box,
                               "Use only the programmer box at PATH, as 'list' prints it (default: the first free one)")
                    ->type_name("PATH");

    CLI::App* list = app.add_subcommand("list", "List the programmer boxes present");

    CLI::App* image = app.add_subcommand("image", "Inspect, build and scramble FPGA data images");
    image->require_subcommand(1);
    std::string infoFile;
    CLI::App* imageInfo = image->add_subcommand("info", "Header, directory, flags, device and CRC of a data image");
    imageInfo->add_option("file", infoFile, "The data image (plain)")->required()->check(kFileName);

    ImageBuildOptions build;
    CLI::App* imageBuild = image->add_subcommand("build", "Compose a data image from its parts");
    imageBuild->add_option("-o,--output", build.output, "The image to write")->required()->check(kFileName);
    imageBuild->add_flag("--demo", build.demo, "Start from the demo image's parts; the options below replace them");
    imageBuild->add_flag("--no-security", build.noSecurity,
                         "Leave out the security settings (user lock bits and pass key), as an image with encrypted "
                         "parts must: the device keeps its own");
    imageBuild->add_option("--idcode", build.idCode, "Expected ID code (a row of the identification table)");
    imageBuild->add_option("--variant", build.variant, "Device variant marker: 7 M7, 1 M1, 0 neither");
    imageBuild->add_option("--boundary-scan", build.boundaryScanFile, "Boundary-scan register data file")
        ->check(kFileName);
    imageBuild->add_option("--array", build.arrayFile, "Array rows file: every plain row in the order programmed")
        ->check(kFileName);
    imageBuild->add_option("--rlock", build.rlockFile, "RLOCK row file (one plain row)")->check(kFileName);
    imageBuild->add_option("--flashrom-mask", build.flashRomMask, "FlashROM page-selection mask (bit k: page k)");
    imageBuild->add_option("--flashrom", build.flashRomFile, "FlashROM pages file: 8 pages of 16 bytes, page 0 first")
        ->check(kFileName);
    imageBuild->add_option("--silsig", build.silsig, "Silicon signature (32 bits)");
    imageBuild->add_option("--design-name", build.designName, "Design name (up to 9 characters)");
    imageBuild->add_option("--checksum", build.designChecksum, "Design checksum (16 bits)");
    imageBuild->add_option("--user-lock", build.userLock, "User lock bits (2 bytes for class 1, 3 for class 2)");
    imageBuild->add_option("--pass-key", build.passKey, "Pass key: 32 hex digits, first byte first");
    imageBuild->add_option("--aes-key", build.aesKey, "AES key: 32 hex digits, first byte first");
    imageBuild->add_option("--encryption-key", build.encryptionKey,
                           "The device's AES key for encrypted parts (default: --aes-key); 32 hex digits");
    imageBuild->add_option("--nvm", build.nvmSegments,
                           "NVM segment BLOCK:ADDRESS:PAGEVALUE:FILE (FILE: little-endian 32-bit words); repeatable");
    imageBuild->add_option("--encrypt", build.encrypt,
                           "Parts to encrypt with the device's AES key (--encryption-key): array, flashrom, nvm0 .. "
                           "nvm3; the image then carries no security settings (see README, encrypted images)")
        ->delimiter(',');
    imageBuild->add_option("--support-flags", build.supportFlags, "Write these support flags instead of the derived ones");

    std::string scrambleIn, scrambleOut;
    CLI::App* imageScramble = image->add_subcommand("scramble", "Plain image to the stored (embedded) form");
    imageScramble->add_option("input", scrambleIn, "Plain image")->required()->check(kFileName);
    imageScramble->add_option("output", scrambleOut, "Stored form to write")->required()->check(kFileName);
    std::string unscrambleIn, unscrambleOut;
    CLI::App* imageUnscramble = image->add_subcommand("unscramble", "Stored (embedded) form back to the plain image");
    imageUnscramble->add_option("input", unscrambleIn, "Stored form")->required()->check(kFileName);
    imageUnscramble->add_option("output", unscrambleOut, "Plain image to write")->required()->check(kFileName);

    CLI::App* settings = app.add_subcommand("settings", "The settings record file (AppSetting.bin)");
    settings->require_subcommand(1);
    std::string settingsFile = "AppSetting.bin";
    std::string settingsField, settingsValue;
    CLI::App* settingsWrite = settings->add_subcommand("write", "Write the record with the built-in defaults");
    settingsWrite->add_option("file", settingsFile, "Record file (default AppSetting.bin)")->check(kFileName);
    CLI::App* settingsSet = settings->add_subcommand("set", "Set one field of a record file");
    settingsSet->add_option("file", settingsFile, "Record file")->required()->check(kFileName);
    settingsSet->add_option("field", settingsField, "Field name, as 'settings show' lists them")->required();
    settingsSet->add_option("value", settingsValue, "Colour 0x00BBGGRR, flag 0 or 1, or text")->required();
    CLI::App* settingsShow = settings->add_subcommand("show", "List every field of a record file");
    settingsShow->add_option("file", settingsFile, "Record file")->required()->check(kFileName);
#ifdef VEXU_STATION_DB
    ReportOptions reportOptions;
    CLI::App* report = app.add_subcommand("report", "Yield, failures and a serial's or a board's history from the run records");
    report->add_option("what", reportOptions.what, "all (default), yield, failures or history")
        ->check(CLI::IsMember({"all", "yield", "failures", "history"}));
    report->add_option("--serial", reportOptions.serial, "history: the serial number");
    report->add_option("--board", reportOptions.board,
                       "history: a board's runs (retries in its place), named by a record id or a serial it had");
    report->add_option("--since", reportOptions.since, "Runs from this day or UTC time on (2026-01-31)");
    report->add_option("--until", reportOptions.until, "Runs before this day or UTC time");
    report->add_option("--format", reportOptions.format, "table (default), csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    report->add_option("--line-db", reportOptions.lineDb,
                       "The line's PostgreSQL database (URI; default: $VEXU_LINE_DB, else this station's own)");
    report->add_option("--station-db", reportOptions.stationDb, "The station's database file")->check(kFileName);
#endif
    CLI::App* flash = app.add_subcommand(
        "flash", "Erase, write, read back and compare the board's serial flash (the serial-flash job alone); "
                 "or one of the sub-commands below");
    flash->require_subcommand(0, 1);
    FlashOptions flashOptions;
    CLI::App* flashId = flash->add_subcommand("id", "The serial flash chip on the board: family and size");
    CLI::App* flashRead = flash->add_subcommand("read", "Read the whole serial flash into a file");
    flashRead->add_option("-o,--output", flashOptions.output, "The file to write")->required()->check(kFileName);
    CLI::App* flashVerify = flash->add_subcommand(
        "verify", "Read the serial flash back and compare it with FILE (default: the serial-flash image) without "
                  "writing; prints the first differing address and the count of differing bytes");
    flashVerify->add_option("file", flashOptions.file, "Plain serial-flash image to compare with")->check(kFileName);
    CLI::App* flashErase = flash->add_subcommand("erase", "Erase the whole serial flash at once, then check it is blank");
    CLI::App* flashWrite = flash->add_subcommand(
        "write", "Write FILE into the serial flash at OFFSET and change nothing else: only the erase units it covers "
                 "are erased, their other bytes read and written back, and every unit read back");
    flashWrite->add_option("file", flashOptions.file, "Plain bytes to write")->required()->check(kFileName);
    std::string flashAt, flashLength;
    auto* flashWriteAt = flashWrite->add_option("--at", flashAt, "Chip address (decimal or 0x-hexadecimal; default 0)")
                             ->type_name("OFFSET");
    auto* flashReadAt = flashRead->add_option("--at", flashAt, "First chip address to read (default 0)")
                            ->type_name("OFFSET");
    auto* flashReadLength = flashRead->add_option("--length", flashLength, "Bytes to read (default: to the end)")
                                ->type_name("N");
    CLI::App* flashParts = flash->add_subcommand("parts", "The serial flash parts the programmer knows");
    std::string flashTiming = "fixed";
    // The serial-flash step's choices, on "flash" and on "run".
    auto addFlashJobOptions = [&flashTiming](CLI::App* command, EepromJobOptions& job) {
        command->add_option("--flash-timing", flashTiming,
                            "fixed: the waits of the first boards' chips (default); chip: wait each program and "
                            "erase from the chip's typical time, its datasheet maximum the limit")
            ->check(CLI::IsMember({"fixed", "chip"}));
        command->add_flag("--allow-sfdp-chip", job.allowSfdpChip,
                          "Program a part that no row of the chip table names, from its SFDP table alone");
        command->add_flag("--unprotect", job.unprotect,
                          "Clear the chip's block protection before erasing (else protected blocks fail the step)");
        command->add_flag("--reprotect", job.reprotect,
                          "With --unprotect: set the same protection again at the end and read it back");
    };
    addFlashJobOptions(flash, flashOptions.job);

    ActionOptions actionOptions;
    CLI::App* action = app.add_subcommand(
        "action", "Run FPGA engine actions on the board, one engine run per name, in order; stops at the first failure");
    action->add_option("names", actionOptions.actions,
                       "Actions: device_info, read_idcode, verify_device_info, program, verify, erase, erase_all, "
                       "erase_array, program_array, verify_array, erase_from, program_from, verify_from, "
                       "erase_security, program_security, program_nvm, verify_nvm, enc_data_authentication")
        ->required();

    RunOptions runOptions;
    CLI::App* run = app.add_subcommand(
        "run", "One run as the window's start button does it: the FPGA with \"program\", then the serial flash");
    run->add_flag("--no-fpga", runOptions.noFpga, "Leave the FPGA out of the run");
    run->add_flag("--no-eeprom", runOptions.noEeprom, "Leave the serial flash out of the run");
    addFlashJobOptions(run, runOptions.flashJob);
    run->add_flag("--gang", runOptions.gang,
                  "With --station: serve every box present and every box that arrives, each on its own and in "
                  "parallel (each run in a worker process); one bar line per slot");
    // Given by a gang station to its workers.
    run->add_option("--slot", runOptions.slot)->group("");
    run->add_flag("--station", runOptions.station,
                  "Production station: wait for a box, run, print PASS or FAIL, wait for the next; Ctrl-C stops");
    std::string serialAt, serialFormat, serialStart, serialFile, serialValue;
    auto* serialAtOption = run->add_option("--serial-at", serialAt,
                                           "Write a per-board serial number into the serial-flash image at OFFSET "
                                           "(decimal or 0x-hexadecimal), from --serial-format or --serial-file")
                               ->type_name("OFFSET");
    auto* serialFormatOption =
        run->add_option("--serial-format", serialFormat,
                        "The serial number: a counter written through FMT, one %u (or %x, %X, %o) with the flags 0 "
                        "and - and a width, e.g. VX%08u; the counter is kept next to the run log")
            ->type_name("FMT");
    auto* serialStartOption =
        run->add_option("--serial-start", serialStart, "The counter's first number (default 1); never below one "
                                                       "already given")
            ->type_name("N");
    auto* serialFileOption =
        run->add_option("--serial-file", serialFile, "The serial numbers: the lines of FILE, in order")
            ->check(kFileName);
#ifdef VEXU_STATION_DB
    run->add_option("--line-db", runOptions.lineDb,
                    "The line's PostgreSQL database (URI; default $VEXU_LINE_DB): the counter's serials come from "
                    "its pool, the records go up to it")
        ->type_name("URI");
    run->add_option("--serial-lease", runOptions.serialLease,
                    "With --line-db: keep N serials reserved in advance, to go on while the line's server cannot be "
                    "reached (default 0: stop then)")
        ->type_name("N")
        ->check(CLI::Range(0u, 1000u));
    run->add_option("--station-name", runOptions.stationName,
                    "This station's name in the records and the ledger (default $VEXU_STATION_NAME, else the "
                    "computer's name)");
#endif
    auto* serialValueOption =
        run->add_option("--serial-value", serialValue,
                        "Write TEXT as the serial number (for a station that keeps the counter itself)")
            ->type_name("TEXT");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        if (code == 0) return kExitOk;
        return UsageError(JsonAsked(argc, argv), CommandOf(app), e.what(), true);
    }
    options.simulate = simulate->count() > 0;
    auto given = [](CLI::Option* option, const std::string& value) {
        return option->count() > 0 ? std::optional<std::string>(value) : std::nullopt;
    };
    runOptions.serialAt = given(serialAtOption, serialAt);
    runOptions.serialFormat = given(serialFormatOption, serialFormat);
    runOptions.serialStart = given(serialStartOption, serialStart);
    runOptions.serialFile = given(serialFileOption, serialFile);
    runOptions.serialValue = given(serialValueOption, serialValue);
    if (flashId->parsed()) flashOptions.action = FlashOptions::Action::kId;
    if (flashRead->parsed()) flashOptions.action = FlashOptions::Action::kRead;
    if (flashVerify->parsed()) flashOptions.action = FlashOptions::Action::kVerify;
    if (flashErase->parsed()) flashOptions.action = FlashOptions::Action::kErase;
    if (flashWrite->parsed()) flashOptions.action = FlashOptions::Action::kWrite;
    if (flashParts->parsed()) flashOptions.action = FlashOptions::Action::kParts;
    if (flashWriteAt->count() > 0 || flashReadAt->count() > 0) flashOptions.at = flashAt;
    if (flashReadLength->count() > 0) flashOptions.length = flashLength;
    const FlashTiming timing = flashTiming == "chip" ? FlashTiming::kChip : FlashTiming::kFixed;
    flashOptions.job.timing = timing;
    runOptions.flashJob.timing = timing;
    for (const EepromJobOptions* job : {&flashOptions.job, &runOptions.flashJob})
        if (job->reprotect && !job->unprotect)
            return UsageError(JsonAsked(argc, argv), CommandOf(app), "--reprotect needs --unprotect");
    if (box->count() > 0 && options.box.empty())
        return UsageError(options.json, CommandOf(app), "--box needs the path of a box, as 'list' prints it");
    vexu::SetTraceToStderr(options.trace);
    const std::string command = CommandOf(app);
    const bool talksToBox = list->parsed() || flash->parsed() || action->parsed() || run->parsed();
    // Only a command that talks to a box has transfers to log; any other
    // would open (and empty) the file for nothing, perhaps the very file it
    // is about to read.
    if (!options.reportLog.empty() && !talksToBox)
        return UsageError(options.json, command,
                          "--report-log is for the commands that talk to a box: list, run, action and flash");
    std::string error;
    if (talksToBox && options.simulate && !CheckSimulateKeys(options.simulateKeys, error))
        return UsageError(options.json, command, error);
    // Every file the command writes is checked against every file it reads
    // or keeps, by identity, before any of them is opened.
    std::vector<vexu::RoleFile> outputs, inputs;
    if (talksToBox) {
        outputs.push_back({"report log", options.reportLog});
        if (flashRead->parsed()) outputs.push_back({"flash read output", flashOptions.output});
        inputs.push_back({"FPGA data image", options.fpgaImage});
        inputs.push_back({"serial-flash image", options.eepromImage});
        if (flashVerify->parsed()) inputs.push_back({"file to verify against", flashOptions.file});
        inputs.push_back({"serial file", serialFile});
        inputs.push_back({"run log", RunLogPath()});
        if (run->parsed()) inputs.push_back({"serial-number state file", DefaultSerialStatePath()});
#ifdef VEXU_STATION_DB
        // The station's database and its write-ahead log are state too.
        if (run->parsed())
            for (const std::string suffix : {"", "-wal", "-shm"})
                inputs.push_back({"station database", vexu::station::DefaultStationDbPath() + suffix});
#endif
    }
    if (imageBuild->parsed()) {
        outputs.push_back({"image to build", build.output});
        for (const auto& [role, path] : {std::pair{"boundary-scan file", &build.boundaryScanFile},
                                         {"array rows file", &build.arrayFile},
                                         {"RLOCK row file", &build.rlockFile},
                                         {"FlashROM pages file", &build.flashRomFile}})
            inputs.push_back({role, *path});
        for (const std::string& segment : build.nvmSegments) {
            // BLOCK:ADDRESS:PAGEVALUE:FILE
            size_t colon = 0;
            for (int k = 0; k < 3 && colon != std::string::npos; ++k) colon = segment.find(':', colon ? colon + 1 : 0);
            if (colon != std::string::npos) inputs.push_back({"NVM segment file", segment.substr(colon + 1)});
        }
    }
    if (imageScramble->parsed()) {
        inputs.push_back({"plain image", scrambleIn});
        outputs.push_back({"stored image", scrambleOut});
    }
    if (imageUnscramble->parsed()) {
        inputs.push_back({"stored image", unscrambleIn});
        outputs.push_back({"plain image", unscrambleOut});
    }
    // settings set reads and writes its record in place, by design.
    if (settingsWrite->parsed() || settingsSet->parsed()) outputs.push_back({"settings record", settingsFile});
    if (!vexu::CheckOutputFiles(outputs, inputs, error)) return UsageError(options.json, command, error);
    if (!options.reportLog.empty() && !vexu::SetReportLog(options.reportLog, error))
        return UsageError(options.json, command, error);
    if (list->parsed()) return FinishBoxCommand(RunList(options));
    if (flash->parsed()) return FinishBoxCommand(RunFlash(options, flashOptions));
    if (action->parsed()) return FinishBoxCommand(RunAction(options, actionOptions));
    if (run->parsed()) return FinishBoxCommand(RunRun(options, runOptions));
    if (imageInfo->parsed()) return RunImageInfo(options, infoFile);
    if (imageBuild->parsed()) return RunImageBuild(options, build);
    if (imageScramble->parsed()) return RunImageScramble(options, scrambleIn, scrambleOut, true);
    if (imageUnscramble->parsed()) return RunImageScramble(options, unscrambleIn, unscrambleOut, false);
    if (settingsWrite->parsed()) return RunSettingsWrite(options, settingsFile);
    if (settingsSet->parsed()) return RunSettingsSet(options, settingsFile, settingsField, settingsValue);
    if (settingsShow->parsed()) return RunSettingsShow(options, settingsFile);
#ifdef VEXU_STATION_DB
    if (report->parsed()) return FinishPlainCommand(options.json, command, RunReport(reportOptions));
#endif
    return UsageError(options.json, command, "no command given (see --help)");
}
