// "vexu-cli settings ...": the settings record file the build embeds.
#include <cstdio>
#include <string>
#include <vector>

#include "common/app_setting.h"
#include "platform/text_encoding.h"
#include "tools/cli.h"
#include "tools/cli_session.h"
#include "tools/image/image_files.h"

namespace vexu::cli {

namespace {

bool ReadRecord(const std::string& file, AppSetting& setting, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!vexu::image::ReadBinaryFile(file, bytes, error, "settings record", kAppSettingSize)) return false;
    if (bytes.size() != kAppSettingSize) {
        error = file + " is not a settings record: it has " + std::to_string(bytes.size()) + " bytes, a record has " +
                std::to_string(kAppSettingSize);
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

int RunSettingsWrite(const GlobalOptions& options, const std::string& file) {
    Reporter out(options, "settings write");
    std::string error;
    if (!WriteSettingFile(DefaultAppSetting(), file.c_str(), error)) return out.Finish(kExitFailed, error);
    return out.Finish(kExitOk);
}

int RunSettingsSet(const GlobalOptions& options, const std::string& file, const std::string& field,
                   const std::string& value) {
    Reporter out(options, "settings set");
    const AppSettingField* entry = FindAppSettingField(field);
    if (entry == nullptr)
        return out.Finish(kExitUsage, "no settings field " + field + " (see: vexu-cli settings show FILE)");
    if (entry->kind == SettingKind::kText && HoldsControlCharacter(value))
        return out.Finish(kExitUsage, std::string(entry->name) +
                                          " takes text without control characters; the value given holds some: " +
                                          vexu::EscapedText(value));
    AppSetting setting;
    std::string error;
    if (!ReadRecord(file, setting, error)) return out.Finish(kExitUsage, error);
    if (!SetAppSettingField(setting, *entry, value, error)) return out.Finish(kExitUsage, error);
    if (!WriteSettingFile(setting, file.c_str(), error)) return out.Finish(kExitFailed, error);
    return out.Finish(kExitOk);
}

int RunSettingsShow(const GlobalOptions& options, const std::string& file) {
    Reporter out(options, "settings show");
    AppSetting setting;
    std::string error;
    if (!ReadRecord(file, setting, error)) return out.Finish(kExitUsage, error);
    size_t count = 0;
    const AppSettingField* fields = AppSettingFields(count);
    std::string report;
    for (size_t i = 0; i < count; ++i) {
        // A part flag the programs do not take as on or off says so; texts
        // are shown escaped, since a record may come from anywhere.
        const bool badFlag =
            fields[i].kind == SettingKind::kFlag && !PartFlagValid(setting.*(fields[i].number));
        char head[128];
        std::snprintf(head, sizeof head, "%-32s %4zu  ", fields[i].name, fields[i].offset);
        if (i > 0) report += "\n";
        report += head + vexu::EscapedText(FormatAppSettingField(setting, fields[i]));
        if (badFlag) {
            report += "  (not 0 or 1: the part is off)";
            std::fprintf(stderr, "warning: %s holds %u, not 0 or 1: its part is on only when the flag is 1\n",
                         fields[i].name, setting.*fields[i].number);
        }
    }
    out.Say(report);
    return out.Finish(kExitOk, "", out.Result(kExitOk, "").Text("report", report));
}

}  // namespace vexu::cli
