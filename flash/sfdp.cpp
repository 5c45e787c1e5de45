#include "flash/sfdp.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kSignature = 0x50444653;  // "SFDP", little-endian
constexpr uint32_t kHeaderBytes = 16;        // SFDP header and the first parameter header
constexpr uint32_t kMaxDwords = 64;

uint32_t Dword(const std::vector<uint8_t>& table, uint32_t number) {
    const uint32_t at = (number - 1) * 4;
    if (at + 4 > table.size()) return 0;
    return table[at] | (table[at + 1] << 8) | (table[at + 2] << 16) | (uint32_t{table[at + 3]} << 24);
}

uint32_t Bits(uint32_t value, int high, int low) { return (value >> low) & ((1u << (high - low + 1)) - 1); }

// Erase time: (count + 1) units of 1 ms, 16 ms, 128 ms or 1 s.
uint32_t EraseMs(uint32_t count, uint32_t units) {
    constexpr uint32_t kUnits[] = {1, 16, 128, 1000};
    return (count + 1) * kUnits[units & 3];
}

std::string Bytes(uint32_t value) { return std::to_string(value) + " bytes"; }

std::string EraseList(const FlashErase* erase, int count) {
    std::vector<std::pair<uint32_t, uint8_t>> types;
    for (int i = 0; i < count; ++i)
        if (erase[i].size) types.emplace_back(erase[i].size, erase[i].opcode);
    std::sort(types.begin(), types.end());
    std::string text;
    for (const auto& [size, opcode] : types) {
        char one[32];
        snprintf(one, sizeof one, "%s%u KiB 0x%02X", text.empty() ? "" : ", ", size / 1024, opcode);
        text += one;
    }
    return text.empty() ? "none" : text;
}

const char* AddressText(uint8_t modes) {
    switch (modes) {
        case 0: return "3";
        case 1: return "3 or 4";
        case 2: return "4";
    }
    return "reserved";
}

std::string Mismatch(const std::string& what, const std::string& sfdp, const std::string& table) {
    return what + " " + sfdp + " in its SFDP, " + table + " in the chip table";
}

}  // namespace

bool ReadSfdp(const SfdpReader& read, SfdpParameters& parameters, std::string& error) {
    parameters = {};
    uint8_t header[kHeaderBytes] = {};
    if (!read(0, header, kHeaderBytes)) {
        error = "SFDP header could not be read";
        return false;
    }
    const uint32_t signature = header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t{header[3]} << 24);
    if (signature != kSignature) {
        error = "no SFDP signature";
        return false;
    }
    // The first parameter header is the basic flash parameter table's
    // (ID 0xFF00).
    if (header[8] != 0x00 || header[15] != 0xFF) {
        error = "the first SFDP parameter table is not the basic flash parameter table";
        return false;
    }
    parameters.minor = header[9];
    parameters.major = header[10];
    parameters.dwords = header[11];
    const uint32_t pointer = header[12] | (header[13] << 8) | (header[14] << 16);
    if (parameters.dwords < 9 || parameters.dwords > kMaxDwords) {
        error = "SFDP basic table of " + std::to_string(parameters.dwords) + " DWORDs";
        return false;
    }
    std::vector<uint8_t> table(parameters.dwords * 4);
    if (!read(pointer, table.data(), static_cast<uint32_t>(table.size()))) {
        error = "SFDP basic table could not be read";
        return false;
    }
    const uint32_t d1 = Dword(table, 1);
    parameters.erase4K = Bits(d1, 1, 0) == 1;
    parameters.erase4KOpcode = static_cast<uint8_t>(Bits(d1, 15, 8));
    parameters.addressModes = static_cast<uint8_t>(Bits(d1, 18, 17));
    const uint32_t d2 = Dword(table, 2);
    if (d2 & 0x80000000u) {
        const uint32_t exponent = d2 & 0x7FFFFFFF;
        parameters.size = exponent >= 3 && exponent < 35 ? static_cast<uint32_t>(uint64_t{1} << (exponent - 3)) : 0;
    } else {
        parameters.size = static_cast<uint32_t>((uint64_t{d2} + 1) / 8);
    }
    const uint32_t d8 = Dword(table, 8);
    const uint32_t d9 = Dword(table, 9);
    const uint32_t words[4] = {d8, d8 >> 16, d9, d9 >> 16};
    for (int i = 0; i < 4; ++i) {
        const uint32_t exponent = words[i] & 0xFF;
        if (exponent == 0 || exponent > 31) continue;
        parameters.erase[i].size = 1u << exponent;
        parameters.erase[i].opcode = static_cast<uint8_t>((words[i] >> 8) & 0xFF);
    }
    if (parameters.dwords >= 11) {
        const uint32_t d10 = Dword(table, 10);
        const uint32_t multiplier = 2 * (Bits(d10, 3, 0) + 1);
        const int low[4] = {4, 11, 18, 25};
        for (int i = 0; i < 4; ++i) {
            if (!parameters.erase[i].size) continue;
            const uint32_t typical = EraseMs(Bits(d10, low[i] + 4, low[i]), Bits(d10, low[i] + 6, low[i] + 5));
            parameters.erase[i].ms = {typical, typical * multiplier};
        }
        const uint32_t d11 = Dword(table, 11);
        parameters.pageSize = 1u << Bits(d11, 7, 4);
        const uint32_t programUnit = Bits(d11, 13, 13) ? 64 : 8;
        const uint32_t program = (Bits(d11, 12, 8) + 1) * programUnit;
        parameters.programUs = {program, program * 2 * (Bits(d11, 3, 0) + 1)};
        constexpr uint32_t kChipUnits[] = {16, 256, 4000, 64000};
        const uint32_t chip = (Bits(d11, 28, 24) + 1) * kChipUnits[Bits(d11, 30, 29)];
        parameters.chipEraseMs = {chip, chip * 2 * (Bits(d11, 3, 0) + 1)};
    }
    if (parameters.size == 0) {
        error = "SFDP gives no density";
        return false;
    }
    return true;
}

std::string CompareSfdp(const SfdpParameters& sfdp, const FlashPart& part) {
    if (sfdp.size != part.size) return Mismatch("size", Bytes(sfdp.size), Bytes(part.size));
    if (sfdp.pageSize != part.pageSize) return Mismatch("page size", Bytes(sfdp.pageSize), Bytes(part.pageSize));
    const std::string sfdpErase = EraseList(sfdp.erase, 4);
    const std::string partErase = EraseList(part.erase, kMaxEraseTypes);
    if (sfdpErase != partErase) return Mismatch("erase types", sfdpErase, partErase);
    const bool partHas4K = SmallestErase(part).size == 4096;
    const bool sfdp4K = sfdp.erase4K;
    if (sfdp4K != partHas4K || (sfdp4K && sfdp.erase4KOpcode != SmallestErase(part).opcode)) {
        char a[24], b[24];
        snprintf(a, sizeof a, sfdp4K ? "0x%02X" : "none", sfdp.erase4KOpcode);
        snprintf(b, sizeof b, partHas4K ? "0x%02X" : "none", SmallestErase(part).opcode);
        return Mismatch("4 KiB erase", a, b);
    }
    const bool sfdpFour = sfdp.addressModes != 0;
    if (sfdpFour != (part.addressBytes == 4))
        return Mismatch("address bytes", AddressText(sfdp.addressModes), std::to_string(part.addressBytes));
    return {};
}

FlashPart PartFromSfdp(const SfdpParameters& sfdp, const char* name, uint8_t maker, uint8_t type,
                       uint8_t capacity) {
    FlashPart part;
    part.name = name;
    part.vendor = "SFDP";
    part.maker = maker;
    part.type = type;
    part.capacity = capacity;
    part.size = sfdp.size;
    part.pageSize = sfdp.pageSize;
    // Erase types smallest first, the three smallest.
    std::vector<FlashErase> types;
    for (const FlashErase& erase : sfdp.erase)
        if (erase.size) types.push_back(erase);
    std::sort(types.begin(), types.end(), [](const FlashErase& a, const FlashErase& b) { return a.size < b.size; });
    for (size_t i = 0; i < types.size() && i < kMaxEraseTypes; ++i) {
        part.erase[i] = types[i];
        // The four-byte forms every part of more than 16 MiB in the table uses.
        const uint8_t opcode = types[i].opcode;
        part.erase[i].opcode4 = opcode == 0x20 ? 0x21 : opcode == 0x52 ? 0x5C : opcode == 0xD8 ? 0xDC : 0;
        if (part.erase[i].ms.max == 0) part.erase[i].ms = {1000, 10000};
    }
    part.programUs = sfdp.programUs.max ? sfdp.programUs : FlashTime{1000, 5000};
    part.chipEraseMs = sfdp.chipEraseMs.max ? sfdp.chipEraseMs : FlashTime{100000, 1000000};
    part.addressBytes = part.size > 16u * 1024 * 1024 ? 4 : 3;
    part.sfdp = true;
    return part;
}

std::string FormatTableRow(const FlashPart& part) {
    char text[768];
    std::string erase;
    for (const FlashErase& e : part.erase) {
        if (!e.size) continue;
        char one[96];
        snprintf(one, sizeof one, "%s{%u * kKiB, 0x%02X, 0x%02X, {%u, %u}}", erase.empty() ? "" : ", ",
                 e.size / 1024, e.opcode, e.opcode4, e.ms.typical, e.ms.max);
        erase += one;
    }
    snprintf(text, sizeof text,
             "{.name = \"%s\", .vendor = \"%s\", .maker = 0x%02X, .type = 0x%02X, .capacity = 0x%02X, "
             ".size = %u * kKiB, .pageSize = %u, .erase = {%s}, .programUs = {%u, %u}, "
             ".chipEraseMs = {%u, %u}, .addressBytes = %u, .sfdp = true},",
             part.name, part.vendor, part.maker, part.type, part.capacity, part.size / 1024, part.pageSize,
             erase.c_str(), part.programUs.typical, part.programUs.max, part.chipEraseMs.typical,
             part.chipEraseMs.max, part.addressBytes);
    return text;
}

std::string DescribeSfdp(const SfdpParameters& sfdp) {
    char text[512];
    snprintf(text, sizeof text,
             "SFDP %u.%u, basic table of %u DWORDs: %u bytes, pages of %u bytes, erase types %s, "
             "4 KiB erase %s, address bytes %s, page program %u us, chip erase %u ms",
             sfdp.major, sfdp.minor, sfdp.dwords, sfdp.size, sfdp.pageSize, EraseList(sfdp.erase, 4).c_str(),
             sfdp.erase4K ? "yes" : "no", AddressText(sfdp.addressModes), sfdp.programUs.typical,
             sfdp.chipEraseMs.typical);
    return text;
}
