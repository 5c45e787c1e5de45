// "vexu-cli settings ...": the settings record file the build embeds.
#include <cstdio>
#include <string>
#include <vector>

#include "common/app_setting.h"
#include "platform/text_encoding.h"
#include "tools/cli.h"
#include "tools/image/image_files.h"

namespace vexu::cli {

namespace {

bool ReadRecord(const std::string& file, AppSetting& setting) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!vexu::image::ReadBinaryFile(file, bytes, error, "settings record", kAppSettingSize)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    if (bytes.size() != kAppSettingSize) {
        std::fprintf(stderr, "%s is not a settings record: it has %zu bytes, a record has %zu\n", file.c_str(),
                     bytes.size(), kAppSettingSize);
        return false;
    }
    setting = AppSettingFromBytes(bytes.data(), bytes.size());
    return true;
}

// A control character in a stored text would reach every window and
// terminal that shows it (a title, a colour, a line that is not there).
bool HoldsControlCharacter(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return true;
        // U+0080 to U+009F, the C1 controls, in UTF-8.
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == 0xC2 && next >= 0x80 && next < 0xA0) return true;
    }
    return false;
}

}  // namespace

int RunSettingsWrite(const std::string& file) {
    std::string error;
    if (!WriteSettingFile(DefaultAppSetting(), file.c_str(), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int RunSettingsSet(const std::string& file, const std::string& field, const std::string& value) {
    const AppSettingField* entry = FindAppSettingField(field);
    if (entry == nullptr) {
        std::fprintf(stderr, "no settings field %s (see: vexu-cli settings show FILE)\n", field.c_str());
        return kExitUsage;
    }
    if (entry->kind == SettingKind::kText && HoldsControlCharacter(value)) {
        std::fprintf(stderr, "%s takes text without control characters; the value given holds some: %s\n", entry->name,
                     vexu::EscapedText(value).c_str());
        return kExitUsage;
    }
    AppSetting setting;
    if (!ReadRecord(file, setting)) return kExitUsage;
    std::string error;
    if (!SetAppSettingField(setting, *entry, value, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitUsage;
    }
    if (!WriteSettingFile(setting, file.c_str(), error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int RunSettingsShow(const std::string& file) {
    AppSetting setting;
    if (!ReadRecord(file, setting)) return kExitUsage;
    size_t count = 0;
    const AppSettingField* fields = AppSettingFields(count);
    for (size_t i = 0; i < count; ++i) {
        // Texts are shown escaped: a record may come from anywhere.
        std::printf("%-32s %4zu  %s\n", fields[i].name, fields[i].offset,
                    vexu::EscapedText(FormatAppSettingField(setting, fields[i])).c_str());
        if (fields[i].kind == SettingKind::kFlag && setting.*fields[i].number > 1)
            std::fprintf(stderr, "warning: %s holds %u, not 0 or 1: its part is on only when the flag is 1\n",
                         fields[i].name, setting.*fields[i].number);
    }
    return kExitOk;
}

}  // namespace vexu::cli
