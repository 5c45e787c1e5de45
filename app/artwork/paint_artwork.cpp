// Paints the window's pictures at build time: the two backgrounds (box
// present / no box), the start button, the FPGA and serial-flash pictures,
// each in a normal and a disabled form, and the application icon.
// Each picture is written twice: as PNG for the Linux window and as a 32-bit
// BMP (premultiplied alpha) for the Windows window's resources, so both
// windows show the same pixels. The Windows icon file and the start
// button's hover and pressed looks go with the BMPs.
// Usage: vexu-artwork OUTPUT_DIR
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

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

// ------------------------------------------------------------- Windows files

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A BITMAPINFOHEADER (40 bytes) for a 32-bit picture stored bottom-up.
void PutInfoHeader(std::vector<uint8_t>& out, int width, int height) {
    PutLe(out, 40, 4);
    PutLe(out, static_cast<uint32_t>(width), 4);
    PutLe(out, static_cast<uint32_t>(height), 4);
    PutLe(out, 1, 2);   // planes
    PutLe(out, 32, 2);  // bits per pixel
    PutLe(out, 0, 4);   // BI_RGB
    PutLe(out, static_cast<uint32_t>(width * 4 * std::abs(height)), 4);
    PutLe(out, 3780, 4);  // 96 dots per inch
    PutLe(out, 3780, 4);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
}

// The pixels bottom-up, blue-green-red-alpha with the colour premultiplied
// by alpha, as the system's alpha blending takes them.
void PutPixels(std::vector<uint8_t>& out, const QImage& image) {
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = pixels.height() - 1; y >= 0; --y) {
        const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            const QRgb p = line[x];
            out.push_back(static_cast<uint8_t>(qBlue(p)));
            out.push_back(static_cast<uint8_t>(qGreen(p)));
            out.push_back(static_cast<uint8_t>(qRed(p)));
            out.push_back(static_cast<uint8_t>(qAlpha(p)));
        }
    }
}

std::vector<uint8_t> BmpFile(const QImage& image) {
    std::vector<uint8_t> out;
    const uint32_t dataOffset = 14 + 40;
    out.push_back('B');
    out.push_back('M');
    PutLe(out, dataOffset + static_cast<uint32_t>(image.width() * image.height() * 4), 4);
    PutLe(out, 0, 4);
    PutLe(out, dataOffset, 4);
    PutInfoHeader(out, image.width(), image.height());
    PutPixels(out, image);
    return out;
}

// One icon image in the icon file's own form: the colour picture with
// doubled height, then an all-clear AND mask (the alpha channel decides).
std::vector<uint8_t> IconImage(const QImage& image) {
    std::vector<uint8_t> out;
    PutInfoHeader(out, image.width(), image.height() * 2);
    PutPixels(out, image);
    const int maskStride = ((image.width() + 31) / 32) * 4;
    out.insert(out.end(), static_cast<size_t>(maskStride * image.height()), 0);
    return out;
}

std::vector<uint8_t> PngBytes(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// An icon file with the sizes the shell asks for; the largest one as PNG.
std::vector<uint8_t> IcoFile(const std::vector<QImage>& images) {
    std::vector<std::vector<uint8_t>> entries;
    for (const QImage& image : images) entries.push_back(image.width() >= 256 ? PngBytes(image) : IconImage(image));
    std::vector<uint8_t> out;
    PutLe(out, 0, 2);
    PutLe(out, 1, 2);  // an icon
    PutLe(out, static_cast<uint32_t>(images.size()), 2);
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(images[i].width() >= 256 ? 0 : images[i].width()));
        out.push_back(static_cast<uint8_t>(images[i].height() >= 256 ? 0 : images[i].height()));
        out.push_back(0);  // no palette
        out.push_back(0);
        PutLe(out, 1, 2);   // planes
        PutLe(out, 32, 2);  // bits per pixel
        PutLe(out, static_cast<uint32_t>(entries[i].size()), 4);
        PutLe(out, offset, 4);
        offset += static_cast<uint32_t>(entries[i].size());
    }
    for (const auto& entry : entries) out.insert(out.end(), entry.begin(), entry.end());
    return out;
}

bool WriteBytes(const QString& path, const std::vector<uint8_t>& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size())) {
        std::fprintf(stderr, "vexu-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The start button under the mouse: a little brighter.
QImage Lit(const QImage& source) {
    QImage image = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            auto lift = [](int c) { return c + (255 - c) * 18 / 100; };
            line[x] = qRgba(lift(qRed(p)), lift(qGreen(p)), lift(qBlue(p)), qAlpha(p));
        }
    }
    return image;
}

// The start button held down: a little darker and moved one pixel right and down.
QImage Pressed(const QImage& source) {
    QImage dark = source.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < dark.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(dark.scanLine(y));
        for (int x = 0; x < dark.width(); ++x) {
            const QRgb p = line[x];
            line[x] = qRgba(qRed(p) * 85 / 100, qGreen(p) * 85 / 100, qBlue(p) * 85 / 100, qAlpha(p));
        }
    }
    QImage image = Blank(source.size());
    QPainter p(&image);
    p.drawImage(1, 1, dark);
    return image;
}

// Writes NAME.png and NAME.bmp.
bool Save(const QString& dir, const char* name, const QImage& image) {
    QString path = dir + QLatin1Char('/') + QLatin1String(name);
    if (!image.save(path + QStringLiteral(".png"), "PNG")) {
        std::fprintf(stderr, "vexu-artwork: cannot write %s.png\n", qPrintable(path));
        return false;
    }
    return WriteBytes(path + QStringLiteral(".bmp"), BmpFile(image));
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

    const QImage start = StartButton(true);
    bool ok = Save(dir, "background_on", Background(present)) && Save(dir, "background_off", Background(absent)) &&
              Save(dir, "start", start) && Save(dir, "start_disabled", StartButton(false)) &&
              Save(dir, "fpga", FpgaPicture()) && Save(dir, "fpga_disabled", Greyed(FpgaPicture(), 0.45)) &&
              Save(dir, "flash", FlashPicture()) && Save(dir, "flash_disabled", Greyed(FlashPicture(), 0.45)) &&
              Save(dir, "icon", Icon(256)) && Save(dir, "icon48", Icon(48)) &&
              WriteBytes(dir + QStringLiteral("/start_hover.bmp"), BmpFile(Lit(start))) &&
              WriteBytes(dir + QStringLiteral("/start_pressed.bmp"), BmpFile(Pressed(start))) &&
              WriteBytes(dir + QStringLiteral("/icon.ico"), IcoFile({Icon(16), Icon(32), Icon(48), Icon(256)}));
    return ok ? 0 : 1;
}
