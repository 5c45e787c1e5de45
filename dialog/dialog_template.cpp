#include "dialog/dialog_template.h"

namespace {

int Scale(int units, int pixels, int totalUnits) { return (units * pixels + totalUnits / 2) / totalUnits; }

}  // namespace

PixelRect DialogItemPixels(const DialogItem& item) {
    const int left = Scale(item.x, kClientWidthPixels, kDialogWidthUnits);
    const int top = Scale(item.y, kClientHeightPixels, kDialogHeightUnits);
    const int right = Scale(item.x + item.cx, kClientWidthPixels, kDialogWidthUnits);
    const int bottom = Scale(item.y + item.cy, kClientHeightPixels, kDialogHeightUnits);
    return {left, top, right - left, bottom - top};
}

const DialogItem* FindDialogItem(int id) {
    for (const DialogItem& item : kDialogItems) {
        if (item.id == id) return &item;
    }
    return nullptr;
}
