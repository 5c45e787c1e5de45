// The main window on one thread: layout, the settings record applied to
// every control, part flags, progress and log texts, the link, the about
// box, the hidden settings-file command, the error box, and the background
// following the box's presence.
#include <QContextMenuEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "app/about_dlg.h"
#include "app/bitmap_button.h"
#include "app/dialog_template.h"
#include "app/qarn_controls.h"
#include "app_test_support.h"
#include "common/run_messages.h"

using vexu::test::ResourcePicture;
using vexu::test::ScopedSettings;
using vexu::test::WindowRig;

namespace {

bool HasColor(const QImage& image, const QColor& color) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (QColor(image.pixel(x, y)) == color) return true;
    return false;
}

// A record in which every colour differs from every other, so a colour fed
// to the wrong setter shows.
AppSetting DistinctSetting() {
    AppSetting s = DefaultAppSetting();
    size_t count = 0;
    const AppSettingField* fields = AppSettingFields(count);
    uint32_t n = 0;
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].kind != SettingKind::kColor) continue;
        ++n;
        s.*(fields[i].number) = RGB(static_cast<uint8_t>(8 * n), static_cast<uint8_t>(250 - 7 * n),
                                     static_cast<uint8_t>(0x40 + 3 * n));
    }
    SetSettingText(s.title, std::string(255, 'T'));
    SetSettingText(s.fpgaCaption, "FPGA PART");
    SetSettingText(s.eepromCaption, "FLASH PART");
    SetSettingText(s.linkText, "www.example.com  Vexu");
    SetSettingText(s.linkUrl, "https://www.example.com/vexu");
    // Bytes after a terminating zero are not text.
    std::memcpy(s.fpgaCaption + 10, "HIDDEN", 6);
    return s;
}

struct TextControlColours {
    int id;
    COLORREF text, back, disabledText, disabledBack;
};

WindowRig::Options Plugged() { return {"", false, {}}; }

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private slots:
    void layoutFollowsTheTemplate() {
        WindowRig rig(Plugged());
        QCOMPARE(rig.dlg->size(), QSize(430, 280));
        QCOMPARE(rig.dlg->minimumSize(), rig.dlg->maximumSize());
        // The link line spans the bottom edge of the client area.
        QCOMPARE(rig.dlg->Control(IDC_LINK)->geometry(), QRect(0, 249, 430, 31));
        for (int id : {IDC_FPGA_CAPTION, IDC_FPGA_BAR, IDC_FPGA_PERCENT, IDC_EEPROM_CAPTION, IDC_EEPROM_BAR,
                       IDC_EEPROM_PERCENT})
            QCOMPARE(rig.dlg->Control(id)->geometry(), DialogItemRect(*FindDialogItem(id)));
        // Picture buttons take their pictures' size at their places.
        QCOMPARE(rig.dlg->Control(IDC_START)->geometry(), QRect(339, 113, 90, 135));
        QCOMPARE(rig.dlg->Control(IDC_FPGA_PICTURE)->geometry(), QRect(15, 97, 67, 71));
        QCOMPARE(rig.dlg->Control(IDC_EEPROM_PICTURE)->geometry(), QRect(15, 178, 67, 71));
        for (int id : kSwitchedControls) QVERIFY(rig.dlg->rect().contains(rig.dlg->Control(id)->geometry()));
        QVERIFY(!rig.dlg->Control(IDC_BUILD_SETTING_FILE)->isVisible());
    }

    // During a run the percent labels stand where the start button was,
    // inside the window with the margin the pictures keep on the left, and
    // wide enough for "100%".
    void percentLabelsStayInsideTheWindowDuringARun() {
        WindowRig rig(Plugged());
        rig.dlg->Post(vexu::WM_RUN_START, 0, 0);
        PostMsgText(kFpgaProgressText, 100, 0);
        PostMsgText(kEepromProgressText, 100, 0);
        rig.Settle();
        const int margin = rig.dlg->Control(IDC_FPGA_PICTURE)->geometry().left();
        const QRect inside = rig.dlg->rect().adjusted(margin, 0, -margin, 0);
        for (int id : {IDC_FPGA_PERCENT, IDC_EEPROM_PERCENT}) {
            CQarnStatic* label = rig.Static(id);
            QVERIFY(label->isVisible());
            QCOMPARE(label->Text(), QStringLiteral("100%"));
            QVERIFY2(inside.contains(label->geometry()), qPrintable(QString::number(label->geometry().right())));
            // The text ends before the label does: its last column is background.
            const QImage picture = label->Render();
            const QRgb back = picture.pixel(picture.width() - 1, 0);
            for (int y = 0; y < picture.height(); ++y) QCOMPARE(picture.pixel(picture.width() - 1, y), back);
        }
        rig.dlg->Post(vexu::WM_RUN_END, 0, RUN_OK);
        rig.Settle();
    }

    void settingsAppliedToEveryControl() {
        const AppSetting s = DistinctSetting();
        ScopedSettings settings(s);
        WindowRig rig(Plugged());
        QVERIFY(rig.dlg->Enabled());
        QCOMPARE(rig.dlg->windowTitle(), QString(255, QLatin1Char('T')));
        QCOMPARE(rig.Static(IDC_FPGA_CAPTION)->Text(), QStringLiteral("FPGA PART"));
        QCOMPARE(rig.Static(IDC_EEPROM_CAPTION)->Text(), QStringLiteral("FLASH PART"));
        QCOMPARE(rig.Static(IDC_FPGA_PERCENT)->Text(), QStringLiteral("0%"));
        QCOMPARE(rig.Static(IDC_EEPROM_PERCENT)->Text(), QStringLiteral("0%"));
        QCOMPARE(rig.Link()->Text(), QStringLiteral("www.example.com  Vexu"));

        const TextControlColours texts[] = {
            {IDC_FPGA_CAPTION, s.fpgaCaptionTextColor, s.fpgaCaptionBackColor, s.fpgaCaptionDisabledTextColor,
             s.fpgaCaptionDisabledBackColor},
            {IDC_FPGA_PERCENT, s.fpgaPercentTextColor, s.fpgaPercentBackColor, s.fpgaPercentDisabledTextColor,
             s.fpgaPercentDisabledBackColor},
            {IDC_EEPROM_CAPTION, s.eepromCaptionTextColor, s.eepromCaptionBackColor,
             s.eepromCaptionDisabledTextColor, s.eepromCaptionDisabledBackColor},
            {IDC_EEPROM_PERCENT, s.eepromPercentTextColor, s.eepromPercentBackColor,
             s.eepromPercentDisabledTextColor, s.eepromPercentDisabledBackColor},
            {IDC_LINK, s.linkTextColor, s.linkBackColor, s.linkDisabledTextColor, s.linkDisabledBackColor},
        };
        const TextControlColours bars[] = {
            {IDC_FPGA_BAR, s.fpgaBarColor, s.fpgaBarBackColor, s.fpgaBarDisabledColor, s.fpgaBarDisabledBackColor},
            {IDC_EEPROM_BAR, s.eepromBarColor, s.eepromBarBackColor, s.eepromBarDisabledColor,
             s.eepromBarDisabledBackColor},
        };
        auto render = [&rig](int id) { return id == IDC_LINK ? rig.Link()->Render() : rig.Static(id)->Render(); };
        auto check = [&](bool enabled) {
            for (const TextControlColours& bar : bars) rig.Bar(bar.id)->SetPos(50);
            for (const TextControlColours& c : texts) {
                QImage image = render(c.id);
                QCOMPARE(QColor(image.pixel(0, 0)), ToQColor(enabled ? c.back : c.disabledBack));
                QVERIFY2(HasColor(image, ToQColor(enabled ? c.text : c.disabledText)), qPrintable(QString::number(c.id)));
            }
            for (const TextControlColours& c : bars) {
                QImage image = rig.Bar(c.id)->Render();
                QCOMPARE(QColor(image.pixel(1, 5)), ToQColor(enabled ? c.text : c.disabledText));
                QCOMPARE(QColor(image.pixel(image.width() - 2, 5)), ToQColor(enabled ? c.back : c.disabledBack));
            }
        };
        check(true);
        rig.Unplug();
        QVERIFY(!rig.dlg->Enabled());
        check(false);
        rig.Plug();
        QVERIFY(rig.dlg->Enabled());
        // An arrival puts the bars back to 0.
        QCOMPARE(rig.Bar(IDC_FPGA_BAR)->Pos(), 0u);
    }

    // A record written on Windows holds its texts in GBK; the window shows
    // them as the characters they are, beside UTF-8 texts.
    void gbkTextsOfTheRecordAreShownAsTheirCharacters() {
        AppSetting s = DefaultAppSetting();
        SetSettingText(s.title, "\xBF\xC6\xCC\xD8\xC8\xF0\xCB\xAB\xD0\xBE\xC6\xAC\xB1\xE0\xB3\xCC\xC6\xF7 v2.03");
        SetSettingText(s.fpgaCaption, "FPGA \xD0\xBE\xC6\xAC\xD0\xCD\xBA\xC5");
        SetSettingText(s.eepromCaption, "\xE4\xB8\xB2\xE8\xA1\x8C\xE9\x97\xAA\xE5\xAD\x98");
        SetSettingText(s.linkText, "\xB9\xD9\xCD\xF8 www.example.com");
        ScopedSettings settings(s);
        WindowRig rig(Plugged());
        QCOMPARE(rig.dlg->windowTitle(), QStringLiteral("科特瑞双芯片编程器 v2.03"));
        QCOMPARE(rig.Static(IDC_FPGA_CAPTION)->Text(), QStringLiteral("FPGA 芯片型号"));
        QCOMPARE(rig.Static(IDC_EEPROM_CAPTION)->Text(), QStringLiteral("串行闪存"));
        QCOMPARE(rig.Link()->Text(), QStringLiteral("官网 www.example.com"));
    }

    void hoverColourComesFromTheRecord() {
        const AppSetting s = DistinctSetting();
        ScopedSettings settings(s);
        WindowRig rig(Plugged());
        CQarnLink* link = rig.Link();
        QPointF at(200, 15);
        QMouseEvent move(QEvent::MouseMove, at, link->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(link, &move);
        QTRY_VERIFY(link->Hover());
        QVERIFY(HasColor(link->Render(), ToQColor(s.linkHoverTextColor)));
        QVERIFY(!HasColor(link->Render(), ToQColor(s.linkTextColor)));
    }

    void partFlagsHideTheirControls_data() {
        QTest::addColumn<uint>("showFpga");
        QTest::addColumn<uint>("showEeprom");
        QTest::newRow("both") << 1u << 1u;
        QTest::newRow("serial flash only") << 0u << 1u;
        QTest::newRow("FPGA only") << 1u << 0u;
        QTest::newRow("neither") << 0u << 0u;
        // Only 1 switches a part on: a record holding another value shows
        // (and runs) the part as off.
        QTest::newRow("FPGA flag 2") << 2u << 1u;
        QTest::newRow("serial-flash flag 0xFFFFFFFF") << 1u << 0xFFFFFFFFu;
    }
    void partFlagsHideTheirControls() {
        QFETCH(uint, showFpga);
        QFETCH(uint, showEeprom);
        AppSetting s = DefaultAppSetting();
        s.showFpga = showFpga;
        s.showEeprom = showEeprom;
        ScopedSettings settings(s);
        WindowRig rig(Plugged());
        const int fpga[] = {IDC_FPGA_PICTURE, IDC_FPGA_CAPTION, IDC_FPGA_BAR};
        const int eeprom[] = {IDC_EEPROM_PICTURE, IDC_EEPROM_CAPTION, IDC_EEPROM_BAR};
        for (int id : fpga) QCOMPARE(rig.dlg->Control(id)->isVisible(), showFpga == 1);
        for (int id : eeprom) QCOMPARE(rig.dlg->Control(id)->isVisible(), showEeprom == 1);
        QVERIFY(!rig.dlg->Control(IDC_FPGA_PERCENT)->isVisible());
        QVERIFY(!rig.dlg->Control(IDC_EEPROM_PERCENT)->isVisible());

        rig.dlg->WindowProc(vexu::WM_RUN_START, 0, 0);
        QVERIFY(!rig.dlg->Control(IDC_START)->isVisible());
        QCOMPARE(rig.dlg->Control(IDC_FPGA_PERCENT)->isVisible(), showFpga == 1);
        QCOMPARE(rig.dlg->Control(IDC_EEPROM_PERCENT)->isVisible(), showEeprom == 1);
        for (int id : fpga) QCOMPARE(rig.dlg->Control(id)->isVisible(), showFpga == 1);
        for (int id : eeprom) QCOMPARE(rig.dlg->Control(id)->isVisible(), showEeprom == 1);

        rig.dlg->WindowProc(vexu::WM_RUN_END, STEP_EEPROM, RUN_OK);
        QVERIFY(rig.dlg->Control(IDC_START)->isVisible());
        QVERIFY(!rig.dlg->Control(IDC_FPGA_PERCENT)->isVisible());
        QVERIFY(!rig.dlg->Control(IDC_EEPROM_PERCENT)->isVisible());
        QVERIFY(rig.errorsShown.isEmpty());
    }

    // With both parts off (or not 1) a start would pass without touching the
    // board: the window refuses it and says why.
    void startWithBothPartsOffIsRefused_data() {
        QTest::addColumn<uint>("showFpga");
        QTest::addColumn<uint>("showEeprom");
        QTest::newRow("both 0") << 0u << 0u;
        QTest::newRow("2 and 0") << 2u << 0u;
    }
    void startWithBothPartsOffIsRefused() {
        QFETCH(uint, showFpga);
        QFETCH(uint, showEeprom);
        AppSetting s = DefaultAppSetting();
        s.showFpga = showFpga;
        s.showEeprom = showEeprom;
        ScopedSettings settings(s);
        WindowRig rig(Plugged());
        const uint64_t transfers = rig.sim->Counters().transfers;
        QTest::mouseClick(rig.Picture(IDC_START), Qt::LeftButton);
        rig.Settle();
        QCOMPARE(rig.noticesShown.size(), 1);
        QVERIFY2(rig.noticesShown.first().startsWith(QStringLiteral("Error: Nothing to program")),
                 qPrintable(rig.noticesShown.first()));
        QVERIFY(!rig.dlg->RunInProgress());
        QVERIFY(rig.Picture(IDC_START)->isVisible());
        QCOMPARE(rig.sim->Counters().transfers, transfers);
        QVERIFY(rig.errorsShown.isEmpty());
    }

    void progressTextMovesBarAndLabel_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("percent");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("label");
        QTest::newRow("FPGA 42") << "SetFpgaProgress" << 42 << int(IDC_FPGA_BAR) << int(IDC_FPGA_PERCENT);
        QTest::newRow("FPGA 100") << "SetFpgaProgress" << 100 << int(IDC_FPGA_BAR) << int(IDC_FPGA_PERCENT);
        QTest::newRow("flash 0") << "SetEepromProgress" << 0 << int(IDC_EEPROM_BAR) << int(IDC_EEPROM_PERCENT);
        QTest::newRow("flash 100") << "SetEepromProgress" << 100 << int(IDC_EEPROM_BAR)
                                   << int(IDC_EEPROM_PERCENT);
    }
    void progressTextMovesBarAndLabel() {
        QFETCH(QString, command);
        QFETCH(int, percent);
        QFETCH(int, bar);
        QFETCH(int, label);
        WindowRig rig(Plugged());
        rig.Bar(bar)->SetPos(7);
        PostMsgText(command.toLatin1().constData(), static_cast<vexu::WPARAM>(percent), 0);
        rig.Settle();
        QCOMPARE(rig.Static(label)->Text(), QString::number(percent) + QLatin1Char('%'));
        QCOMPARE(rig.Bar(bar)->Pos(), static_cast<uint32_t>(percent));
        QCOMPARE(rig.Bar(bar)->FilledWidth(), rig.Bar(bar)->width() * percent / 100);
        int other = bar == IDC_FPGA_BAR ? IDC_EEPROM_BAR : IDC_FPGA_BAR;
        QCOMPARE(rig.Bar(other)->Pos(), 0u);
    }

    void logTextChangesNothing() {
        WindowRig rig(Plugged());
        rig.dlg->WindowProc(vexu::WM_RUN_START, 0, 0);
        PostMsgText("SetFpgaProgress", 30, 0);
        rig.Settle();
        QImage before = rig.dlg->grab().toImage();
        for (const char* text : {"\r\nUpdating Program...", "setfpgaprogress", "SetEepromProgress ", ""}) {
            PostMsgText(text, 77, 0);
        }
        rig.Settle();
        QCOMPARE(rig.dlg->grab().toImage(), before);
        QCOMPARE(rig.Bar(IDC_FPGA_BAR)->Pos(), 30u);
        QCOMPARE(rig.Bar(IDC_EEPROM_BAR)->Pos(), 0u);
        QCOMPARE(rig.Static(IDC_FPGA_PERCENT)->Text(), QStringLiteral("30%"));
        QCOMPARE(QString::fromStdString(GetMsgText()), QString());  // every text was taken
    }

    void backgroundFollowsTheBox() {
        WindowRig rig(Plugged());
        const QImage on = ResourcePicture(":/vexu/background_on.png");
        const QImage off = ResourcePicture(":/vexu/background_off.png");
        QCOMPARE(on.size(), QSize(430, 280));
        QVERIFY(on != off);
        const QPoint header(200, 40);  // no control covers it
        auto shown = [&rig, header] { return rig.dlg->grab().toImage().pixel(header); };
        QCOMPARE(shown(), on.pixel(header));

        rig.Unplug();
        QCOMPARE(shown(), off.pixel(header));
        for (int id : kSwitchedControls) QVERIFY(!rig.dlg->Control(id)->isEnabled());
        QCOMPARE(rig.Picture(IDC_START)->Current().toImage().convertToFormat(QImage::Format_ARGB32),
                 QImage(":/vexu/start_disabled.png").convertToFormat(QImage::Format_ARGB32));

        rig.Plug();
        QCOMPARE(shown(), on.pixel(header));
        for (int id : kSwitchedControls) QVERIFY(rig.dlg->Control(id)->isEnabled());
    }

    void arrivalResetsBothBars() {
        WindowRig rig(Plugged());
        rig.Bar(IDC_FPGA_BAR)->SetPos(100);
        rig.Bar(IDC_EEPROM_BAR)->SetPos(64);
        rig.dlg->WindowProc(vexu::WM_DEVICE_INSERT, 0, 1);
        QCOMPARE(rig.Bar(IDC_FPGA_BAR)->Pos(), 0u);
        QCOMPARE(rig.Bar(IDC_EEPROM_BAR)->Pos(), 0u);
        // Both lamps of the box are put out.
        QVERIFY(!rig.sim->Inspect([](vexu::sim::SimBox& box) { return box.LampOn(1) || box.LampOn(2); }));
    }

    void startIsImpossibleWithoutBox() {
        WindowRig rig({"unplugged", false, {}});
        QVERIFY(!rig.dlg->Enabled());
        auto* start = rig.Picture(IDC_START);
        QVERIFY(!start->isEnabled());
        QTest::mouseClick(start, Qt::LeftButton);
        rig.Settle();
        QVERIFY(!rig.dlg->RunInProgress());
        QVERIFY(start->isVisible());
    }

    // A box held by another program (or not permitted) leaves the window
    // disabled with one message saying so; once it is free and comes again,
    // the window takes it.
    void boxInUseElsewhereIsToldOnce() {
        WindowRig rig({"refuse-open=in-use", false, {}});
        QVERIFY(!rig.dlg->Enabled());
        QCOMPARE(rig.refusalsShown,
                 QStringList{QStringLiteral("the programmer box sim://vexu-box is in use by another program")});
        rig.dlg->WindowProc(vexu::WM_DEVICE_REMOVE, 0, 0);
        rig.Settle();
        QCOMPARE(rig.refusalsShown.size(), 1);

        // The other program lets go: the window looks again and takes it.
        rig.sim->SetOpenRefusal(vexu::HidOpenError::kNone);
        rig.Settle();
        QVERIFY(rig.dlg->Enabled());
        QCOMPARE(rig.refusalsShown.size(), 1);
        QVERIFY(rig.errorsShown.isEmpty());
    }

    void linkOpensTheRecordsAddress() {
        ScopedSettings settings(DistinctSetting());
        WindowRig rig(Plugged());
        QTest::mouseClick(rig.Link(), Qt::LeftButton);
        QCOMPARE(rig.linksOpened, QStringList{QStringLiteral("https://www.example.com/vexu")});
    }

    void aboutFromSystemCommandAndContextMenu() {
        WindowRig rig(Plugged());
        rig.dlg->OnSysCommand(IDM_ABOUTBOX);
        rig.dlg->OnSysCommand(0x001F);  // the low four bits are the system's own
        rig.dlg->OnSysCommand(0x0020);
        QCOMPARE(rig.aboutsShown, 2);

        QString itemText;
        QTimer::singleShot(0, this, [&itemText] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QCOMPARE(menu->actions().size(), 1);
            itemText = menu->actions().first()->text();
            menu->actions().first()->trigger();
            menu->close();
        });
        QPoint at(200, 40);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, rig.dlg->mapToGlobal(at));
        QApplication::sendEvent(rig.dlg.get(), &event);
        QCOMPARE(itemText, QStringLiteral("关于 KTR(&A)..."));
        QCOMPARE(rig.aboutsShown, 3);
    }

    void aboutBoxTexts() {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("关于 KTR"));
        auto* version = about.findChild<QLabel*>(QStringLiteral("version"));
        QVERIFY(version);
        QCOMPARE(version->text(), QStringLiteral("KTR 1.0 版"));
        auto* icon = about.findChild<QLabel*>(QStringLiteral("icon"));
        QVERIFY(icon && !icon->pixmap().isNull());
        auto* ok = about.findChild<QPushButton*>(QStringLiteral("1"));
        QVERIFY(ok);
        QCOMPARE(ok->text(), QStringLiteral("确定"));
        // Every character of the box's texts has a glyph in the face it is
        // drawn with: a machine without a Chinese font shows boxes.
        for (QWidget* widget : {static_cast<QWidget*>(version), static_cast<QWidget*>(ok)}) {
            const QString text = widget == ok ? ok->text() : version->text();
            const QFontMetrics metrics(widget->font());
            for (const QChar c : text) {
                if (!metrics.inFont(c))
                    QFAIL(qPrintable(QStringLiteral("the face %1 has no glyph for %2")
                                         .arg(QFontInfo(widget->font()).family(), QString(c))));
            }
        }
        QTimer::singleShot(0, ok, &QPushButton::click);
        QCOMPARE(about.exec(), int(QDialog::Accepted));
    }

    void hiddenCommandWritesTheSettingsFile() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        {
            WindowRig rig(Plugged());
            auto* button = qobject_cast<QPushButton*>(rig.dlg->Control(IDC_BUILD_SETTING_FILE));
            QVERIFY(button && !button->isVisible());
            QCOMPARE(button->text(), QStringLiteral("Build Setting File"));
            button->click();
        }
        QDir::setCurrent(previous);
        QFile file(dir.filePath(QStringLiteral("AppSetting.bin")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray bytes = file.readAll();
        AppSettingBytes expected = AppSettingToBytes(DefaultAppSetting());
        QCOMPARE(bytes, QByteArray(reinterpret_cast<const char*>(expected.data()), int(expected.size())));
    }

    void failedRunBoxIsTitledError() {
        QWidget owner;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget* parent = nullptr;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            parent = box->parentWidget();
            box->accept();
        });
        DialogHooks::Desktop().showRunError(&owner, QStringLiteral("Device Check Error"));
        QCOMPARE(title, QStringLiteral("Error"));
        QCOMPARE(text, QStringLiteral("Device Check Error"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(parent, &owner);
    }

    void runEndShowsTheRunFailureTextOnlyOnFailure() {
        WindowRig rig(Plugged());
        SetRunError("Device Error");
        rig.dlg->WindowProc(vexu::WM_RUN_START, 0, 0);
        rig.dlg->WindowProc(vexu::WM_RUN_END, STEP_EEPROM, RUN_OK);
        QVERIFY(rig.errorsShown.isEmpty());
        rig.dlg->WindowProc(vexu::WM_RUN_START, 0, 0);
        rig.dlg->WindowProc(vexu::WM_RUN_END, STEP_EEPROM, RUN_FAILED);
        QCOMPARE(rig.errorsShown, QStringList{QStringLiteral("Device Error")});
        QVERIFY(rig.dlg->Control(IDC_START)->isVisible());
        SetRunError("");
    }
};

QTEST_MAIN(DialogTest)
#include "dialog_test.moc"
