#include "app/qarn_controls.h"

#include <QEnterEvent>
#include <QPaintEvent>
#include <QPainter>

#include "platform/trace.h"

namespace {

// Pixel height the font mapper picks when the height is left at 0.
constexpr int kDefaultFontPixels = 13;
// The mouse must rest this long on the link before it counts as hovering.
constexpr int kHoverTimeMs = 1;

// Paints one off-screen picture onto the widget in a single copy. A picture
// that could not be made leaves the widget unpainted for this paint.
void CopyToWidget(QWidget* widget, const QImage& picture) {
    if (picture.isNull()) return;
    QPainter painter(widget);
    painter.drawImage(0, 0, picture);
}

void MarkOpaque(QWidget* widget) {
    // The controls paint every pixel themselves: no background erase first.
    widget->setAttribute(Qt::WA_OpaquePaintEvent);
    widget->setAttribute(Qt::WA_NoSystemBackground);
}

}  // namespace

QarnText::QarnText() { MakeFont(); }

void QarnText::MakeFont() {
    font = QFont(faceName);
    font.setFamilies({faceName, QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);  // the Swiss family
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setPixelSize(height != 0 ? std::abs(height) : kDefaultFontPixels);
    if (width != 0) {
        // A requested average character width: stretch against the face's own.
        QFontMetrics metrics(font);
        int natural = metrics.averageCharWidth();
        if (natural > 0) font.setStretch(std::clamp(100 * std::abs(width) / natural, 1, 4000));
    }
}

QImage RenderQarnText(const QSize& size, const QarnText& panel, bool enabled, const QColor& enabledText,
                      Qt::Alignment horizontal) {
    if (size.isEmpty()) return {};
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull()) return {};
    QPainter painter(&picture);
    painter.fillRect(picture.rect(), enabled ? panel.backColor : panel.disabledBackColor);
    painter.setFont(panel.font);
    painter.setPen(enabled ? enabledText : panel.disabledTextColor);
    painter.drawText(picture.rect(), horizontal | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip,
                     panel.text);
    return picture;
}

// ---------------------------------------------------------------- CQarnStatic

CQarnStatic::CQarnStatic(QWidget* parent) : QarnTextControl<QWidget>(parent) { MarkOpaque(this); }

QImage CQarnStatic::Render() const {
    return RenderQarnText(size(), panel_, isEnabled(), panel_.textColor, Qt::AlignLeft);
}

void CQarnStatic::paintEvent(QPaintEvent*) { CopyToWidget(this, Render()); }

// ------------------------------------------------------------------ CQarnLink

CQarnLink::CQarnLink(QWidget* parent) : QarnTextControl<QAbstractButton>(parent) {
    MarkOpaque(this);
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    hoverTimer_.setSingleShot(true);
    QObject::connect(&hoverTimer_, &QTimer::timeout, this, [this] { OnHover(); });
}

void CQarnLink::SetHoverTextColor(COLORREF color) {
    hoverTextColor_ = ToQColor(color);
    update();
}

QImage CQarnLink::Render() const {
    const QColor& text = hover_ ? hoverTextColor_ : panel_.textColor;
    return RenderQarnText(size(), panel_, isEnabled(), text, Qt::AlignRight);
}

void CQarnLink::paintEvent(QPaintEvent*) { CopyToWidget(this, Render()); }

void CQarnLink::RequestHover() {
    if (tracking_ != 0) return;
    hoverTimer_.start(kHoverTimeMs);
    tracking_ = 1;
}

void CQarnLink::mouseMoveEvent(QMouseEvent* event) {
    RequestHover();
    QAbstractButton::mouseMoveEvent(event);
}

void CQarnLink::enterEvent(QEnterEvent* event) {
    // Entering is the first mouse move over the control; a disabled control
    // gets no mouse moves.
    if (isEnabled()) RequestHover();
    QAbstractButton::enterEvent(event);
}

void CQarnLink::leaveEvent(QEvent* event) {
    OnLeave();
    QAbstractButton::leaveEvent(event);
}

void CQarnLink::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) UpdateCursor();
    QAbstractButton::changeEvent(event);
}

void CQarnLink::OnHover() {
    hover_ = 1;
    UpdateCursor();
    update();
}

void CQarnLink::OnLeave() {
    hoverTimer_.stop();
    hover_ = 0;
    tracking_ = 0;
    UpdateCursor();
    update();
}

void CQarnLink::UpdateCursor() {
    // A disabled link is not a link: it keeps the arrow even under the mouse.
    setCursor(hover_ && isEnabled() ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

// -------------------------------------------------------------- CQarnProgress

CQarnProgress::CQarnProgress(QWidget* parent) : QWidget(parent) { MarkOpaque(this); }

void CQarnProgress::SetRange(uint32_t lower, uint32_t upper) {
    if (upper < lower) {
        vexu::Trace("CQarnProgress::SetRange()  Error: lower>upper \r\n");
        return;
    }
    lower_ = lower;
    upper_ = upper;
    update();
}

void CQarnProgress::SetPos(uint32_t pos) {
    if (pos > upper_) {
        vexu::Trace("CQarnProgress::SetPos()  Error: pos>upper \r\n");
        return;
    }
    pos_ = pos;
    update();
}

void CQarnProgress::SetBarColor(COLORREF color) { barColor_ = ToQColor(color); update(); }
void CQarnProgress::SetBackColor(COLORREF color) { backColor_ = ToQColor(color); update(); }
void CQarnProgress::SetDisabledBarColor(COLORREF color) { disabledBarColor_ = ToQColor(color); update(); }
void CQarnProgress::SetDisabledBackColor(COLORREF color) { disabledBackColor_ = ToQColor(color); update(); }

int CQarnProgress::FilledWidth() const {
    if (!(lower_ < upper_ && pos_ <= upper_)) return 0;
    double filled = static_cast<double>(width()) / static_cast<double>(upper_ - lower_) * pos_;
    return std::min(static_cast<int>(filled), width());
}

QImage CQarnProgress::Render() const {
    if (size().isEmpty()) return {};
    QImage picture(size(), QImage::Format_RGB32);
    if (picture.isNull()) return {};
    bool enabled = isEnabled();
    QPainter painter(&picture);
    painter.fillRect(picture.rect(), enabled ? backColor_ : disabledBackColor_);
    int filled = FilledWidth();
    if (filled > 0) painter.fillRect(QRect(0, 0, filled, height()), enabled ? barColor_ : disabledBarColor_);
    return picture;
}

void CQarnProgress::paintEvent(QPaintEvent*) { CopyToWidget(this, Render()); }
