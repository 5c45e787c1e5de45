// The main dialog's layout in Qt's terms: the template's dialog units
// (dialog/dialog_template.h) as pixel rectangles of the client area that
// the background pictures define.
#pragma once

#include <QRect>
#include <QSize>

#include "dialog/dialog_template.h"

constexpr QSize kClientPixels{kClientWidthPixels, kClientHeightPixels};

// The pixel rectangle of an item.
inline QRect DialogItemRect(const DialogItem& item) {
    const PixelRect r = DialogItemPixels(item);
    return QRect(r.left, r.top, r.width, r.height);
}
