// The main dialog's layout as plain data that every window reads: the
// control ids, each control's place in dialog units, the pictures, and the
// groups of controls the dialog switches together. No toolkit type here:
// each window turns dialog units into its own pixels.
#pragma once

#include <cstdint>

// Control ids of the main dialog.
enum ControlId : int {
    IDC_START = 1001,
    IDC_LINK = 1002,
    IDC_EEPROM_PICTURE = 1003,
    IDC_FPGA_PICTURE = 1004,
    IDC_FPGA_CAPTION = 1005,
    IDC_FPGA_BAR = 1006,
    IDC_FPGA_PERCENT = 1007,
    IDC_EEPROM_BAR = 1008,
    IDC_EEPROM_CAPTION = 1009,
    IDC_EEPROM_PERCENT = 1010,
    IDC_BUILD_SETTING_FILE = 1011,
};

// What kind of control an item is; the window picks its own control for it.
enum class ControlKind : uint8_t {
    kPictureButton,  // a button drawn as a picture (start, the two part pictures)
    kLink,           // the self-drawn link line
    kText,           // a self-drawn text panel (captions, percent labels)
    kBar,            // a self-drawn progress bar
    kPushButton,     // an ordinary push button
};

struct DialogItem {
    int id;
    ControlKind kind;
    int x, y, cx, cy;  // dialog units
    bool visible;      // shown when the dialog is created
};

// The dialog in dialog units (font Arial, 8 points), and its client area in
// pixels: the size of the background pictures, which the dialog units map
// onto at the window's usual scale.
constexpr int kDialogWidthUnits = 282;
constexpr int kDialogHeightUnits = 171;
constexpr const char* kDialogFontFace = "Arial";
constexpr int kDialogFontPoints = 8;
constexpr int kClientWidthPixels = 430;
constexpr int kClientHeightPixels = 280;

// The percent labels take the start button's place during a run; they end
// as far from the window's right edge as the pictures begin from its left.
constexpr DialogItem kDialogItems[] = {
    {IDC_START, ControlKind::kPictureButton, 222, 69, 55, 75, true},
    {IDC_LINK, ControlKind::kLink, 0, 152, 282, 19, true},
    {IDC_EEPROM_PICTURE, ControlKind::kPictureButton, 10, 109, 44, 37, true},
    {IDC_FPGA_PICTURE, ControlKind::kPictureButton, 10, 59, 43, 38, true},
    {IDC_FPGA_CAPTION, ControlKind::kText, 60, 66, 162, 15, true},
    {IDC_FPGA_BAR, ControlKind::kBar, 59, 83, 160, 14, true},
    {IDC_FPGA_PERCENT, ControlKind::kText, 221, 84, 51, 16, true},
    {IDC_EEPROM_CAPTION, ControlKind::kText, 59, 117, 162, 15, true},
    {IDC_EEPROM_BAR, ControlKind::kBar, 60, 134, 160, 14, true},
    {IDC_EEPROM_PERCENT, ControlKind::kText, 222, 133, 50, 16, true},
    {IDC_BUILD_SETTING_FILE, ControlKind::kPushButton, 187, 9, 94, 14, false},
};

// The text of the hidden push button.
constexpr const char* kBuildSettingFileText = "Build Setting File";

// The ten controls that follow the box's presence, in binding order.
constexpr int kSwitchedControls[] = {IDC_LINK,         IDC_START,        IDC_FPGA_PICTURE, IDC_EEPROM_PICTURE,
                                     IDC_FPGA_CAPTION, IDC_FPGA_BAR,     IDC_FPGA_PERCENT, IDC_EEPROM_CAPTION,
                                     IDC_EEPROM_BAR,   IDC_EEPROM_PERCENT};

// The controls of each part, hidden together when the part is off.
constexpr int kFpgaPartControls[] = {IDC_FPGA_PICTURE, IDC_FPGA_CAPTION, IDC_FPGA_PERCENT, IDC_FPGA_BAR};
constexpr int kEepromPartControls[] = {IDC_EEPROM_PICTURE, IDC_EEPROM_CAPTION, IDC_EEPROM_PERCENT, IDC_EEPROM_BAR};

// The window's pictures, by their resource numbers.
enum BitmapId : int {
    IDI_APPLICATION_ICON = 128,
    IDB_BACKGROUND_ON = 130,   // background while a box is present
    IDB_BACKGROUND_OFF = 131,  // background without a box
    IDB_START = 136,
    IDB_START_DISABLED = 137,
    IDB_FPGA = 138,
    IDB_FPGA_DISABLED = 139,
    IDB_FLASH = 140,
    IDB_FLASH_DISABLED = 142,
};

// The pictures of each picture button, enabled and disabled.
struct PictureButtonBitmaps {
    int id;
    int bitmap;
    int disabledBitmap;
};
constexpr PictureButtonBitmaps kPictureButtons[] = {
    {IDC_START, IDB_START, IDB_START_DISABLED},
    {IDC_FPGA_PICTURE, IDB_FPGA, IDB_FPGA_DISABLED},
    {IDC_EEPROM_PICTURE, IDB_FLASH, IDB_FLASH_DISABLED},
};

// System-menu command of the about box, and its menu text (UTF-8).
constexpr unsigned IDM_ABOUTBOX = 0x0010;
constexpr const char* kAboutMenuText = "关于 KTR(&A)...";

// A rectangle in pixels of the client area.
struct PixelRect {
    int left, top, width, height;
};

// The item's rectangle in the client area of kClientWidthPixels x
// kClientHeightPixels: each edge scaled in proportion and rounded, so that
// items that meet in dialog units meet in pixels.
PixelRect DialogItemPixels(const DialogItem& item);
// The item with this id; null when there is none.
const DialogItem* FindDialogItem(int id);
