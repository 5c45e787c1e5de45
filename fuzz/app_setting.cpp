// The settings record as the window loads it: any number of bytes (the
// record is 1404), read with AppSettingFromBytes, every text field taken with
// SettingText and every field formatted as "vexu-cli settings" shows it
// (texts as UTF-8, whether the record holds them in UTF-8 or in GBK).
// Besides the sanitizers' findings, the record must survive the round trip:
// written back it gives the input's first 1404 bytes, zero-filled when the
// input is shorter.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/app_setting.h"
#include "platform/text_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const AppSetting setting = AppSettingFromBytes(data, size);
    size_t count = 0;
    const AppSettingField* fields = AppSettingFields(count);
    for (size_t i = 0; i < count; ++i) {
        const AppSettingField& field = fields[i];
        const std::string shown = FormatAppSettingField(setting, field);
        if (field.kind == SettingKind::kText) {
            const std::string text = SettingText(setting.*field.text);
            if (text.size() >= kSettingTextSize + 1) __builtin_trap();
            // What is shown is UTF-8 whatever the record holds, and a UTF-8
            // text is shown as it is.
            if (!vexu::IsUtf8(shown) || (vexu::IsUtf8(text) && shown != text)) __builtin_trap();
            // The text as shown sets the field again to the same text.
            AppSetting copy = setting;
            std::string error;
            if (text.size() < kSettingTextSize && SetAppSettingField(copy, field, text, error) &&
                SettingText(copy.*field.text) != text)
                __builtin_trap();
        }
        (void)shown;
    }
    AppSettingBytes expected{};
    std::memcpy(expected.data(), data, std::min(size, kAppSettingSize));
    if (AppSettingToBytes(setting) != expected) __builtin_trap();
    return 0;
}
