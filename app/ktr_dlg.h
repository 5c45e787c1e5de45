// CKTRDlg: the programmer's one window. It applies the settings record to
// its self-drawn controls, follows the programmer box's arrival and removal,
// starts a run from its start button and shows the run's progress and
// result. Everything it is told by other threads arrives as posted
// messages, which it turns into events on its own thread.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QPixmap>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "common/app_setting.h"
#include "platform/hotplug.h"
#include "platform/messages.h"
#include "run/thread_action.h"

class CBitmapButton;
class CQarnLink;
class CQarnProgress;
class CQarnStatic;
class QPushButton;

using LRESULT = intptr_t;

// System-menu command of the about box, and its menu text.
constexpr unsigned IDM_ABOUTBOX = 0x0010;
inline const char* const kAboutMenuText = "关于 KTR(&A)...";

// A window message carried as a Qt event to the dialog's thread.
class WindowMessageEvent : public QEvent {
public:
    static QEvent::Type EventType();
    WindowMessageEvent(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam)
        : QEvent(EventType()), message(message), wParam(wParam), lParam(lParam) {}
    uint32_t message;
    vexu::WPARAM wParam;
    vexu::LPARAM lParam;
};

// What the dialog asks of the desktop; tests put recorders in their place.
struct DialogHooks {
    // Shows the run failure text: a message box owned by the dialog, titled
    // "Error", with the error icon and an OK button.
    std::function<void(QWidget* owner, const QString& text)> showRunError;
    // Opens the link's address with the desktop's URL handler.
    std::function<void(const QString& address)> openLink;
    // Shows the about box modally.
    std::function<void(QWidget* owner)> showAbout;
    // Tells the operator why a box that is there cannot be used (in use by
    // another program, no permission).
    std::function<void(QWidget* owner, const QString& text)> showBoxRefused;
    // Tells the operator that the run's record could not be written to the
    // run log: a message box titled "Run log" with the warning icon.
    std::function<void(QWidget* owner, const QString& text)> showRunLogError;
    static DialogHooks Desktop();
};

struct DialogSetup {
    // Hot-plug events of the HID backend in use; started with the dialog,
    // stopped before it goes. Not owned; may be null.
    vexu::HotplugMonitor* monitor = nullptr;
    // The run's jobs; the real ones when not given.
    std::optional<RunJobs> jobs;
    DialogHooks hooks = DialogHooks::Desktop();
    // While the only box is held by another program, the window looks
    // again this often, so that it takes the box when the other lets go.
    int busyBoxRetryMs = 1000;
};

class CKTRDlg : public QDialog, public vexu::MessageTarget {
    Q_OBJECT

public:
    explicit CKTRDlg(DialogSetup setup = {}, QWidget* parent = nullptr);
    ~CKTRDlg() override;

    // Posts a window message to the dialog's thread; never waits. Any thread.
    void Post(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) override;
    // The dialog's window procedure: the device manager sees every message
    // first, then the dialog's own handlers.
    LRESULT WindowProc(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam);
    void OnSysCommand(unsigned id);

    // The control with a dialog id (1001..1011); null for an unknown id.
    QWidget* Control(int id) const;
    const AppSetting& Settings() const { return settings_; }
    int Enabled() const { return enabled_; }
    // The background picture in use (bitmap 130 with a box, 131 without).
    const QPixmap& Background() const;
    bool RunInProgress() const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void OnInitDialog();
    void ApplySettings();
    void EnableControls(int enabled);
    void OnDestroy();

    LRESULT OnDeviceInsert(vexu::WPARAM wParam, vexu::LPARAM lParam);
    LRESULT OnDeviceRemove(vexu::WPARAM wParam, vexu::LPARAM lParam);
    // After a search found no box: says once what stood in the way.
    void ReportRefusals();
    LRESULT OnRunStart(vexu::WPARAM wParam, vexu::LPARAM lParam);
    LRESULT OnRunEnd(vexu::WPARAM wParam, vexu::LPARAM lParam);
    LRESULT OnRunText(vexu::WPARAM wParam, vexu::LPARAM lParam);
    void TellRunLogFailure();
    void OnStart();
    void OnLink();
    void OnBuildSettingFile();

    DialogHooks hooks_;
    vexu::HotplugMonitor* monitor_;
    bool destroyed_ = false;

    int enabled_ = 0;
    std::string refusalShown_;  // the refusal last told, until a box is taken
    QTimer busyBoxRetry_;       // runs while the only box is in use elsewhere
    QPixmap backgroundOn_;
    QPixmap backgroundOff_;
    AppSetting settings_{};
    std::unique_ptr<CThreadAction> worker_;

    CQarnLink* link_ = nullptr;
    CBitmapButton* start_ = nullptr;
    CBitmapButton* fpgaPicture_ = nullptr;
    CBitmapButton* eepromPicture_ = nullptr;
    CQarnStatic* fpgaCaption_ = nullptr;
    CQarnProgress* fpgaBar_ = nullptr;
    CQarnStatic* fpgaPercent_ = nullptr;
    CQarnStatic* eepromCaption_ = nullptr;
    CQarnProgress* eepromBar_ = nullptr;
    CQarnStatic* eepromPercent_ = nullptr;
    QPushButton* buildSettingFile_ = nullptr;
    std::map<int, QWidget*> controls_;
};
