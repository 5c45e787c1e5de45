// A button drawn entirely from pictures: one for the normal, pressed and
// focused states and one for the disabled state. It takes the size of its
// normal picture.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

class CBitmapButton : public QAbstractButton {
public:
    explicit CBitmapButton(QWidget* parent = nullptr);
    // Loads both pictures and sizes the button to the normal one. Returns
    // false when either picture is missing.
    bool LoadBitmaps(const QString& normal, const QString& disabled);
    QSize sizeHint() const override;
    // The picture shown in the present state.
    const QPixmap& Current() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap normal_;
    QPixmap disabled_;
};
