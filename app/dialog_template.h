// The main dialog's layout: its controls as laid out in dialog units, and the
// conversion to the pixel client area that the background pictures define.
#pragma once

#include <QRect>
#include <QSize>
#include <span>

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

struct DialogItem {
    int id;
    int x, y, cx, cy;  // dialog units
};

// The dialog's own size in dialog units and the client area in pixels
// (the size of the background pictures).
constexpr QSize kDialogUnits{282, 171};
constexpr QSize kClientPixels{430, 280};

// The percent labels take the start button's place during a run; they end
// as far from the window's right edge as the pictures begin from its left.
constexpr DialogItem kDialogItems[] = {
    {IDC_START, 222, 69, 55, 75},
    {IDC_LINK, 0, 152, 282, 19},
    {IDC_EEPROM_PICTURE, 10, 109, 44, 37},
    {IDC_FPGA_PICTURE, 10, 59, 43, 38},
    {IDC_FPGA_CAPTION, 60, 66, 162, 15},
    {IDC_FPGA_BAR, 59, 83, 160, 14},
    {IDC_FPGA_PERCENT, 221, 84, 51, 16},
    {IDC_EEPROM_CAPTION, 59, 117, 162, 15},
    {IDC_EEPROM_BAR, 60, 134, 160, 14},
    {IDC_EEPROM_PERCENT, 222, 133, 50, 16},
    {IDC_BUILD_SETTING_FILE, 187, 9, 94, 14},
};

// The ten controls that follow the box's presence, in binding order.
constexpr int kSwitchedControls[] = {IDC_LINK,         IDC_START,        IDC_FPGA_PICTURE, IDC_EEPROM_PICTURE,
                                     IDC_FPGA_CAPTION, IDC_FPGA_BAR,     IDC_FPGA_PERCENT, IDC_EEPROM_CAPTION,
                                     IDC_EEPROM_BAR,   IDC_EEPROM_PERCENT};

// The pixel rectangle of an item: each edge scaled in proportion and
// rounded, so that items that meet in dialog units meet in pixels.
QRect DialogItemRect(const DialogItem& item);
// The item with this id; null when there is none.
const DialogItem* FindDialogItem(int id);
