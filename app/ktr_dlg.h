// CKTRDlg: the programmer's one window, a Qt view of the dialog model
// (dialog/dialog_model.h). It draws what the model tells it — texts,
// colours, bars, the background with or without a box — and forwards to
// the model what happens to it: clicks, the about command, and the
// messages other threads post to it, which it turns into events on its
// own thread. Every decision of the dialog is the model's.
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
#include "dialog/dialog_model.h"
#include "platform/hotplug.h"
#include "platform/messages.h"
#include "run/thread_action.h"

using LRESULT = intptr_t;

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
    // Any other message for the operator (a start with both parts off): a
    // message box with the notice's title and icon.
    std::function<void(QWidget* owner, const Notice& notice)> showNotice;
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

class CKTRDlg : public QDialog, public vexu::MessageTarget, private DialogView {
    Q_OBJECT

public:
    explicit CKTRDlg(DialogSetup setup = {}, QWidget* parent = nullptr);
    ~CKTRDlg() override;

    // Posts a window message to the dialog's thread; never waits. Any thread.
    void Post(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) override;
    // The dialog's window procedure: hands the message to the model.
    LRESULT WindowProc(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam);
    void OnSysCommand(unsigned id);

    // The control with a dialog id (1001..1011); null for an unknown id.
    QWidget* Control(int id) const;
    const CDialogModel& Model() const { return *model_; }
    const AppSetting& Settings() const { return model_->Settings(); }
    int Enabled() const { return model_->BoxPresent() ? 1 : 0; }
    // The background picture in use (bitmap 130 with a box, 131 without).
    const QPixmap& Background() const;
    bool RunInProgress() const { return model_->RunInProgress(); }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void LoadPictures();
    void OnDestroy();

    // DialogView
    void SetTitle(const std::string& title) override;
    void SetControlText(int id, const std::string& text) override;
    void SetControlColors(int id, const ControlColors& colors) override;
    void ShowControl(int id, bool shown) override;
    void EnableControl(int id, bool enabled) override;
    void SetBarRange(int id, uint32_t lower, uint32_t upper) override;
    void SetBarPos(int id, uint32_t pos) override;
    void SetBackground(bool boxPresent) override;
    void Tell(const Notice& notice) override;
    void OpenLink(const std::string& address) override;
    void ShowAbout() override;
    void StartRetryTimer(int intervalMs) override;
    void StopRetryTimer() override;

    DialogHooks hooks_;
    vexu::HotplugMonitor* monitor_;
    bool destroyed_ = false;
    bool boxShown_ = false;     // the background drawn is the one with a box
    QTimer busyBoxRetry_;       // runs while the only box is in use elsewhere
    QPixmap backgroundOn_;
    QPixmap backgroundOff_;
    std::map<int, QWidget*> controls_;
    std::unique_ptr<CDialogModel> model_;
};
