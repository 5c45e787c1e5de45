// The window's self-drawn controls: a text panel (CQarnStatic), a progress
// bar (CQarnProgress) and a text panel that answers the mouse (CQarnLink).
// Each keeps its own colours for the enabled and the disabled state and
// paints its whole area from an off-screen picture in one copy, so that
// frequent progress updates do not flicker.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "app/win_color.h"

// Text, font and colours shared by the text panels.
struct QarnText {
    QarnText();
    // Rebuilds the font from faceName, height and width.
    void MakeFont();

    QString text = QStringLiteral("QARN");
    QColor textColor = ToQColor(0x0000FF00);
    QFont font;
    QString faceName = QStringLiteral("Arial Black");
    int height = 0;  // 0: the font mapper's default height
    int width = 0;   // 0: the font mapper's default width
    QColor backColor = ToQColor(0x00FFFFFF);
    QColor disabledBackColor = ToQColor(0x00AEAEAE);
    QColor disabledTextColor = ToQColor(0x00000000);
};

// Renders a text panel: background filled, text on one line, vertically
// centred, never clipped.
QImage RenderQarnText(const QSize& size, const QarnText& panel, bool enabled, const QColor& enabledText,
                      Qt::Alignment horizontal);

// Setters common to the two text panels; Widget is the Qt class each one
// builds on.
template <class Widget>
class QarnTextControl : public Widget {
public:
    using Widget::Widget;

    void SetText(const QString& text) { panel_.text = text; this->update(); }
    void SetTextColor(COLORREF color) { panel_.textColor = ToQColor(color); this->update(); }
    void SetBackColor(COLORREF color) { panel_.backColor = ToQColor(color); this->update(); }
    void SetDisabledTextColor(COLORREF color) { panel_.disabledTextColor = ToQColor(color); this->update(); }
    void SetDisabledBackColor(COLORREF color) { panel_.disabledBackColor = ToQColor(color); this->update(); }

    QString Text() const { return panel_.text; }
    // What the control shows in its present state, as painted on screen.
    virtual QImage Render() const = 0;

protected:
    QarnText panel_;
};

class CQarnStatic : public QarnTextControl<QWidget> {
public:
    explicit CQarnStatic(QWidget* parent = nullptr);
    QImage Render() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class CQarnLink : public QarnTextControl<QAbstractButton> {
public:
    explicit CQarnLink(QWidget* parent = nullptr);
    void SetHoverTextColor(COLORREF color);
    QImage Render() const override;
    bool Hover() const { return hover_ != 0; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The mouse has rested on the control for the hover time.
    void OnHover();
    void OnLeave();
    void RequestHover();
    void UpdateCursor();

    QColor hoverTextColor_ = ToQColor(0x000000FF);
    int hover_ = 0;     // 1 between a hover and the next leave
    int tracking_ = 0;  // nonzero while a hover notification is requested
    QTimer hoverTimer_;
};

class CQarnProgress : public QWidget {
public:
    explicit CQarnProgress(QWidget* parent = nullptr);

    // Refused (with a trace line, nothing changed) when upper < lower.
    void SetRange(uint32_t lower, uint32_t upper);
    // Refused (with a trace line, nothing changed) when pos > upper.
    void SetPos(uint32_t pos);
    void SetBarColor(COLORREF color);
    void SetBackColor(COLORREF color);
    void SetDisabledBarColor(COLORREF color);
    void SetDisabledBackColor(COLORREF color);

    uint32_t Lower() const { return lower_; }
    uint32_t Upper() const { return upper_; }
    uint32_t Pos() const { return pos_; }
    // Width in pixels of the filled part at the present size and position.
    int FilledWidth() const;
    QImage Render() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    uint32_t lower_ = 0;
    uint32_t upper_ = 100;
    uint32_t pos_ = 0;
    QColor backColor_ = ToQColor(0x00FFFFFF);
    QColor barColor_ = ToQColor(0x0000FF00);
    QColor disabledBackColor_ = ToQColor(0x00AEAEAE);
    QColor disabledBarColor_ = ToQColor(0x00000000);
};
