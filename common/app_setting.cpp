#include "common/app_setting.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/text_encoding.h"
#include "platform/trace.h"

namespace {

constexpr const char* kSettingFileName = "AppSetting.bin";

#define VEXU_COLOR(name, value) \
    {#name, offsetof(AppSetting, name), SettingKind::kColor, &AppSetting::name, nullptr, value, nullptr}
#define VEXU_TEXT(name, value) \
    {#name, offsetof(AppSetting, name), SettingKind::kText, nullptr, &AppSetting::name, 0, value}
#define VEXU_FLAG(name, value) \
    {#name, offsetof(AppSetting, name), SettingKind::kFlag, &AppSetting::name, nullptr, value, nullptr}

// Six colour groups (text, background, disabled text, disabled background;
// bars: filled, empty, disabled filled, disabled empty; the link adds its
// hover colour), five texts, two part flags.
const AppSettingField kFields[] = {
    VEXU_COLOR(fpgaCaptionTextColor, 0x00000000),
    VEXU_COLOR(fpgaCaptionBackColor, 0x009D9DED),
    VEXU_COLOR(fpgaCaptionDisabledTextColor, 0x00000000),
    VEXU_COLOR(fpgaCaptionDisabledBackColor, 0x00AEAEAE),
    VEXU_COLOR(fpgaPercentTextColor, 0x0000FF00),
    VEXU_COLOR(fpgaPercentBackColor, 0x009D9DED),
    VEXU_COLOR(fpgaPercentDisabledTextColor, 0x00000000),
    VEXU_COLOR(fpgaPercentDisabledBackColor, 0x00AEAEAE),
    VEXU_COLOR(fpgaBarColor, 0x0000FF00),
    VEXU_COLOR(fpgaBarBackColor, 0x00FFFFFF),
    VEXU_COLOR(fpgaBarDisabledColor, 0x00000000),
    VEXU_COLOR(fpgaBarDisabledBackColor, 0x00646464),
    VEXU_COLOR(eepromCaptionTextColor, 0x00000000),
    VEXU_COLOR(eepromCaptionBackColor, 0x009D9DED),
    VEXU_COLOR(eepromCaptionDisabledTextColor, 0x00000000),
    VEXU_COLOR(eepromCaptionDisabledBackColor, 0x00AEAEAE),
    VEXU_COLOR(eepromPercentTextColor, 0x0000FF00),
    VEXU_COLOR(eepromPercentBackColor, 0x009D9DED),
    VEXU_COLOR(eepromPercentDisabledTextColor, 0x00000000),
    VEXU_COLOR(eepromPercentDisabledBackColor, 0x00AEAEAE),
    VEXU_COLOR(eepromBarColor, 0x0000FF00),
    VEXU_COLOR(eepromBarBackColor, 0x00FFFFFF),
    VEXU_COLOR(eepromBarDisabledColor, 0x00000000),
    VEXU_COLOR(eepromBarDisabledBackColor, 0x00646464),
    VEXU_COLOR(linkTextColor, 0x001C25DA),
    VEXU_COLOR(linkBackColor, 0x009D9DED),
    VEXU_COLOR(linkDisabledTextColor, 0x00000000),
    VEXU_COLOR(linkDisabledBackColor, 0x00AEAEAE),
    VEXU_COLOR(linkHoverTextColor, 0x000000FF),
    VEXU_TEXT(title, "Vexu Dual Programmer v1.0"),
    VEXU_TEXT(fpgaCaption, "FPGA CHIP"),
    VEXU_TEXT(eepromCaption, "SPI FLASH"),
    VEXU_TEXT(linkUrl, "https://vexu-programmer.example.org"),
    VEXU_TEXT(linkText, "Vexu Dual Programmer - vexu-programmer.example.org"),
    VEXU_FLAG(showFpga, 1),
    VEXU_FLAG(showEeprom, 1),
};

#undef VEXU_COLOR
#undef VEXU_TEXT
#undef VEXU_FLAG

constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];
static_assert(kFieldCount == 36);

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

bool ParseNumber(std::string_view value, uint32_t& number) {
    std::string text(value);
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '-' || parsed > 0xFFFFFFFFull) return false;
    number = static_cast<uint32_t>(parsed);
    return true;
}

}  // namespace

AppSetting DefaultAppSetting() {
    AppSetting setting;
    std::memset(&setting, 0, sizeof setting);
    for (const AppSettingField& field : kFields) {
        if (field.kind == SettingKind::kText) {
            SetSettingText(setting.*field.text, field.defaultText);
        } else {
            setting.*field.number = field.defaultNumber;
        }
    }
    return setting;
}

AppSettingBytes AppSettingToBytes(const AppSetting& setting) {
    AppSettingBytes bytes{};
    for (const AppSettingField& field : kFields) {
        if (field.kind == SettingKind::kText) {
            std::memcpy(bytes.data() + field.offset, setting.*field.text, kSettingTextSize);
        } else {
            PutU32(bytes.data() + field.offset, setting.*field.number);
        }
    }
    return bytes;
}

AppSetting AppSettingFromBytes(const uint8_t* bytes, size_t size) {
    AppSettingBytes full{};
    if (bytes != nullptr) std::memcpy(full.data(), bytes, size < kAppSettingSize ? size : kAppSettingSize);
    AppSetting setting;
    for (const AppSettingField& field : kFields) {
        if (field.kind == SettingKind::kText) {
            std::memcpy(setting.*field.text, full.data() + field.offset, kSettingTextSize);
        } else {
            setting.*field.number = GetU32(full.data() + field.offset);
        }
    }
    return setting;
}

std::string SettingText(const char (&field)[kSettingTextSize]) {
    const void* end = std::memchr(field, '\0', kSettingTextSize);
    const size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - field) : kSettingTextSize;
    return std::string(field, length);
}

std::string SettingTextUtf8(const char (&field)[kSettingTextSize]) { return vexu::TextAsUtf8(SettingText(field)); }

void SetSettingText(char (&field)[kSettingTextSize], std::string_view text) {
    std::memset(field, 0, kSettingTextSize);
    std::memcpy(field, text.data(), text.size() < kSettingTextSize ? text.size() : kSettingTextSize - 1);
}

bool WriteSettingFile(const AppSetting& setting, const char* path, std::string& error) {
    if (path == nullptr) {
        error = "no file named for the settings record";
        return false;
    }
    const AppSettingBytes bytes = AppSettingToBytes(setting);
    return vexu::WriteFileWhole(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                error);
}

int WriteSettingFile(const AppSetting& setting, const char* path) {
    std::string error;
    if (!WriteSettingFile(setting, path, error)) {
        vexu::TraceF("BuildSettingFile() cannot write %s \r\n", path ? path : "(null)");
        return 0;
    }
    return 1;
}

int BuildSettingFile(const char* path) { return WriteSettingFile(DefaultAppSetting(), path); }

int BuildSettingFile() { return BuildSettingFile(kSettingFileName); }

const AppSettingField* AppSettingFields(size_t& count) {
    count = kFieldCount;
    return kFields;
}

const AppSettingField* FindAppSettingField(std::string_view name) {
    for (const AppSettingField& field : kFields) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

bool SetAppSettingField(AppSetting& setting, const AppSettingField& field, std::string_view value,
                        std::string& error) {
    if (field.kind == SettingKind::kText) {
        if (value.size() >= kSettingTextSize) {
            error = std::string(field.name) + " holds at most 255 bytes, not " + std::to_string(value.size());
            return false;
        }
        // What is written is UTF-8: other bytes would be read back as GBK.
        if (!vexu::IsUtf8(value)) {
            error = std::string(field.name) + " takes UTF-8 text; the value given is not UTF-8";
            return false;
        }
        SetSettingText(setting.*field.text, value);
        return true;
    }
    uint32_t number = 0;
    if (!ParseNumber(value, number)) {
        error = "not a number: " + std::string(value);
        return false;
    }
    if (field.kind == SettingKind::kColor && number > 0x00FFFFFF) {
        error = std::string(field.name) + " is a colour 0x00BBGGRR; its top byte must be 0";
        return false;
    }
    if (field.kind == SettingKind::kFlag && number > 1) {
        error = std::string(field.name) + " is 0 or 1";
        return false;
    }
    setting.*field.number = number;
    return true;
}

std::string FormatAppSettingField(const AppSetting& setting, const AppSettingField& field) {
    char text[16];
    switch (field.kind) {
    case SettingKind::kText:
        return SettingTextUtf8(setting.*field.text);
    case SettingKind::kColor:
        std::snprintf(text, sizeof text, "0x%08X", setting.*field.number);
        return text;
    case SettingKind::kFlag:
        std::snprintf(text, sizeof text, "%u", setting.*field.number);
        return text;
    }
    return std::string();
}
