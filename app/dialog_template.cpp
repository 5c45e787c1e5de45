#include "app/dialog_template.h"

namespace {

int Scale(int units, int pixels, int totalUnits) { return (units * pixels + totalUnits / 2) / totalUnits; }

}  // namespace

QRect DialogItemRect(const DialogItem& item) {
    int left = Scale(item.x, kClientPixels.width(), kDialogUnits.width());
    int top = Scale(item.y, kClientPixels.height(), kDialogUnits.height());
    int right = Scale(item.x + item.cx, kClientPixels.width(), kDialogUnits.width());
    int bottom = Scale(item.y + item.cy, kClientPixels.height(), kDialogUnits.height());
    return QRect(left, top, right - left, bottom - top);
}

const DialogItem* FindDialogItem(int id) {
    for (const DialogItem& item : kDialogItems) {
        if (item.id == id) return &item;
    }
    return nullptr;
}
