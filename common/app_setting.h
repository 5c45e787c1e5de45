// AppSetting: the 1404-byte settings record that brands the window (title,
// captions, link line, the colours of every custom control) and decides
// which parts of the board a run programs. The executable carries it as the
// resource APPSETTING (146); "AppSetting.bin" is the file it is made from.
//
// The record has no header, version or checksum. Integers are 32-bit
// little-endian; colours are 0x00BBGGRR; texts are 256-byte fields holding a
// zero-terminated single-byte text. Qt-free: the command line and the build
// use it as well as the window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kAppSettingSize = 1404;
constexpr size_t kSettingTextSize = 256;

struct AppSetting {
    uint32_t fpgaCaptionTextColor;
    uint32_t fpgaCaptionBackColor;
    uint32_t fpgaCaptionDisabledTextColor;
    uint32_t fpgaCaptionDisabledBackColor;
    uint32_t fpgaPercentTextColor;
    uint32_t fpgaPercentBackColor;
    uint32_t fpgaPercentDisabledTextColor;
    uint32_t fpgaPercentDisabledBackColor;
    uint32_t fpgaBarColor;
    uint32_t fpgaBarBackColor;
    uint32_t fpgaBarDisabledColor;
    uint32_t fpgaBarDisabledBackColor;
    uint32_t eepromCaptionTextColor;
    uint32_t eepromCaptionBackColor;
    uint32_t eepromCaptionDisabledTextColor;
    uint32_t eepromCaptionDisabledBackColor;
    uint32_t eepromPercentTextColor;
    uint32_t eepromPercentBackColor;
    uint32_t eepromPercentDisabledTextColor;
    uint32_t eepromPercentDisabledBackColor;
    uint32_t eepromBarColor;
    uint32_t eepromBarBackColor;
    uint32_t eepromBarDisabledColor;
    uint32_t eepromBarDisabledBackColor;
    uint32_t linkTextColor;
    uint32_t linkBackColor;
    uint32_t linkDisabledTextColor;
    uint32_t linkDisabledBackColor;
    uint32_t linkHoverTextColor;
    char title[kSettingTextSize];
    char fpgaCaption[kSettingTextSize];
    char eepromCaption[kSettingTextSize];
    char linkUrl[kSettingTextSize];
    char linkText[kSettingTextSize];
    uint32_t showFpga;    // 1: the FPGA part is shown and a run performs the FPGA step
    uint32_t showEeprom;  // the same for the serial-flash part
};

// The record's layout is its file format: every field at its fixed offset.
static_assert(sizeof(AppSetting) == kAppSettingSize);
static_assert(offsetof(AppSetting, fpgaCaptionTextColor) == 0);
static_assert(offsetof(AppSetting, fpgaCaptionBackColor) == 4);
static_assert(offsetof(AppSetting, fpgaCaptionDisabledTextColor) == 8);
static_assert(offsetof(AppSetting, fpgaCaptionDisabledBackColor) == 12);
static_assert(offsetof(AppSetting, fpgaPercentTextColor) == 16);
static_assert(offsetof(AppSetting, fpgaPercentBackColor) == 20);
static_assert(offsetof(AppSetting, fpgaPercentDisabledTextColor) == 24);
static_assert(offsetof(AppSetting, fpgaPercentDisabledBackColor) == 28);
static_assert(offsetof(AppSetting, fpgaBarColor) == 32);
static_assert(offsetof(AppSetting, fpgaBarBackColor) == 36);
static_assert(offsetof(AppSetting, fpgaBarDisabledColor) == 40);
static_assert(offsetof(AppSetting, fpgaBarDisabledBackColor) == 44);
static_assert(offsetof(AppSetting, eepromCaptionTextColor) == 48);
static_assert(offsetof(AppSetting, eepromCaptionBackColor) == 52);
static_assert(offsetof(AppSetting, eepromCaptionDisabledTextColor) == 56);
static_assert(offsetof(AppSetting, eepromCaptionDisabledBackColor) == 60);
static_assert(offsetof(AppSetting, eepromPercentTextColor) == 64);
static_assert(offsetof(AppSetting, eepromPercentBackColor) == 68);
static_assert(offsetof(AppSetting, eepromPercentDisabledTextColor) == 72);
static_assert(offsetof(AppSetting, eepromPercentDisabledBackColor) == 76);
static_assert(offsetof(AppSetting, eepromBarColor) == 80);
static_assert(offsetof(AppSetting, eepromBarBackColor) == 84);
static_assert(offsetof(AppSetting, eepromBarDisabledColor) == 88);
static_assert(offsetof(AppSetting, eepromBarDisabledBackColor) == 92);
static_assert(offsetof(AppSetting, linkTextColor) == 96);
static_assert(offsetof(AppSetting, linkBackColor) == 100);
static_assert(offsetof(AppSetting, linkDisabledTextColor) == 104);
static_assert(offsetof(AppSetting, linkDisabledBackColor) == 108);
static_assert(offsetof(AppSetting, linkHoverTextColor) == 112);
static_assert(offsetof(AppSetting, title) == 116);
static_assert(offsetof(AppSetting, fpgaCaption) == 372);
static_assert(offsetof(AppSetting, eepromCaption) == 628);
static_assert(offsetof(AppSetting, linkUrl) == 884);
static_assert(offsetof(AppSetting, linkText) == 1140);
static_assert(offsetof(AppSetting, showFpga) == 1396);
static_assert(offsetof(AppSetting, showEeprom) == 1400);

// The one rule for the two part flags, for the window, the run worker and
// the command line alike: a part is on exactly when its flag is 1. A stored
// record may hold any other value; such a flag is not valid, and its part is
// off.
constexpr bool PartOn(uint32_t flag) { return flag == 1; }
constexpr bool PartFlagValid(uint32_t flag) { return flag == 0 || flag == 1; }

using AppSettingBytes = std::array<uint8_t, kAppSettingSize>;

// The record with the built-in defaults (text bytes after each terminating
// zero are zero).
AppSetting DefaultAppSetting();

// The record's file form, little-endian whatever the host.
AppSettingBytes AppSettingToBytes(const AppSetting& setting);
// Reads a record from its file form. A shorter input leaves the missing
// fields zero, as a record that could not be loaded is; extra bytes are ignored.
AppSetting AppSettingFromBytes(const uint8_t* bytes, size_t size);

// The text of a field, read only within its 256 bytes: a field without a
// terminating zero gives its 256 characters, never the bytes after it.
std::string SettingText(const char (&field)[kSettingTextSize]);
// The same as UTF-8, as the window and "vexu-cli settings show" show it: a
// text that is valid UTF-8 is taken as it is, any other is read as GBK
// (records written on Windows hold their texts in the simplified-Chinese
// code page).
std::string SettingTextUtf8(const char (&field)[kSettingTextSize]);
// Zero-fills the field and copies at most 255 bytes of text into it.
void SetSettingText(char (&field)[kSettingTextSize], std::string_view text);

// Writes the default record to "AppSetting.bin" in the current directory,
// replacing an existing file as a whole (a temporary file renamed over it).
// Returns 1 when all 1404 bytes were written; otherwise writes a trace line,
// leaves the file as it was and returns 0.
int BuildSettingFile();
// The same to another path.
int BuildSettingFile(const char* path);
// Writes any record to a file; same result as BuildSettingFile.
int WriteSettingFile(const AppSetting& setting, const char* path);
// The same with the reason for a failure in error.
bool WriteSettingFile(const AppSetting& setting, const char* path, std::string& error);

// The record's fields as data: name, kind and default, for the builder, the
// command line ("vexu-cli settings") and the tests.
enum class SettingKind : uint8_t { kColor, kText, kFlag };

struct AppSettingField {
    const char* name;
    size_t offset;
    SettingKind kind;
    uint32_t AppSetting::*number;        // colour and flag fields
    char (AppSetting::*text)[kSettingTextSize];  // text fields
    uint32_t defaultNumber;
    const char* defaultText;
};

// All 36 fields in record order.
const AppSettingField* AppSettingFields(size_t& count);
// The field with this exact name, or null.
const AppSettingField* FindAppSettingField(std::string_view name);
// Sets one field from its text form (colours and flags: decimal or 0x hex;
// texts: UTF-8 of at most 255 bytes). Returns false with a reason on bad input.
bool SetAppSettingField(AppSetting& setting, const AppSettingField& field, std::string_view value,
                        std::string& error);
// The field's value as text (colours as 0x00BBGGRR, flags in decimal,
// texts as SettingTextUtf8 reads them).
std::string FormatAppSettingField(const AppSetting& setting, const AppSettingField& field);
