#include "app/ktr_dlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QUrl>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "app/about_dlg.h"
#include "app/bitmap_button.h"
#include "app/dialog_template.h"
#include "app/qarn_controls.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "run/image_load.h"
#include "common/run_messages.h"

namespace {

// The window's pictures, by their resource numbers.
struct Bitmap {
    int id;
    const char* path;
};
constexpr Bitmap kBitmaps[] = {
    {128, ":/vexu/icon.png"},           {130, ":/vexu/background_on.png"}, {131, ":/vexu/background_off.png"},
    {136, ":/vexu/start.png"},          {137, ":/vexu/start_disabled.png"}, {138, ":/vexu/fpga.png"},
    {139, ":/vexu/fpga_disabled.png"},  {140, ":/vexu/flash.png"},          {142, ":/vexu/flash_disabled.png"},
};

QString BitmapPath(int id) {
    for (const Bitmap& bitmap : kBitmaps) {
        if (bitmap.id == id) return QString::fromLatin1(bitmap.path);
    }
    return {};
}

// A text field of the settings record, read only within its 256 bytes: UTF-8,
// or GBK as records written on Windows hold it.
QString FieldText(const char (&field)[kSettingTextSize]) {
    return QString::fromStdString(SettingTextUtf8(field));
}

void PlaceItem(QWidget* widget, int id) {
    widget->setGeometry(DialogItemRect(*FindDialogItem(id)));
}

// Bitmap buttons keep their picture's size at the item's position.
void PlaceBitmapItem(CBitmapButton* button, int id) {
    button->move(DialogItemRect(*FindDialogItem(id)).topLeft());
    button->resize(button->sizeHint());
}

void ApplyTextColors(CQarnStatic* control, COLORREF text, COLORREF back, COLORREF disabledText,
                     COLORREF disabledBack) {
    control->SetTextColor(text);
    control->SetBackColor(back);
    control->SetDisabledTextColor(disabledText);
    control->SetDisabledBackColor(disabledBack);
}

void ApplyBarColors(CQarnProgress* bar, COLORREF color, COLORREF back, COLORREF disabledColor,
                    COLORREF disabledBack) {
    bar->SetBarColor(color);
    bar->SetBackColor(back);
    bar->SetDisabledBarColor(disabledColor);
    bar->SetDisabledBackColor(disabledBack);
}

// Qt's posted-event queue is guarded by Qt's own locks, which a stock Qt
// does not show to ThreadSanitizer. Every event another thread posts to the
// window's thread goes through here, and the window marks taking it over, so
// the sanitizer sees the hand-over as the lock it is and still checks
// everything around it.
void PostMarked(QObject* receiver, QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(event);
#endif
    QCoreApplication::postEvent(receiver, event);
}

void MarkTakenOver(QEvent* event) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(event);
#else
    (void)event;
#endif
}

// A call another thread hands to the dialog's thread (hot-plug events).
class QueuedCallEvent : public QEvent {
public:
    static QEvent::Type EventType() {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    explicit QueuedCallEvent(std::function<void()> call) : QEvent(EventType()), call(std::move(call)) {}
    std::function<void()> call;
};

}  // namespace

QEvent::Type WindowMessageEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

DialogHooks DialogHooks::Desktop() {
    DialogHooks hooks;
    hooks.showRunError = [](QWidget* owner, const QString& text) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok, owner);
        box.exec();
    };
    // An address without a scheme ("www.example.com") is taken as the
    // desktop's shell would take it: as a web address.
    hooks.openLink = [](const QString& address) { QDesktopServices::openUrl(QUrl::fromUserInput(address)); };
    hooks.showAbout = [](QWidget* owner) {
        CAboutDlg about(owner);
        about.exec();
    };
    // A warning box with its title, owned by the dialog.
    auto warning = [](const char* title) {
        return [title](QWidget* owner, const QString& text) {
            QMessageBox box(QMessageBox::Warning, QString::fromUtf8(title), text, QMessageBox::Ok, owner);
            box.exec();
        };
    };
    hooks.showBoxRefused = warning("Programmer box");
    hooks.showRunLogError = warning("Run log");
    return hooks;
}

CKTRDlg::CKTRDlg(DialogSetup setup, QWidget* parent)
    : QDialog(parent), hooks_(std::move(setup.hooks)), monitor_(setup.monitor) {
    worker_ = setup.jobs ? std::make_unique<CThreadAction>(std::move(*setup.jobs)) : std::make_unique<CThreadAction>();
    busyBoxRetry_.setInterval(setup.busyBoxRetryMs);
    connect(&busyBoxRetry_, &QTimer::timeout, this, [this] {
        if (CDevManage::GetHandle() == 0) CDevManage::FindDevice();
        ReportRefusals();
    });
    // A pop-up window with caption and system menu, fixed in size.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientPixels);
    setAttribute(Qt::WA_OpaquePaintEvent);
    CreateControls();
    OnInitDialog();
}

CKTRDlg::~CKTRDlg() { OnDestroy(); }

void CKTRDlg::CreateControls() {
    link_ = new CQarnLink(this);
    start_ = new CBitmapButton(this);
    fpgaPicture_ = new CBitmapButton(this);
    eepromPicture_ = new CBitmapButton(this);
    fpgaCaption_ = new CQarnStatic(this);
    fpgaBar_ = new CQarnProgress(this);
    fpgaPercent_ = new CQarnStatic(this);
    eepromCaption_ = new CQarnStatic(this);
    eepromBar_ = new CQarnProgress(this);
    eepromPercent_ = new CQarnStatic(this);
    buildSettingFile_ = new QPushButton(QStringLiteral("Build Setting File"), this);
    controls_ = {{IDC_LINK, link_},
                 {IDC_START, start_},
                 {IDC_FPGA_PICTURE, fpgaPicture_},
                 {IDC_EEPROM_PICTURE, eepromPicture_},
                 {IDC_FPGA_CAPTION, fpgaCaption_},
                 {IDC_FPGA_BAR, fpgaBar_},
                 {IDC_FPGA_PERCENT, fpgaPercent_},
                 {IDC_EEPROM_CAPTION, eepromCaption_},
                 {IDC_EEPROM_BAR, eepromBar_},
                 {IDC_EEPROM_PERCENT, eepromPercent_},
                 {IDC_BUILD_SETTING_FILE, buildSettingFile_}};
    for (auto& [id, widget] : controls_) {
        widget->setObjectName(QString::number(id));
        PlaceItem(widget, id);
    }
    // Present in the dialog but never shown: reached only by its click.
    buildSettingFile_->setAutoDefault(false);
    buildSettingFile_->hide();
    for (CBitmapButton* picture : {fpgaPicture_, eepromPicture_}) picture->setFocusPolicy(Qt::NoFocus);

    connect(start_, &QAbstractButton::clicked, this, [this] { OnStart(); });
    connect(link_, &QAbstractButton::clicked, this, [this] { OnLink(); });
    connect(buildSettingFile_, &QAbstractButton::clicked, this, [this] { OnBuildSettingFile(); });
}

void CKTRDlg::OnInitDialog() {
    QIcon icon(BitmapPath(128));
    setWindowIcon(icon);
    enabled_ = 0;
    AppSettingBytes record{};
    LoadFile(record.data(), kAppSettingSize, kAppSettingResourceId, kAppSettingResourceType);
    settings_ = AppSettingFromBytes(record.data(), record.size());
    LoadEepromData();
    LoadFpgaData();
    ApplySettings();
    if (monitor_) {
        // Hot-plug events come from the monitor's thread; the device manager
        // takes them on this one.
        monitor_->Start([this](const vexu::HotplugEvent& event) {
            PostMarked(this, new QueuedCallEvent([this, event] {
                CDevManage::OnHotplug(event);
                if (event.kind == vexu::HotplugEvent::Kind::Arrival) ReportRefusals();
            }));
        });
    }
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, this);
    InitMsgQueue(this);
}

void CKTRDlg::ApplySettings() {
    const AppSetting& s = settings_;
    setWindowTitle(FieldText(s.title));

    backgroundOn_.load(BitmapPath(130));
    backgroundOff_.load(BitmapPath(131));
    start_->LoadBitmaps(BitmapPath(136), BitmapPath(137));
    fpgaPicture_->LoadBitmaps(BitmapPath(138), BitmapPath(139));
    eepromPicture_->LoadBitmaps(BitmapPath(140), BitmapPath(142));
    PlaceBitmapItem(start_, IDC_START);
    PlaceBitmapItem(fpgaPicture_, IDC_FPGA_PICTURE);
    PlaceBitmapItem(eepromPicture_, IDC_EEPROM_PICTURE);

    fpgaCaption_->SetText(FieldText(s.fpgaCaption));
    ApplyTextColors(fpgaCaption_, s.fpgaCaptionTextColor, s.fpgaCaptionBackColor, s.fpgaCaptionDisabledTextColor,
                    s.fpgaCaptionDisabledBackColor);
    fpgaPercent_->SetText(QStringLiteral("0%"));
    fpgaPercent_->hide();
    ApplyTextColors(fpgaPercent_, s.fpgaPercentTextColor, s.fpgaPercentBackColor, s.fpgaPercentDisabledTextColor,
                    s.fpgaPercentDisabledBackColor);
    fpgaBar_->SetRange(0, 100);
    fpgaBar_->SetPos(0);
    ApplyBarColors(fpgaBar_, s.fpgaBarColor, s.fpgaBarBackColor, s.fpgaBarDisabledColor, s.fpgaBarDisabledBackColor);

    eepromCaption_->SetText(FieldText(s.eepromCaption));
    ApplyTextColors(eepromCaption_, s.eepromCaptionTextColor, s.eepromCaptionBackColor,
                    s.eepromCaptionDisabledTextColor, s.eepromCaptionDisabledBackColor);
    eepromPercent_->SetText(QStringLiteral("0%"));
    eepromPercent_->hide();
    ApplyTextColors(eepromPercent_, s.eepromPercentTextColor, s.eepromPercentBackColor,
                    s.eepromPercentDisabledTextColor, s.eepromPercentDisabledBackColor);
    eepromBar_->SetRange(0, 100);
    eepromBar_->SetPos(0);
    ApplyBarColors(eepromBar_, s.eepromBarColor, s.eepromBarBackColor, s.eepromBarDisabledColor,
                   s.eepromBarDisabledBackColor);

    link_->SetText(FieldText(s.linkText));
    link_->SetTextColor(s.linkTextColor);
    link_->SetBackColor(s.linkBackColor);
    link_->SetDisabledTextColor(s.linkDisabledTextColor);
    link_->SetDisabledBackColor(s.linkDisabledBackColor);
    link_->SetHoverTextColor(s.linkHoverTextColor);

    if (s.showFpga == 0) {
        for (QWidget* w : {static_cast<QWidget*>(fpgaPicture_), static_cast<QWidget*>(fpgaCaption_),
                           static_cast<QWidget*>(fpgaPercent_), static_cast<QWidget*>(fpgaBar_)})
            w->hide();
    }
    if (s.showEeprom == 0) {
        for (QWidget* w : {static_cast<QWidget*>(eepromPicture_), static_cast<QWidget*>(eepromCaption_),
                           static_cast<QWidget*>(eepromPercent_), static_cast<QWidget*>(eepromBar_)})
            w->hide();
    }
}

void CKTRDlg::EnableControls(int enabled) {
    enabled_ = enabled;
    for (int id : kSwitchedControls) controls_.at(id)->setEnabled(enabled != 0);
    // Repaint now, so the background has switched before anything that may
    // keep this thread busy.
    update();
    repaint();
}

void CKTRDlg::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (monitor_) monitor_->Stop();
    CDevManage::End();
    worker_->End();
    vexu::GetClock().SleepMs(1000);
    FreeMsgQueue();
    FreeImageData();
}

void CKTRDlg::Post(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) {
    PostMarked(this, new WindowMessageEvent(message, wParam, lParam));
}

bool CKTRDlg::event(QEvent* event) {
    MarkTakenOver(event);
    if (event->type() == WindowMessageEvent::EventType()) {
        auto* message = static_cast<WindowMessageEvent*>(event);
        WindowProc(message->message, message->wParam, message->lParam);
        return true;
    }
    if (event->type() == QueuedCallEvent::EventType()) {
        static_cast<QueuedCallEvent*>(event)->call();
        return true;
    }
    return QDialog::event(event);
}

LRESULT CKTRDlg::WindowProc(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) {
    if (CDevManage::OnDeviceChange(message, wParam, nullptr)) return 1;
    switch (message) {
        case vexu::WM_DEVICE_INSERT: return OnDeviceInsert(wParam, lParam);
        case vexu::WM_DEVICE_REMOVE: return OnDeviceRemove(wParam, lParam);
        case vexu::WM_RUN_START: return OnRunStart(wParam, lParam);
        case vexu::WM_RUN_END: return OnRunEnd(wParam, lParam);
        case vexu::WM_RUN_TEXT: return OnRunText(wParam, lParam);
        default: return 0;
    }
}

void CKTRDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX && hooks_.showAbout) hooks_.showAbout(this);
}

void CKTRDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutMenuText), this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    menu.exec(event->globalPos());
}

void CKTRDlg::keyPressEvent(QKeyEvent* event) {
    // Enter ends the dialog as Escape does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    if (event->key() == Qt::Key_F1) {
        OnSysCommand(IDM_ABOUTBOX);
        return;
    }
    QDialog::keyPressEvent(event);
}

QWidget* CKTRDlg::Control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

const QPixmap& CKTRDlg::Background() const { return enabled_ ? backgroundOn_ : backgroundOff_; }

bool CKTRDlg::RunInProgress() const { return worker_->IsRunning(); }

void CKTRDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap& picture = Background();
    // Both pictures have the size of the one shown with a box present.
    painter.drawPixmap(QRect(QPoint(0, 0), backgroundOn_.size()), picture, QRect(QPoint(0, 0), backgroundOn_.size()));
}

LRESULT CKTRDlg::OnDeviceInsert(vexu::WPARAM wParam, vexu::LPARAM lParam) {
    vexu::TraceF("OnDeviceInsert  Device NO.%d%d\r\n", static_cast<int>(wParam), static_cast<int>(lParam));
    refusalShown_.clear();
    EnableControls(1);
    eepromBar_->SetPos(0);
    fpgaBar_->SetPos(0);
    CHidDevice::LightLed(0, 0);
    return 1;
}

LRESULT CKTRDlg::OnDeviceRemove(vexu::WPARAM, vexu::LPARAM) {
    vexu::Trace("OnDeviceRemove  \r\n");
    EnableControls(0);
    // The box is gone, so a run in progress fails at its next transfer;
    // wait for it before looking for another box.
    worker_->End();
    CDevManage::FindDevice();
    ReportRefusals();
    return 1;
}

void CKTRDlg::ReportRefusals() {
    if (CDevManage::GetHandle() != 0) {
        busyBoxRetry_.stop();
        return;
    }
    std::string text;
    bool inUse = false;
    for (const BoxRefusal& refusal : CDevManage::Refusals()) {
        if (!text.empty()) text += "\n";
        text += DescribeRefusal(refusal);
        inUse = inUse || refusal.error == vexu::HidOpenError::kInUse;
    }
    if (inUse && !busyBoxRetry_.isActive()) busyBoxRetry_.start();
    if (!inUse) busyBoxRetry_.stop();
    if (text.empty() || text == refusalShown_) return;
    refusalShown_ = text;
    vexu::Trace("CKTRDlg: " + text + "\r\n");
    if (hooks_.showBoxRefused) hooks_.showBoxRefused(this, QString::fromUtf8(text.c_str()));
}

LRESULT CKTRDlg::OnRunStart(vexu::WPARAM, vexu::LPARAM) {
    start_->hide();
    if (settings_.showFpga == 1) fpgaPercent_->show();
    if (settings_.showEeprom == 1) eepromPercent_->show();
    return 1;
}

LRESULT CKTRDlg::OnRunEnd(vexu::WPARAM, vexu::LPARAM lParam) {
    if (lParam == RUN_FAILED && hooks_.showRunError)
        hooks_.showRunError(this, QString::fromUtf8(GetRunError().c_str()));
    start_->show();
    if (settings_.showFpga == 1) fpgaPercent_->hide();
    if (settings_.showEeprom == 1) eepromPercent_->hide();
    TellRunLogFailure();
    return 1;
}

// A run whose record is missing from the run log is not lost silently.
void CKTRDlg::TellRunLogFailure() {
    const std::string error = worker_->LastRecordError();
    if (error.empty() || !hooks_.showRunLogError) return;
    hooks_.showRunLogError(this, QString::fromStdString(error + ": this run is not in the run log."));
}

LRESULT CKTRDlg::OnRunText(vexu::WPARAM wParam, vexu::LPARAM) {
    std::string text = GetMsgText();
    CQarnStatic* percent = nullptr;
    CQarnProgress* bar = nullptr;
    if (text == kFpgaProgressText) {
        percent = fpgaPercent_;
        bar = fpgaBar_;
    } else if (text == kEepromProgressText) {
        percent = eepromPercent_;
        bar = eepromBar_;
    } else {
        return 1;  // a log text: nothing on screen changes
    }
    percent->SetText(QString::asprintf("%d%%", static_cast<int>(wParam)));
    bar->SetPos(wParam > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wParam));
    return 1;
}

void CKTRDlg::OnStart() { worker_->StartAction(settings_.showFpga, settings_.showEeprom, this); }

void CKTRDlg::OnLink() {
    if (hooks_.openLink) hooks_.openLink(FieldText(settings_.linkUrl));
}

void CKTRDlg::OnBuildSettingFile() { BuildSettingFile(); }
