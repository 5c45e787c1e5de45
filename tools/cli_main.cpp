// vexu-cli: the programmer for engineers and production stations.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "link/report_log.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "tools/cli.h"

using namespace vexu::cli;

int main(int argc, char** argv) {
    vexu::UseBinaryStdio();
    CLI::App app{"Vexu Dual Programmer - command line"};
    app.require_subcommand(1);
    // Global options may also follow the command ("vexu-cli run --json").
    app.fallthrough();
    GlobalOptions options;
    app.add_flag("--trace", options.trace, "Write trace lines to standard error");
    app.add_option("--report-log", options.reportLog,
                   "Write every feature-report transfer to FILE, one per line");
    auto* simulate = app.add_option("--simulate", options.simulateKeys, SimulateHelp())
                         ->type_name("[=KEYS]")
                         ->expected(0, 1);
    app.add_flag("--json", options.json,
                 "Print one JSON object per line on stdout: progress, log texts and the result (see README)");
    app.add_option("--fpga-image", options.fpgaImage, "Plain FPGA data image to use instead of the embedded one");
    app.add_option("--eeprom-image", options.eepromImage,
                   "Plain serial-flash image to use instead of the embedded one");

    CLI::App* list = app.add_subcommand("list", "List the programmer boxes present");

    CLI::App* image = app.add_subcommand("image", "Inspect, build and scramble FPGA data images");
    image->require_subcommand(1);
    std::string infoFile;
    CLI::App* imageInfo = image->add_subcommand("info", "Header, directory, flags, device and CRC of a data image");
    imageInfo->add_option("file", infoFile, "The data image (plain)")->required();

    ImageBuildOptions build;
    CLI::App* imageBuild = image->add_subcommand("build", "Compose a data image from its parts");
    imageBuild->add_option("-o,--output", build.output, "The image to write")->required();
    imageBuild->add_flag("--demo", build.demo, "Start from the demo image's parts; the options below replace them");
    imageBuild->add_option("--idcode", build.idCode, "Expected ID code (a row of the identification table)");
    imageBuild->add_option("--variant", build.variant, "Device variant marker: 7 M7, 1 M1, 0 neither");
    imageBuild->add_option("--boundary-scan", build.boundaryScanFile, "Boundary-scan register data file");
    imageBuild->add_option("--array", build.arrayFile, "Array rows file: every plain row in the order programmed");
    imageBuild->add_option("--rlock", build.rlockFile, "RLOCK row file (one plain row)");
    imageBuild->add_option("--flashrom-mask", build.flashRomMask, "FlashROM page-selection mask (bit k: page k)");
    imageBuild->add_option("--flashrom", build.flashRomFile, "FlashROM pages file: 8 pages of 16 bytes, page 0 first");
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
    imageBuild->add_option("--encrypt", build.encrypt, "Parts to encrypt: array, flashrom, nvm0 .. nvm3")
        ->delimiter(',');
    imageBuild->add_option("--support-flags", build.supportFlags, "Write these support flags instead of the derived ones");

    std::string scrambleIn, scrambleOut;
    CLI::App* imageScramble = image->add_subcommand("scramble", "Plain image to the stored (embedded) form");
    imageScramble->add_option("input", scrambleIn, "Plain image")->required();
    imageScramble->add_option("output", scrambleOut, "Stored form to write")->required();
    std::string unscrambleIn, unscrambleOut;
    CLI::App* imageUnscramble = image->add_subcommand("unscramble", "Stored (embedded) form back to the plain image");
    imageUnscramble->add_option("input", unscrambleIn, "Stored form")->required();
    imageUnscramble->add_option("output", unscrambleOut, "Plain image to write")->required();

    CLI::App* settings = app.add_subcommand("settings", "The settings record file (AppSetting.bin)");
    settings->require_subcommand(1);
    std::string settingsFile = "AppSetting.bin";
    std::string settingsField, settingsValue;
    CLI::App* settingsWrite = settings->add_subcommand("write", "Write the record with the built-in defaults");
    settingsWrite->add_option("file", settingsFile, "Record file (default AppSetting.bin)");
    CLI::App* settingsSet = settings->add_subcommand("set", "Set one field of a record file");
    settingsSet->add_option("file", settingsFile, "Record file")->required();
    settingsSet->add_option("field", settingsField, "Field name, as 'settings show' lists them")->required();
    settingsSet->add_option("value", settingsValue, "Colour 0x00BBGGRR, flag 0 or 1, or text")->required();
    CLI::App* settingsShow = settings->add_subcommand("show", "List every field of a record file");
    settingsShow->add_option("file", settingsFile, "Record file")->required();
    CLI::App* flash = app.add_subcommand(
        "flash", "Erase, write, read back and compare the board's serial flash (the serial-flash job alone)");

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
    run->add_flag("--station", runOptions.station,
                  "Production station: wait for a box, run, print PASS or FAIL, wait for the next; Ctrl-C stops");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    options.simulate = simulate->count() > 0;
    vexu::SetTraceToStderr(options.trace);
    if (!options.reportLog.empty() && !vexu::SetReportLog(options.reportLog)) {
        fprintf(stderr, "cannot write the report log %s\n", options.reportLog.c_str());
        return kExitUsage;
    }
    if (list->parsed()) return RunList(options);
    if (imageInfo->parsed()) return RunImageInfo(infoFile);
    if (imageBuild->parsed()) return RunImageBuild(build);
    if (imageScramble->parsed()) return RunImageScramble(scrambleIn, scrambleOut, true);
    if (imageUnscramble->parsed()) return RunImageScramble(unscrambleIn, unscrambleOut, false);
    if (settingsWrite->parsed()) return RunSettingsWrite(settingsFile);
    if (settingsSet->parsed()) return RunSettingsSet(settingsFile, settingsField, settingsValue);
    if (settingsShow->parsed()) return RunSettingsShow(settingsFile);
    if (flash->parsed()) return RunFlash(options);
    if (action->parsed()) return RunAction(options, actionOptions);
    if (run->parsed()) return RunRun(options, runOptions);
    return kExitUsage;
}
