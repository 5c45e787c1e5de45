// "vexu-cli settings ...": the settings record file the build embeds.
#include <cstdio>
#include <string>
#include <vector>

#include "common/app_setting.h"
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
        // A part flag the programs do not take as on or off says so.
        const bool badFlag =
            fields[i].kind == SettingKind::kFlag && !PartFlagValid(setting.*(fields[i].number));
        std::printf("%-32s %4zu  %s%s\n", fields[i].name, fields[i].offset,
                    FormatAppSettingField(setting, fields[i]).c_str(),
                    badFlag ? "  (not 0 or 1: the part is off)" : "");
    }
    return kExitOk;
}

}  // namespace vexu::cli
