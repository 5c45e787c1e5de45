// Paints the window's pictures at build time: the two backgrounds (box
// present / no box), the start button, the FPGA and serial-flash pictures,
// each in a normal and a disabled form, and the application icon.
// Usage: vexu-artwork OUTPUT_DIR
#include <QDir>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>
#include <functional>

namespace {

constexpr QSize kBackground{430, 280};
constexpr QSize kStartButton{90, 135};
constexpr QSize kChipPicture{67, 71};

// Where the dialog puts its controls (pixels), so the background frames them.
constexpr QRect kFpgaRow{8, 92, 330, 80};
constexpr QRect kFlashRow{8, 173, 330, 78};
constexpr QRect kStartArea{334, 108, 96, 141};

QFont Font(int pixels, QFont::Weight weight, int letterSpacing = 0) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    if (letterSpacing) font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return font;
}

QImage Blank(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// The disabled form of a picture: grey, lighter and flatter.
QImage Greyed(const QImage& source, double fade) {
    QImage image = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            QRgb p = line[x];
            int grey = qGray(p);
            grey = static_cast<int>(grey + (255 - grey) * fade);
            line[x] = qRgba(grey, grey, grey, qAlpha(p));
        }
    }
    return image;
}

void RoundedPanel(QPainter& p, const QRectF& r, const QColor& fill, const QColor& edge) {
    p.setPen(QPen(edge, 1));
    p.setBrush(fill);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

// ----------------------------------------------------------------- backgrounds

struct Palette {
    QColor headerTop, headerBottom, pageTop, pageBottom, panel, panelEdge, wordmark, subtitle;
    QColor statusDot, statusText;
    QString status;
};

QImage Background(const Palette& c) {
    QImage image(kBackground, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient page(0, 0, 0, kBackground.height());
    page.setColorAt(0, c.pageTop);
    page.setColorAt(1, c.pageBottom);
    p.fillRect(image.rect(), page);

    // Header band with the product name.
    QRect header(0, 0, kBackground.width(), 84);
    QLinearGradient band(0, 0, 0, header.height());
    band.setColorAt(0, c.headerTop);
    band.setColorAt(1, c.headerBottom);
    p.fillRect(header, band);
    p.fillRect(QRect(0, header.bottom() + 1, kBackground.width(), 2), c.headerBottom.darker(130));

    p.setPen(c.wordmark);
    p.setFont(Font(34, QFont::Black, 3));
    p.drawText(QRect(18, 8, 220, 44), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("VEXU"));
    p.setPen(c.subtitle);
    p.setFont(Font(15, QFont::DemiBold, 1));
    p.drawText(QRect(20, 48, 260, 20), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Dual Programmer"));
    p.setFont(Font(10, QFont::Normal, 1));
    p.drawText(QRect(20, 66, 260, 14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("FPGA  \u00B7  SPI SERIAL FLASH"));

    // Status pill: tells the operator at a glance whether a box is there.
    QRectF pill(262, 28, 156, 26);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 40));
    p.drawRoundedRect(pill, 13, 13);
    p.setBrush(c.statusDot);
    p.drawEllipse(QPointF(pill.left() + 15, pill.center().y()), 5, 5);
    p.setPen(c.statusText);
    p.setFont(Font(11, QFont::DemiBold));
    p.drawText(pill.adjusted(27, 0, -6, 0), Qt::AlignLeft | Qt::AlignVCenter, c.status);

    // Panels that frame the two parts and the start area.
    RoundedPanel(p, kFpgaRow, c.panel, c.panelEdge);
    RoundedPanel(p, kFlashRow, c.panel, c.panelEdge);
    RoundedPanel(p, kStartArea.adjusted(0, 0, -4, -4), c.panel, c.panelEdge);
    return image;
}

// ---------------------------------------------------------------- start button

QImage StartButton(bool enabled) {
    QImage image = Blank(kStartButton);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF body = QRectF(image.rect()).adjusted(3, 3, -3, -3);

    QColor top = enabled ? QColor(0x4C, 0xC8, 0x6B) : QColor(0xCF, 0xCF, 0xCF);
    QColor bottom = enabled ? QColor(0x1E, 0x86, 0x3A) : QColor(0xA4, 0xA4, 0xA4);
    QColor edge = enabled ? QColor(0x15, 0x60, 0x29) : QColor(0x8C, 0x8C, 0x8C);
    // Soft shadow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 45));
    p.drawRoundedRect(body.translated(1.5, 2), 14, 14);
    QLinearGradient fill(0, body.top(), 0, body.bottom());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.setBrush(fill);
    p.setPen(QPen(edge, 1.2));
    p.drawRoundedRect(body, 14, 14);
    // Gloss on the upper half.
    QLinearGradient gloss(0, body.top(), 0, body.center().y());
    gloss.setColorAt(0, QColor(255, 255, 255, 90));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRoundedRect(body.adjusted(3, 3, -3, -body.height() / 2), 11, 11);

    QPointF centre(body.center().x(), 54);
    p.setBrush(enabled ? QColor(255, 255, 255) : QColor(0xEE, 0xEE, 0xEE));
    p.drawEllipse(centre, 28, 28);
    QPainterPath play;
    play.moveTo(centre + QPointF(-9, -14));
    play.lineTo(centre + QPointF(15, 0));
    play.lineTo(centre + QPointF(-9, 14));
    play.closeSubpath();
    p.setBrush(enabled ? bottom : QColor(0xB0, 0xB0, 0xB0));
    p.drawPath(play);

    p.setPen(enabled ? QColor(255, 255, 255) : QColor(0xF4, 0xF4, 0xF4));
    p.setFont(Font(17, QFont::Black, 1));
    p.drawText(QRectF(body.left(), 92, body.width(), 24), Qt::AlignCenter, QStringLiteral("START"));
    return image;
}

// -------------------------------------------------------------- chip pictures

void Label(QPainter& p, const QString& text, const QColor& color) {
    p.setPen(color);
    p.setFont(Font(10, QFont::Bold, 1));
    p.drawText(QRect(0, 56, kChipPicture.width(), 15), Qt::AlignCenter, text);
}

// The dark package of a chip, shaded from its top-left corner.
void ChipBody(QPainter& p, const QRectF& body) {
    QLinearGradient fill(body.topLeft(), body.bottomRight());
    fill.setColorAt(0, QColor(0x3C, 0x42, 0x4C));
    fill.setColorAt(1, QColor(0x1C, 0x20, 0x26));
    p.setBrush(fill);
    p.setPen(QPen(QColor(0x12, 0x14, 0x18), 1));
    p.drawRoundedRect(body, 2.5, 2.5);
}

QImage FpgaPicture() {
    QImage image = Blank(kChipPicture);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF body(13, 5, 41, 41);
    // Gull-wing pins on four sides.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xC3, 0xC7, 0xCC));
    for (int i = 0; i < 6; ++i) {
        double offset = body.left() + 5 + i * 6.2;
        p.drawRect(QRectF(offset, body.top() - 4, 2.6, 5));
        p.drawRect(QRectF(offset, body.bottom() - 1, 2.6, 5));
        double along = body.top() + 5 + i * 6.2;
        p.drawRect(QRectF(body.left() - 4, along, 5, 2.6));
        p.drawRect(QRectF(body.right() - 1, along, 5, 2.6));
    }
    ChipBody(p, body);
    // Die window and pin-1 mark.
    p.setPen(QPen(QColor(0x6A, 0x74, 0x82), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(9, 9, -9, -9), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x8A, 0x94, 0xA2));
    p.drawEllipse(QPointF(body.left() + 5, body.top() + 5), 2, 2);
    p.setPen(QColor(0xE8, 0xB8, 0x4A));
    p.setFont(Font(9, QFont::Bold));
    p.drawText(body.adjusted(9, 9, -9, -9), Qt::AlignCenter, QStringLiteral("JTAG"));
    Label(p, QStringLiteral("FPGA"), QColor(0x40, 0x18, 0x1E));
    return image;
}

QImage FlashPicture() {
    QImage image = Blank(kChipPicture);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF body(15, 9, 37, 34);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xC3, 0xC7, 0xCC));
    for (int i = 0; i < 4; ++i) {
        double along = body.top() + 4 + i * 8;
        p.drawRect(QRectF(body.left() - 7, along, 8, 3.4));
        p.drawRect(QRectF(body.right() - 1, along, 8, 3.4));
    }
    ChipBody(p, body);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x8A, 0x94, 0xA2));
    p.drawEllipse(QPointF(body.left() + 5, body.top() + 5), 2, 2);
    p.setPen(QColor(0xE8, 0xB8, 0x4A));
    p.setFont(Font(9, QFont::Bold));
    p.drawText(body.adjusted(0, 4, 0, 0), Qt::AlignCenter, QStringLiteral("25P"));
    Label(p, QStringLiteral("SPI FLASH"), QColor(0x40, 0x18, 0x1E));
    return image;
}

// ------------------------------------------------------------------------ icon

QImage Icon(int size) {
    QImage image = Blank(QSize(size, size));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    QRectF tile(12, 12, 232, 232);
    QLinearGradient fill(0, tile.top(), 0, tile.bottom());
    fill.setColorAt(0, QColor(0xB8, 0x36, 0x44));
    fill.setColorAt(1, QColor(0x6E, 0x1A, 0x26));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(tile, 48, 48);
    // A chip with a downward arrow: an image going into the part.
    QRectF chip(70, 70, 116, 116);
    p.setBrush(QColor(255, 255, 255));
    for (int i = 0; i < 5; ++i) {
        double offset = chip.left() + 14 + i * 20;
        p.drawRoundedRect(QRectF(offset, chip.top() - 22, 10, 26), 3, 3);
        p.drawRoundedRect(QRectF(offset, chip.bottom() - 4, 10, 26), 3, 3);
        double along = chip.top() + 14 + i * 20;
        p.drawRoundedRect(QRectF(chip.left() - 22, along, 26, 10), 3, 3);
        p.drawRoundedRect(QRectF(chip.right() - 4, along, 26, 10), 3, 3);
    }
    p.drawRoundedRect(chip, 14, 14);
    QPainterPath arrow;
    QPointF c = chip.center();
    arrow.moveTo(c + QPointF(-13, -38));
    arrow.lineTo(c + QPointF(13, -38));
    arrow.lineTo(c + QPointF(13, 2));
    arrow.lineTo(c + QPointF(32, 2));
    arrow.lineTo(c + QPointF(0, 38));
    arrow.lineTo(c + QPointF(-32, 2));
    arrow.lineTo(c + QPointF(-13, 2));
    arrow.closeSubpath();
    p.setBrush(QColor(0x8E, 0x22, 0x30));
    p.drawPath(arrow);
    return image;
}

bool Save(const QString& dir, const char* name, const QImage& image) {
    QString path = dir + QLatin1Char('/') + QLatin1String(name);
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "vexu-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vexu-artwork OUTPUT_DIR\n");
        return 2;
    }
    QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    const Palette present{QColor(0x9A, 0x27, 0x35), QColor(0x6C, 0x17, 0x23), QColor(0xFB, 0xEE, 0xEE),
                          QColor(0xF1, 0xCF, 0xCF), QColor(255, 255, 255, 120), QColor(0xD9, 0x9A, 0x9A),
                          QColor(255, 255, 255), QColor(0xF6, 0xD4, 0xD8), QColor(0x5C, 0xE0, 0x7C),
                          QColor(255, 255, 255), QStringLiteral("Programmer ready")};
    const Palette absent{QColor(0x6E, 0x6E, 0x72), QColor(0x4E, 0x4E, 0x52), QColor(0xEE, 0xEE, 0xEE),
                         QColor(0xD2, 0xD2, 0xD2), QColor(255, 255, 255, 110), QColor(0xA8, 0xA8, 0xA8),
                         QColor(0xE6, 0xE6, 0xE6), QColor(0xC8, 0xC8, 0xC8), QColor(0xB0, 0xB0, 0xB0),
                         QColor(0xE0, 0xE0, 0xE0), QStringLiteral("No programmer box")};

    bool ok = Save(dir, "background_on.png", Background(present)) &&
              Save(dir, "background_off.png", Background(absent)) &&
              Save(dir, "start.png", StartButton(true)) && Save(dir, "start_disabled.png", StartButton(false)) &&
              Save(dir, "fpga.png", FpgaPicture()) && Save(dir, "fpga_disabled.png", Greyed(FpgaPicture(), 0.45)) &&
              Save(dir, "flash.png", FlashPicture()) &&
              Save(dir, "flash_disabled.png", Greyed(FlashPicture(), 0.45)) &&
              Save(dir, "icon.png", Icon(256)) && Save(dir, "icon48.png", Icon(48));
    return ok ? 0 : 1;
}
