// The FPGA's identification table and its scenario keys.
#include "sim/fpga_scenario.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>

namespace vexu::sim {
namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) return false;
    value = parsed;
    return true;
}

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

// A flag key is on when it has no value or a true-ish one.
bool ParseFlag(const std::string& text, bool& value) {
    if (text.empty() || text == "1" || text == "yes" || text == "true" || text == "on") {
        value = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "false" || text == "off") {
        value = false;
        return true;
    }
    return false;
}

// Byte contents: a single fill byte (0xNN) or the bytes themselves.
bool ParseContents(const std::string& text, std::span<uint8_t> out) {
    uint64_t fill = 0;
    if (text.size() <= 4 && ParseNumber(text, 0xFF, fill)) {
        std::fill(out.begin(), out.end(), static_cast<uint8_t>(fill));
        return true;
    }
    std::fill(out.begin(), out.end(), 0xFF);
    return ParseHexBytes(text, out, true);
}

using Apply = std::function<bool(const std::string&, FpgaScenario&)>;

struct KeyEntry {
    ScenarioKeyHelp help;
    Apply apply;
};

template <typename T>
Apply Number(T FpgaScenario::*field, uint64_t max) {
    return [field, max](const std::string& text, FpgaScenario& s) {
        uint64_t value = 0;
        if (!ParseNumber(text, max, value)) return false;
        s.*field = static_cast<T>(value);
        return true;
    };
}

Apply Time(uint32_t FpgaTimes::*field) {
    return [field](const std::string& text, FpgaScenario& s) {
        uint64_t value = 0;
        if (!ParseNumber(text, 100'000'000, value)) return false;
        s.times.*field = static_cast<uint32_t>(value);
        return true;
    };
}

Apply Flag(bool FpgaFaults::*field) {
    return [field](const std::string& text, FpgaScenario& s) {
        return ParseFlag(text, s.faults.*field);
    };
}

Apply Key(AesKey128 FpgaScenario::*field) {
    return [field](const std::string& text, FpgaScenario& s) {
        return ParseHexBytes(text, s.*field, false);
    };
}

Apply Geometry(uint32_t limit, std::function<void(DeviceIdRow&, uint32_t)> set) {
    return [limit, set](const std::string& text, FpgaScenario& s) {
        uint64_t value = 0;
        if (!ParseNumber(text, limit, value) || value == 0) return false;
        set(s.geometry, static_cast<uint32_t>(value));
        return true;
    };
}

const std::vector<KeyEntry>& KeyTable() {
    static const std::vector<KeyEntry> table = {
        {{"idcode", "FPGA ID code (0x...); selects the geometry of its identification-table row"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 0xFFFFFFFF, value)) return false;
             s.idcode = static_cast<uint32_t>(value);
             if (const DeviceIdRow* row = FindFpgaGeometry(s.idcode)) s.geometry = *row;
             return true;
         }},
        {{"device-class", "FPGA device class 1 or 2 (overrides the table)"},
         Geometry(2, [](DeviceIdRow& g, uint32_t v) { g.deviceClass = static_cast<uint8_t>(v); })},
        {{"row-width-factor", "FPGA row-width factor (overrides the table)"},
         Geometry(32, [](DeviceIdRow& g, uint32_t v) { g.rowWidthFactor = static_cast<uint8_t>(v); })},
        {{"rows", "FPGA array row count (overrides the table)"},
         Geometry(100'000, [](DeviceIdRow& g, uint32_t v) { g.arrayRowCount = v; })},
        {{"bsr-bits", "FPGA boundary-scan register length (overrides the table)"},
         Geometry(65'535, [](DeviceIdRow& g, uint32_t v) { g.boundaryScanLength = v; })},
        {{"variant", "FPGA variant: plain, m7 or m1"},
         [](const std::string& text, FpgaScenario& s) {
             if (text == "plain") s.variant = FpgaVariant::Plain;
             else if (text == "m7") s.variant = FpgaVariant::M7;
             else if (text == "m1") s.variant = FpgaVariant::M1;
             else return false;
             return true;
         }},
        {{"security", "FPGA security lock bits 0-23 as the engine's security word (0x...)"},
         Number(&FpgaScenario::securityWord, 0xFFFFFF)},
        {{"silsig", "FPGA silicon signature (0x...)"},
         Number(&FpgaScenario::siliconSignature, 0xFFFFFFFF)},
        {{"pass-key", "FPGA pass key, 32 hex digits, byte 0 first"}, Key(&FpgaScenario::passKey)},
        {{"aes-key", "FPGA AES key, 32 hex digits, byte 0 first"}, Key(&FpgaScenario::aesKey)},
        {{"array", "FPGA array and RLOCK contents: fill byte (default 0xFF, blank)"},
         Number(&FpgaScenario::arrayFill, 0xFF)},
        {{"flashrom", "FlashROM contents: fill byte, or up to 128 bytes in hex (page 0 first)"},
         [](const std::string& text, FpgaScenario& s) { return ParseContents(text, s.flashRom); }},
        {{"urow", "UROW contents: fill byte, or up to 16 bytes in hex"},
         [](const std::string& text, FpgaScenario& s) { return ParseContents(text, s.urow); }},
        {{"factory-row", "factory row (serial number): up to 16 bytes in hex"},
         [](const std::string& text, FpgaScenario& s) { return ParseContents(text, s.factoryRow); }},
        {{"nvm", "NVM contents: fill byte (default 0xFF)"}, Number(&FpgaScenario::nvmFill, 0xFF)},
        {{"nvm-blocks", "number of NVM blocks 0-4 (default 4 for class 2, 0 for class 1)"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 4, value)) return false;
             s.nvmBlocks = static_cast<uint8_t>(value);
             s.nvmBlocksGiven = true;
             return true;
         }},
        {{"program-us", "FPGA row program time (us)"}, Time(&FpgaTimes::rowProgramUs)},
        {{"verify-us", "FPGA row verify time (us)"}, Time(&FpgaTimes::verifyUs)},
        {{"erase-us", "FPGA erase time (us)"}, Time(&FpgaTimes::eraseUs)},
        {{"register-program-us", "RLOCK/UROW/FlashROM/security/key program time (us)"},
         Time(&FpgaTimes::registerProgramUs)},
        {{"compare-us", "FlashROM compare time (us)"}, Time(&FpgaTimes::compareUs)},
        {{"read-us", "UROW/factory/FlashROM read and pass-key match time (us)"},
         Time(&FpgaTimes::readUs)},
        {{"aes-us", "AES check time (us)"}, Time(&FpgaTimes::aesUs)},
        {{"nvm-address-us", "NVM address load time (us)"}, Time(&FpgaTimes::nvmAddressUs)},
        {{"nvm-program-us", "NVM page program time (us)"}, Time(&FpgaTimes::nvmProgramUs)},
        {{"nvm-read-us", "NVM word read time (us)"}, Time(&FpgaTimes::nvmReadUs)},
        {{"mode-refused", "fault: programming mode refused, shown by ir (IR capture), "
                          "flag (entry register) or status (status register)"},
         [](const std::string& text, FpgaScenario& s) {
             if (text == "ir") s.faults.modeRefused = ModeRefusal::IrCapture;
             else if (text == "flag") s.faults.modeRefused = ModeRefusal::ModeFlag;
             else if (text == "status") s.faults.modeRefused = ModeRefusal::Status;
             else return false;
             return true;
         }},
        {{"never-ready", "fault: program operations never finish"},
         Flag(&FpgaFaults::neverReady)},
        {{"erase-never-completes", "fault: erase operations never finish"},
         Flag(&FpgaFaults::eraseNeverCompletes)},
        {{"verify-fail-row", "fault: array verify of row R reports a mismatch"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 100'000, value)) return false;
             s.faults.verifyFailRow = static_cast<int64_t>(value);
             return true;
         }},
        {{"verify-fail-pass", "fault: the pass (0 or 1) in which verify-fail-row fails"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 1, value)) return false;
             s.faults.verifyFailPass = static_cast<uint8_t>(value);
             return true;
         }},
        {{"flashrom-compare-fail", "fault: FlashROM compare of page P fails (no value: every page)"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 8;
             if (!text.empty() && !ParseNumber(text, 7, value)) return false;
             s.faults.flashRomCompareFailPage = static_cast<int>(value);
             return true;
         }},
        {{"auth-fail", "fault: no encrypted data authenticates"}, Flag(&FpgaFaults::authFailAll)},
        {{"auth-fail-row", "fault: the encrypted array row R fails authentication"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 100'000, value)) return false;
             s.faults.authFailRow = static_cast<int64_t>(value);
             return true;
         }},
        {{"aes-silent", "fault: the AES check gives no answer"}, Flag(&FpgaFaults::aesSilent)},
        {{"nvm-frame-refused", "fault: the N-th encrypted NVM frame (from 1) is refused"},
         [](const std::string& text, FpgaScenario& s) {
             uint64_t value = 0;
             if (!ParseNumber(text, 0xFFFFFFFF, value) || value == 0) return false;
             s.faults.nvmRefuseFrame = static_cast<uint32_t>(value);
             return true;
         }},
        {{"security-readback-differs", "fault: the security register keeps a bit other than written"},
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

bool ConsumeFpgaScenarioKeys(std::map<std::string, std::string>& keys, FpgaScenario& scenario,
                             std::string& error) {
    // The ID code goes first: it selects a geometry that other keys may
    // then override, whatever order the keys came in.
    const auto& table = KeyTable();
    auto applyOne = [&](const KeyEntry& entry) {
        auto it = keys.find(entry.help.key);
        if (it == keys.end()) return true;
        if (!entry.apply(it->second, scenario)) {
            error = "bad value for " + it->first + ": \"" + it->second + "\"";
            return false;
        }
        keys.erase(it);
        return true;
    };
    if (!applyOne(table.front())) return false;
    for (size_t i = 1; i < table.size(); ++i) {
        if (!applyOne(table[i])) return false;
    }
    return true;
}

std::span<const ScenarioKeyHelp> FpgaScenarioKeyHelp() {
    static const std::vector<ScenarioKeyHelp> help = [] {
        std::vector<ScenarioKeyHelp> lines;
        for (const KeyEntry& entry : KeyTable()) lines.push_back(entry.help);
        return lines;
    }();
    return help;
}

}  // namespace vexu::sim
