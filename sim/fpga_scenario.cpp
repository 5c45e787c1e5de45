// The FPGA's identification table and its scenario keys.
#include "sim/fpga_scenario.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <vector>

namespace vexu::sim {
namespace {

// Hexadecimal bytes, first byte first, optional 0x prefix.
bool ParseHexBytes(std::string text, std::span<uint8_t> out, bool allowShort) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.size() % 2 != 0 || text.empty() || text.size() / 2 > out.size()) return false;
    if (!allowShort && text.size() / 2 != out.size()) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            return false;
        }
        out[i / 2] = static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16));
    }
    return true;
}

// Byte contents: a single fill byte (0xNN) or the bytes themselves.
bool ParseContents(const std::string& text, std::span<uint8_t> out) {
    uint64_t fill = 0;
    if (text.size() <= 4 && ParseUnsigned(text, fill) && fill <= 0xFF) {
        std::fill(out.begin(), out.end(), static_cast<uint8_t>(fill));
        return true;
    }
    std::fill(out.begin(), out.end(), 0xFF);
    return ParseHexBytes(text, out, true);
}

bool BadValue(const std::string& key, const std::string& value, const char* wanted,
              std::string& error) {
    error = "scenario key \"" + key + "\" needs " + wanted + ", not \"" + value + "\"";
    return false;
}

// Takes one key; false with error set when its value is unusable.
using Apply = std::function<bool(Scenario&, const std::string& key, FpgaScenario&, std::string&)>;

struct KeyEntry {
    const char* key;
    const char* form;  // the value form shown in the help ("=N", "" for a flag)
    const char* help;
    Apply apply;
};

template <typename Field>
Apply Number(Field field, uint64_t max, uint64_t min = 0) {
    return [field, max, min](Scenario& keys, const std::string& key, FpgaScenario& s,
                             std::string& error) {
        if (!keys.Has(key)) return true;
        uint64_t value = 0;
        if (!keys.TakeUnsigned(key, max, value, error, min)) return false;
        field(s, value);
        return true;
    };
}

Apply Flag(bool FpgaFaults::*field) {
    return [field](Scenario& keys, const std::string& key, FpgaScenario& s, std::string& error) {
        return keys.TakeFlag(key, s.faults.*field, error);
    };
}

Apply Time(uint32_t FpgaTimes::*field) {
    return Number([field](FpgaScenario& s, uint64_t v) { s.times.*field = static_cast<uint32_t>(v); },
                  100'000'000);
}

Apply Text(std::function<bool(const std::string&, FpgaScenario&)> parse, const char* wanted) {
    return [parse, wanted](Scenario& keys, const std::string& key, FpgaScenario& s,
                           std::string& error) {
        std::string value;
        if (!keys.Has(key)) return true;
        if (!keys.TakeText(key, value, error)) return false;
        return parse(value, s) || BadValue(key, value, wanted, error);
    };
}

Apply Key(AesKey128 FpgaScenario::*field) {
    return Text([field](const std::string& text, FpgaScenario& s) {
        return ParseHexBytes(text, s.*field, false);
    }, "32 hexadecimal digits");
}

Apply Contents(std::function<std::span<uint8_t>(FpgaScenario&)> field) {
    return Text([field](const std::string& text, FpgaScenario& s) {
        return ParseContents(text, field(s));
    }, "a fill byte or hexadecimal bytes");
}

const std::vector<KeyEntry>& KeyTable() {
    static const std::vector<KeyEntry> table = {
        // The ID code goes first: it selects a geometry that the keys after
        // it may override.
        {"idcode", "=N", "FPGA ID code; selects its identification-table row (default 0x029121CF)",
         Number([](FpgaScenario& s, uint64_t v) {
             s.idcode = static_cast<uint32_t>(v);
             if (const DeviceIdRow* row = FindFpgaGeometry(s.idcode)) s.geometry = *row;
         }, 0xFFFFFFFF)},
        {"device-class", "=1|2", "FPGA device class (overrides the table)",
         Number([](FpgaScenario& s, uint64_t v) { s.geometry.deviceClass = static_cast<uint8_t>(v); }, 2, 1)},
        {"row-width-factor", "=N", "FPGA row-width factor (overrides the table)",
         Number([](FpgaScenario& s, uint64_t v) { s.geometry.rowWidthFactor = static_cast<uint8_t>(v); },
                32, 1)},
        {"rows", "=N", "FPGA array row count (overrides the table)",
         Number([](FpgaScenario& s, uint64_t v) { s.geometry.arrayRowCount = static_cast<uint32_t>(v); },
                100'000, 1)},
        {"bsr-bits", "=N", "FPGA boundary-scan register length (overrides the table)",
         Number([](FpgaScenario& s, uint64_t v) {
             s.geometry.boundaryScanLength = static_cast<uint32_t>(v);
         }, 65'535, 1)},
        {"variant", "=plain|m7|m1", "FPGA variant the M7/M1 challenges find",
         Text([](const std::string& text, FpgaScenario& s) {
             if (text == "plain") s.variant = FpgaVariant::Plain;
             else if (text == "m7") s.variant = FpgaVariant::M7;
             else if (text == "m1") s.variant = FpgaVariant::M1;
             else return false;
             return true;
         }, "plain, m7 or m1")},
        {"security", "=N",
         "FPGA lock bits 0-23 as the engine's security word (default 0); bit 20 (0x100000) takes encrypted array "
         "data, bit 18 (0x40000) encrypted FlashROM data, bit 3k+2 encrypted data for NVM block k",
         Number([](FpgaScenario& s, uint64_t v) { s.securityWord = static_cast<uint32_t>(v); }, 0xFFFFFF)},
        {"silsig", "=N", "FPGA silicon signature (default 0)",
         Number([](FpgaScenario& s, uint64_t v) { s.siliconSignature = static_cast<uint32_t>(v); },
                0xFFFFFFFF)},
        {"pass-key", "=HEX", "FPGA pass key, 32 hex digits, byte 0 first (default all zero)",
         Key(&FpgaScenario::passKey)},
        {"aes-key", "=HEX", "FPGA AES key, 32 hex digits, byte 0 first (default all zero)",
         Key(&FpgaScenario::aesKey)},
        {"array", "=N", "FPGA array and RLOCK fill byte (default 0xFF: blank)",
         Number([](FpgaScenario& s, uint64_t v) { s.arrayFill = static_cast<uint8_t>(v); }, 0xFF)},
        {"flashrom", "=N|HEX", "FlashROM fill byte, or up to 128 bytes (page 0 first; default blank)",
         Contents([](FpgaScenario& s) { return std::span<uint8_t>(s.flashRom); })},
        {"urow", "=N|HEX", "UROW fill byte, or up to 16 bytes (default blank)",
         Contents([](FpgaScenario& s) { return std::span<uint8_t>(s.urow); })},
        {"factory-row", "=N|HEX", "factory row (serial number), up to 16 bytes",
         Contents([](FpgaScenario& s) { return std::span<uint8_t>(s.factoryRow); })},
        {"nvm", "=N", "NVM fill byte (default 0xFF: blank)",
         Number([](FpgaScenario& s, uint64_t v) { s.nvmFill = static_cast<uint8_t>(v); }, 0xFF)},
        {"nvm-blocks", "=N", "NVM blocks 0-4 (default 4 for device class 2, 0 for class 1)",
         Number([](FpgaScenario& s, uint64_t v) {
             s.nvmBlocks = static_cast<uint8_t>(v);
             s.nvmBlocksGiven = true;
         }, 4)},
        {"program-us", "=N", "FPGA row program time in microseconds (default 250)",
         Time(&FpgaTimes::rowProgramUs)},
        {"verify-us", "=N", "FPGA row verify time (default 100)", Time(&FpgaTimes::verifyUs)},
        {"erase-us", "=N", "FPGA erase time (default 40000)", Time(&FpgaTimes::eraseUs)},
        {"register-program-us", "=N", "RLOCK, UROW, FlashROM, security and key program time (default 400)",
         Time(&FpgaTimes::registerProgramUs)},
        {"compare-us", "=N", "FlashROM compare time (default 100)", Time(&FpgaTimes::compareUs)},
        {"read-us", "=N", "UROW, factory row, FlashROM read and pass-key match time (default 40)",
         Time(&FpgaTimes::readUs)},
        {"aes-us", "=N", "AES check time (default 200)", Time(&FpgaTimes::aesUs)},
        {"nvm-address-us", "=N", "NVM address load time (default 10)", Time(&FpgaTimes::nvmAddressUs)},
        {"nvm-program-us", "=N", "NVM page program time (default 80)", Time(&FpgaTimes::nvmProgramUs)},
        {"nvm-read-us", "=N", "NVM word read time (default 20)", Time(&FpgaTimes::nvmReadUs)},
        {"mode-refused", "=ir|flag|status",
         "fault: programming mode refused, shown by the IR capture, the mode flag or the status",
         Text([](const std::string& text, FpgaScenario& s) {
             if (text == "ir") s.faults.modeRefused = ModeRefusal::IrCapture;
             else if (text == "flag") s.faults.modeRefused = ModeRefusal::ModeFlag;
             else if (text == "status") s.faults.modeRefused = ModeRefusal::Status;
             else return false;
             return true;
         }, "ir, flag or status")},
        {"never-ready", "", "fault: the FPGA never finishes a program operation",
         Flag(&FpgaFaults::neverReady)},
        {"erase-never-completes", "", "fault: the FPGA never finishes an erase",
         Flag(&FpgaFaults::eraseNeverCompletes)},
        {"verify-fail-row", "=R", "fault: the array verify of row R reports a mismatch",
         Number([](FpgaScenario& s, uint64_t v) { s.faults.verifyFailRow = static_cast<int64_t>(v); },
                100'000)},
        {"verify-fail-pass", "=0|1", "fault: the verify pass (0 or 1) in which verify-fail-row fails (default 0)",
         Number([](FpgaScenario& s, uint64_t v) { s.faults.verifyFailPass = static_cast<uint8_t>(v); }, 1)},
        {"flashrom-compare-fail", "[=P]", "fault: the FlashROM compare of page P (bare: every page) fails",
         [](Scenario& keys, const std::string& key, FpgaScenario& s, std::string& error) {
             std::optional<std::string> value = keys.Take(key);
             if (!value) return true;
             uint64_t page = 8;
             if (!value->empty() && (!ParseUnsigned(*value, page) || page > 7)) {
                 error = RangeError(key, 0, 7, *value);
                 return false;
             }
             s.faults.flashRomCompareFailPage = static_cast<int>(page);
             return true;
         }},
        {"auth-fail", "", "fault: no encrypted data authenticates", Flag(&FpgaFaults::authFailAll)},
        {"auth-fail-row", "=R", "fault: the encrypted array row R fails authentication",
         Number([](FpgaScenario& s, uint64_t v) { s.faults.authFailRow = static_cast<int64_t>(v); },
                100'000)},
        {"aes-silent", "", "fault: the AES check gives no answer", Flag(&FpgaFaults::aesSilent)},
        {"nvm-frame-refused", "=N", "fault: the N-th encrypted NVM frame (from 1) is refused",
         Number([](FpgaScenario& s, uint64_t v) { s.faults.nvmRefuseFrame = static_cast<uint32_t>(v); },
                0xFFFFFFFF, 1)},
        {"security-readback-differs", "", "fault: the security register keeps a bit other than written",
         Flag(&FpgaFaults::securityReadbackDiffers)},
    };
    return table;
}

}  // namespace

const DeviceIdRow* FindFpgaGeometry(uint32_t idcode) {
    const int row = FindDeviceIdRow(idcode, idcode);
    return row < 0 ? nullptr : &kDeviceIdTable[row];
}

FpgaScenario::FpgaScenario() {
    flashRom.fill(0xFF);
    urow.fill(0xFF);
    // A factory serial number that reads as something other than blank.
    for (size_t i = 0; i < factoryRow.size(); ++i) factoryRow[i] = static_cast<uint8_t>(0xF0 + i);
}

bool TakeFpgaScenario(Scenario& keys, FpgaScenario& scenario, std::string& error) {
    for (const KeyEntry& entry : KeyTable()) {
        if (!entry.apply(keys, entry.key, scenario, error)) return false;
    }
    // A fault on a row the device does not have would never show: the
    // test that asked for it would pass for the wrong reason.
    const int64_t rows = scenario.geometry.arrayRowCount;
    for (auto [key, row] : {std::pair{"verify-fail-row", scenario.faults.verifyFailRow},
                            std::pair{"auth-fail-row", scenario.faults.authFailRow}}) {
        if (row >= rows) {
            error = RangeError(key, 0, static_cast<uint64_t>(rows - 1), std::to_string(row));
            return false;
        }
    }
    return true;
}

std::span<const ScenarioKeyHelp> FpgaScenarioKeyHelp() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> lines;
        for (const KeyEntry& entry : KeyTable()) lines.push_back(std::string(entry.key) + entry.form);
        return lines;
    }();
    static const std::vector<ScenarioKeyHelp> help = [] {
        std::vector<ScenarioKeyHelp> lines;
        for (size_t i = 0; i < KeyTable().size(); ++i) lines.push_back({names[i].c_str(), KeyTable()[i].help});
        return lines;
    }();
    return help;
}

}  // namespace vexu::sim
