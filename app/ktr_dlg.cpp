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
#include <algorithm>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "app/about_dlg.h"
#include "app/bitmap_button.h"
#include "app/dialog_template.h"
#include "app/qarn_controls.h"

namespace {

// The window's pictures, by their resource numbers.
struct Bitmap {
    int id;
    const char* path;
};
constexpr Bitmap kBitmaps[] = {
    {IDI_APPLICATION_ICON, ":/vexu/icon.png"},
    {IDB_BACKGROUND_ON, ":/vexu/background_on.png"},
    {IDB_BACKGROUND_OFF, ":/vexu/background_off.png"},
    {IDB_START, ":/vexu/start.png"},
    {IDB_START_DISABLED, ":/vexu/start_disabled.png"},
    {IDB_FPGA, ":/vexu/fpga.png"},
    {IDB_FPGA_DISABLED, ":/vexu/fpga_disabled.png"},
    {IDB_FLASH, ":/vexu/flash.png"},
    {IDB_FLASH_DISABLED, ":/vexu/flash_disabled.png"},
};

QString BitmapPath(int id) {
    for (const Bitmap& bitmap : kBitmaps) {
        if (bitmap.id == id) return QString::fromLatin1(bitmap.path);
    }
    return {};
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
    hooks.showNotice = [](QWidget* owner, const Notice& notice) {
        const QMessageBox::Icon icon = notice.icon == NoticeIcon::kError     ? QMessageBox::Critical
                                       : notice.icon == NoticeIcon::kWarning ? QMessageBox::Warning
                                                                             : QMessageBox::Information;
        QMessageBox box(icon, QString::fromStdString(notice.title), QString::fromStdString(notice.text),
                        QMessageBox::Ok, owner);
        box.exec();
    };
    return hooks;
}

CKTRDlg::CKTRDlg(DialogSetup setup, QWidget* parent)
    : QDialog(parent), hooks_(std::move(setup.hooks)), monitor_(setup.monitor) {
    connect(&busyBoxRetry_, &QTimer::timeout, this, [this] { model_->OnRetryTimer(); });
    // A pop-up window with caption and system menu, fixed in size.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientPixels);
    setAttribute(Qt::WA_OpaquePaintEvent);
    CreateControls();
    setWindowIcon(QIcon(BitmapPath(IDI_APPLICATION_ICON)));
    LoadPictures();

    DialogModelSetup modelSetup;
    modelSetup.jobs = std::move(setup.jobs);
    modelSetup.busyBoxRetryMs = setup.busyBoxRetryMs;
    model_ = std::make_unique<CDialogModel>(static_cast<DialogView&>(*this), *this, std::move(modelSetup));
    if (monitor_) {
        // Hot-plug events come from the monitor's thread; the model takes
        // them on this one.
        monitor_->Start([this](const vexu::HotplugEvent& event) {
            PostMarked(this, new QueuedCallEvent([this, event] { model_->OnHotplug(event); }));
        });
    }
    model_->OnInitDialog();
}

CKTRDlg::~CKTRDlg() { OnDestroy(); }

// The controls are made in binding order (the switched ten, then the hidden
// button), which is also their order of focus.
void CKTRDlg::CreateControls() {
    std::vector<const DialogItem*> items;
    for (int id : kSwitchedControls) items.push_back(FindDialogItem(id));
    for (const DialogItem& item : kDialogItems) {
        if (std::find(items.begin(), items.end(), &item) == items.end()) items.push_back(&item);
    }
    for (const DialogItem* found : items) {
        const DialogItem& item = *found;
        QWidget* widget = nullptr;
        switch (item.kind) {
            case ControlKind::kPictureButton: widget = new CBitmapButton(this); break;
            case ControlKind::kLink: widget = new CQarnLink(this); break;
            case ControlKind::kText: widget = new CQarnStatic(this); break;
            case ControlKind::kBar: widget = new CQarnProgress(this); break;
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(QString::fromUtf8(kBuildSettingFileText), this);
                button->setAutoDefault(false);
                widget = button;
                break;
            }
        }
        widget->setObjectName(QString::number(item.id));
        widget->setGeometry(DialogItemRect(item));
        // Present in the dialog but never shown: reached only by its click.
        if (!item.visible) widget->hide();
        controls_[item.id] = widget;
    }
    for (int id : {IDC_FPGA_PICTURE, IDC_EEPROM_PICTURE}) controls_.at(id)->setFocusPolicy(Qt::NoFocus);

    auto clicks = [this](int id, void (CDialogModel::*handler)()) {
        connect(static_cast<QAbstractButton*>(controls_.at(id)), &QAbstractButton::clicked, this,
                [this, handler] { (model_.get()->*handler)(); });
    };
    clicks(IDC_START, &CDialogModel::OnStartClicked);
    clicks(IDC_LINK, &CDialogModel::OnLinkClicked);
    clicks(IDC_BUILD_SETTING_FILE, &CDialogModel::OnBuildSettingFileClicked);
}

// The backgrounds and the picture buttons' pictures; picture buttons keep
// their picture's size at the item's position.
void CKTRDlg::LoadPictures() {
    backgroundOn_.load(BitmapPath(IDB_BACKGROUND_ON));
    backgroundOff_.load(BitmapPath(IDB_BACKGROUND_OFF));
    for (const PictureButtonBitmaps& pictures : kPictureButtons) {
        auto* button = static_cast<CBitmapButton*>(controls_.at(pictures.id));
        button->LoadBitmaps(BitmapPath(pictures.bitmap), BitmapPath(pictures.disabledBitmap));
        button->move(DialogItemRect(*FindDialogItem(pictures.id)).topLeft());
        button->resize(button->sizeHint());
    }
}

void CKTRDlg::OnDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (monitor_) monitor_->Stop();
    model_->OnDestroy();
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
    return model_->OnMessage(message, wParam, lParam);
}

void CKTRDlg::OnSysCommand(unsigned id) { model_->OnSysCommand(id); }

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

const QPixmap& CKTRDlg::Background() const { return boxShown_ ? backgroundOn_ : backgroundOff_; }

void CKTRDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPixmap& picture = Background();
    // Both pictures have the size of the one shown with a box present.
    painter.drawPixmap(QRect(QPoint(0, 0), backgroundOn_.size()), picture, QRect(QPoint(0, 0), backgroundOn_.size()));
}

void CKTRDlg::SetTitle(const std::string& title) { setWindowTitle(QString::fromStdString(title)); }

void CKTRDlg::SetControlText(int id, const std::string& text) {
    const QString qtext = QString::fromStdString(text);
    switch (FindDialogItem(id)->kind) {
        case ControlKind::kText: static_cast<CQarnStatic*>(controls_.at(id))->SetText(qtext); break;
        case ControlKind::kLink: static_cast<CQarnLink*>(controls_.at(id))->SetText(qtext); break;
        case ControlKind::kPushButton: static_cast<QPushButton*>(controls_.at(id))->setText(qtext); break;
        case ControlKind::kPictureButton:
        case ControlKind::kBar: break;  // no text to show
    }
}

// The setters are called in the order the record lists the colours.
void CKTRDlg::SetControlColors(int id, const ControlColors& colors) {
    auto textColors = [&colors](auto* text) {
        text->SetTextColor(colors.fore);
        text->SetBackColor(colors.back);
        text->SetDisabledTextColor(colors.disabledFore);
        text->SetDisabledBackColor(colors.disabledBack);
    };
    switch (FindDialogItem(id)->kind) {
        case ControlKind::kText: textColors(static_cast<CQarnStatic*>(controls_.at(id))); break;
        case ControlKind::kLink: {
            auto* link = static_cast<CQarnLink*>(controls_.at(id));
            textColors(link);
            link->SetHoverTextColor(colors.hoverFore);
            break;
        }
        case ControlKind::kBar: {
            auto* bar = static_cast<CQarnProgress*>(controls_.at(id));
            bar->SetBarColor(colors.fore);
            bar->SetBackColor(colors.back);
            bar->SetDisabledBarColor(colors.disabledFore);
            bar->SetDisabledBackColor(colors.disabledBack);
            break;
        }
        case ControlKind::kPictureButton:
        case ControlKind::kPushButton: break;  // drawn in their own colours
    }
}

void CKTRDlg::ShowControl(int id, bool shown) { controls_.at(id)->setVisible(shown); }

void CKTRDlg::EnableControl(int id, bool enabled) { controls_.at(id)->setEnabled(enabled); }

void CKTRDlg::SetBarRange(int id, uint32_t lower, uint32_t upper) {
    static_cast<CQarnProgress*>(controls_.at(id))->SetRange(lower, upper);
}

void CKTRDlg::SetBarPos(int id, uint32_t pos) { static_cast<CQarnProgress*>(controls_.at(id))->SetPos(pos); }

void CKTRDlg::SetBackground(bool boxPresent) {
    boxShown_ = boxPresent;
    // Repaint now, so the background has switched before anything that may
    // keep this thread busy.
    update();
    repaint();
}

void CKTRDlg::Tell(const Notice& notice) {
    const QString text = QString::fromStdString(notice.text);
    const std::function<void(QWidget*, const QString&)>* hook = nullptr;
    switch (notice.kind) {
        case NoticeKind::kRunFailed: hook = &hooks_.showRunError; break;
        case NoticeKind::kBoxRefused: hook = &hooks_.showBoxRefused; break;
        case NoticeKind::kRunLogFailed: hook = &hooks_.showRunLogError; break;
        case NoticeKind::kNothingToProgram: break;
    }
    if (hook) {
        if (*hook) (*hook)(this, text);
    } else if (hooks_.showNotice) {
        hooks_.showNotice(this, notice);
    }
}

void CKTRDlg::OpenLink(const std::string& address) {
    if (hooks_.openLink) hooks_.openLink(QString::fromStdString(address));
}

void CKTRDlg::ShowAbout() {
    if (hooks_.showAbout) hooks_.showAbout(this);
}

void CKTRDlg::StartRetryTimer(int intervalMs) {
    busyBoxRetry_.setInterval(intervalMs);
    if (!busyBoxRetry_.isActive()) busyBoxRetry_.start();
}

void CKTRDlg::StopRetryTimer() { busyBoxRetry_.stop(); }
