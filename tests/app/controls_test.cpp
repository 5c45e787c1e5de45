// The self-drawn controls: colours in both states, alignment, the bar's
// arithmetic and refusals, and the link's hover.
#include <QMouseEvent>
#include <QtTest>

#include "app/qarn_controls.h"
#include "app/win_color.h"
#include "platform/trace.h"

namespace {

// How many pixels of the picture have exactly this colour.
int CountColor(const QImage& image, const QColor& color, QRect area = {}) {
    if (area.isNull()) area = image.rect();
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += QColor(image.pixel(x, y)) == color;
    return n;
}

// The horizontal extent of the pixels of one colour: [first, last] column.
std::pair<int, int> ColumnsOf(const QImage& image, const QColor& color) {
    int first = image.width();
    int last = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (QColor(image.pixel(x, y)) == color) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return {first, last};
}

void SendMouseMove(QWidget* widget) {
    QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

void SendLeave(QWidget* widget) {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(widget, &leave);
}

constexpr COLORREF kText = RGB(0x20, 0x40, 0xC0);
constexpr COLORREF kBack = RGB(0xF0, 0xE0, 0x10);
constexpr COLORREF kDisabledText = RGB(0x11, 0x22, 0x33);
constexpr COLORREF kDisabledBack = RGB(0xA0, 0xB0, 0xC0);
constexpr COLORREF kHover = RGB(0xE0, 0x10, 0x30);

template <class Control>
void Colour(Control& control) {
    control.SetText(QStringLiteral("WWWW"));
    control.SetTextColor(kText);
    control.SetBackColor(kBack);
    control.SetDisabledTextColor(kDisabledText);
    control.SetDisabledBackColor(kDisabledBack);
}

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void colourValuesAreBlueGreenRed_data() {
        QTest::addColumn<uint>("value");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("caption back") << 0x009D9DEDu << QColor(0xED, 0x9D, 0x9D);
        QTest::newRow("link text") << 0x001C25DAu << QColor(0xDA, 0x25, 0x1C);
        QTest::newRow("pure red") << 0x000000FFu << QColor(255, 0, 0);
        QTest::newRow("pure blue") << 0x00FF0000u << QColor(0, 0, 255);
        QTest::newRow("top byte ignored") << 0xFF00FF00u << QColor(0, 255, 0);
    }
    void colourValuesAreBlueGreenRed() {
        QFETCH(uint, value);
        QFETCH(QColor, expected);
        QCOMPARE(ToQColor(value), expected);
    }

    void staticPaintsItsStateColoursLeftAligned() {
        CQarnStatic panel;
        panel.resize(240, 24);
        Colour(panel);
        QImage enabled = panel.Render();
        QCOMPARE(QColor(enabled.pixel(0, 0)), ToQColor(kBack));
        QCOMPARE(QColor(enabled.pixel(239, 23)), ToQColor(kBack));
        QVERIFY(CountColor(enabled, ToQColor(kText)) > 10);
        auto [first, last] = ColumnsOf(enabled, ToQColor(kText));
        QVERIFY2(first < 10 && last < 120, "text starts at the left edge");

        panel.setEnabled(false);
        QImage disabled = panel.Render();
        QCOMPARE(QColor(disabled.pixel(0, 0)), ToQColor(kDisabledBack));
        QVERIFY(CountColor(disabled, ToQColor(kDisabledText)) > 10);
        QCOMPARE(CountColor(disabled, ToQColor(kText)), 0);
        QCOMPARE(CountColor(disabled, ToQColor(kBack)), 0);
    }

    void textIsVerticallyCentred() {
        CQarnStatic panel;
        panel.resize(200, 40);
        Colour(panel);
        QImage image = panel.Render();
        int top = image.height(), bottom = -1;
        for (int y = 0; y < image.height(); ++y)
            if (CountColor(image, ToQColor(kText), QRect(0, y, image.width(), 1))) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        QVERIFY(bottom >= top);
        QVERIFY2(std::abs((top + bottom) - (image.height() - 1)) <= 6, "text centred within a few pixels");
    }

    void linkIsRightAligned() {
        CQarnLink link;
        link.resize(400, 30);
        Colour(link);
        auto [first, last] = ColumnsOf(link.Render(), ToQColor(kText));
        QVERIFY2(last > 390 && first > 250, "text ends at the right edge");
    }

    void barFillsInProportion_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<uint>("lower");
        QTest::addColumn<uint>("upper");
        QTest::addColumn<uint>("pos");
        QTest::addColumn<int>("filled");
        QTest::newRow("empty") << 244 << 0u << 100u << 0u << 0;
        QTest::newRow("42 percent truncated") << 244 << 0u << 100u << 42u << 102;  // 102.48
        QTest::newRow("full") << 244 << 0u << 100u << 100u << 244;
        QTest::newRow("range 0..3") << 100 << 0u << 3u << 1u << 33;
        QTest::newRow("empty range draws nothing") << 100 << 7u << 7u << 7u << 0;
    }
    void barFillsInProportion() {
        QFETCH(int, width);
        QFETCH(uint, lower);
        QFETCH(uint, upper);
        QFETCH(uint, pos);
        QFETCH(int, filled);
        CQarnProgress bar;
        bar.resize(width, 23);
        bar.SetBarColor(kText);
        bar.SetBackColor(kBack);
        bar.SetRange(lower, upper);
        bar.SetPos(pos);
        QCOMPARE(bar.FilledWidth(), filled);
        QImage image = bar.Render();
        QCOMPARE(CountColor(image, ToQColor(kText)), filled * 23);
        QCOMPARE(CountColor(image, ToQColor(kBack)), (width - filled) * 23);
        if (filled > 0) QCOMPARE(QColor(image.pixel(0, 11)), ToQColor(kText));
    }

    void barRefusesBadRangeAndPosition() {
        vexu::TraceCapture trace;
        CQarnProgress bar;
        bar.resize(100, 10);
        bar.SetPos(60);
        bar.SetPos(101);
        QCOMPARE(bar.Pos(), 60u);
        QCOMPARE(trace.Count("CQarnProgress::SetPos()  Error: pos>upper \r\n"), size_t{1});
        bar.SetRange(5, 4);
        QCOMPARE(bar.Lower(), 0u);
        QCOMPARE(bar.Upper(), 100u);
        QCOMPARE(trace.Count("CQarnProgress::SetRange()  Error: lower>upper \r\n"), size_t{1});
        QCOMPARE(bar.FilledWidth(), 60);
        // The upper bound itself is allowed; the comparison is unsigned.
        bar.SetPos(100);
        QCOMPARE(bar.Pos(), 100u);
        bar.SetPos(static_cast<uint32_t>(-1));
        QCOMPARE(bar.Pos(), 100u);
        QCOMPARE(trace.Count("CQarnProgress::SetPos()  Error: pos>upper \r\n"), size_t{2});
    }

    void disabledBarKeepsPositionInItsOwnColours() {
        CQarnProgress bar;
        bar.resize(200, 10);
        bar.SetBarColor(kText);
        bar.SetBackColor(kBack);
        bar.SetDisabledBarColor(kDisabledText);
        bar.SetDisabledBackColor(kDisabledBack);
        bar.SetPos(25);
        bar.setEnabled(false);
        QImage image = bar.Render();
        QCOMPARE(CountColor(image, ToQColor(kDisabledText)), 50 * 10);
        QCOMPARE(CountColor(image, ToQColor(kDisabledBack)), 150 * 10);
    }

    void linkHoverChangesColourAndCursor() {
        QWidget window;
        window.resize(420, 60);
        auto* link = new CQarnLink(&window);
        link->setGeometry(0, 0, 400, 30);
        Colour(*link);
        link->SetHoverTextColor(kHover);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        SendMouseMove(link);
        QTRY_VERIFY(link->Hover());
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QImage hovered = link->Render();
        QVERIFY(CountColor(hovered, ToQColor(kHover)) > 10);
        QCOMPARE(CountColor(hovered, ToQColor(kText)), 0);

        SendLeave(link);
        QVERIFY(!link->Hover());
        QCOMPARE(link->cursor().shape(), Qt::ArrowCursor);
        QImage left = link->Render();
        QVERIFY(CountColor(left, ToQColor(kText)) > 10);
        QCOMPARE(CountColor(left, ToQColor(kHover)), 0);

        // A second visit hovers again: leaving cleared the request.
        SendMouseMove(link);
        QTRY_VERIFY(link->Hover());
    }

    void disabledLinkIgnoresHover() {
        QWidget window;
        window.resize(420, 60);
        auto* link = new CQarnLink(&window);
        link->setGeometry(0, 0, 400, 30);
        Colour(*link);
        link->SetHoverTextColor(kHover);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // Hovering when the link is disabled: its colours stay the disabled ones.
        SendMouseMove(link);
        QTRY_VERIFY(link->Hover());
        link->setEnabled(false);
        QImage image = link->Render();
        QVERIFY(CountColor(image, ToQColor(kDisabledText)) > 10);
        QCOMPARE(CountColor(image, ToQColor(kHover)), 0);
        QCOMPARE(QColor(image.pixel(0, 0)), ToQColor(kDisabledBack));
        QCOMPARE(link->cursor().shape(), Qt::ArrowCursor);

        // A disabled link does not start hovering.
        SendLeave(link);
        SendMouseMove(link);
        QTest::qWait(20);
        QVERIFY(!link->Hover());
    }

    void linkClickReachesOwner() {
        CQarnLink link;
        link.resize(100, 20);
        int clicks = 0;
        connect(&link, &QAbstractButton::clicked, this, [&clicks] { ++clicks; });
        QTest::mouseClick(&link, Qt::LeftButton);
        QCOMPARE(clicks, 1);
        link.setEnabled(false);
        QTest::mouseClick(&link, Qt::LeftButton);
        QCOMPARE(clicks, 1);
    }

    void paintingGoesThroughOnePicture() {
        // What reaches the screen is exactly the rendered picture.
        QWidget window;
        window.resize(300, 40);
        auto* panel = new CQarnStatic(&window);
        panel->setGeometry(0, 0, 250, 25);
        Colour(*panel);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QImage screen = panel->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(screen, panel->Render());
    }
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
