#include "app/bitmap_button.h"

#include <QPainter>

CBitmapButton::CBitmapButton(QWidget* parent) : QAbstractButton(parent) {}

bool CBitmapButton::LoadBitmaps(const QString& normal, const QString& disabled) {
    bool ok = normal_.load(normal) && disabled_.load(disabled);
    if (!normal_.isNull()) resize(normal_.size());
    update();
    return ok;
}

QSize CBitmapButton::sizeHint() const { return normal_.isNull() ? QSize(16, 16) : normal_.size(); }

const QPixmap& CBitmapButton::Current() const { return isEnabled() ? normal_ : disabled_; }

void CBitmapButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, Current());
}
