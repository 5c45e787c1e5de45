// Windows colour values (0x00BBGGRR: red in the low byte) as Qt colours.
#pragma once

#include <QColor>
#include <cstdint>

using COLORREF = uint32_t;

constexpr COLORREF RGB(uint8_t red, uint8_t green, uint8_t blue) {
    return static_cast<COLORREF>(red) | (static_cast<COLORREF>(green) << 8) |
           (static_cast<COLORREF>(blue) << 16);
}

// The top byte of a colour value is not part of the colour and is ignored.
inline QColor ToQColor(COLORREF color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}
