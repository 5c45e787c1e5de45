// CDialogModel: the main dialog's rules, toolkit-free. It applies the
// settings record, follows the programmer box's arrival and removal (and a
// box held by another program), starts a run from the start button, and
// turns the run's messages into bars, percent texts and message boxes. It
// talks to its window only through DialogView, and keeps what it told the
// view (State) so that tests and both windows can be compared.
//
// Every entry point runs on the window's thread. Other threads (the run
// worker, the device manager) reach the window through the MessageTarget
// given to the model; the window hands those messages back to OnMessage.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/app_setting.h"
#include "dialog/dialog_template.h"
#include "dialog/dialog_view.h"
#include "link/dev_manage.h"
#include "platform/hotplug.h"
#include "platform/messages.h"
#include "run/thread_action.h"

struct DialogModelSetup {
    // The run's jobs; the real ones when not given.
    std::optional<RunJobs> jobs;
    // The settings record; the embedded one when not given.
    std::optional<AppSetting> settings;
    // Loads the embedded images at start and frees them at the end.
    bool loadImages = true;
    // While the only box is held by another program, the dialog looks again
    // this often, so that it takes the box when the other lets go.
    int busyBoxRetryMs = 1000;
};

// What the window shows, as the model last told its view.
struct ControlState {
    bool visible = true;
    bool enabled = true;
    std::string text;
    uint32_t pos = 0;  // bars
    bool operator==(const ControlState&) const = default;
};
struct DialogState {
    bool boxPresent = false;  // background with a box, controls enabled
    std::string title;
    std::map<int, ControlState> controls;  // every control of the template
    bool operator==(const DialogState&) const = default;
};

class CDialogModel {
public:
    // window: where the worker and the device manager post for this dialog
    // (the window that owns the view). Neither is owned.
    CDialogModel(DialogView& view, vexu::MessageTarget& window, DialogModelSetup setup = {});
    ~CDialogModel();
    CDialogModel(const CDialogModel&) = delete;
    CDialogModel& operator=(const CDialogModel&) = delete;

    // The dialog is created: loads the record and the images, applies the
    // record, starts the device manager and the text channel.
    void OnInitDialog();
    // The dialog goes: stops the device manager, waits for a run in
    // progress, closes the text channel and frees the images. Once only.
    void OnDestroy();

    // A message posted to the window (run start, end and text, box arrival
    // and removal, device-change notifications). Returns nonzero when the
    // message was the dialog's.
    intptr_t OnMessage(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam,
                       const DevBroadcast* record = nullptr);

    // The same events by meaning.
    void OnBoxArrived(vexu::WPARAM deviceIndex, vexu::LPARAM interfaceCount);
    void OnBoxRemoved();
    void OnRunStart();
    void OnRunEnd(vexu::WPARAM step, vexu::LPARAM result);
    void OnRunText(vexu::WPARAM number);
    // A hot-plug event, handed to this thread by the window.
    void OnHotplug(const vexu::HotplugEvent& event);
    void OnRetryTimer();

    // The operator's actions.
    void OnStartClicked();
    void OnLinkClicked();
    void OnBuildSettingFileClicked();
    // A system-menu command; returns false for one the dialog does not
    // handle (the window's default handling takes it).
    bool OnSysCommand(unsigned id);

    const DialogState& State() const { return state_; }
    const AppSetting& Settings() const { return settings_; }
    bool BoxPresent() const { return state_.boxPresent; }
    bool RunInProgress() const;
    // A start now would start a run: a box, no run, at least one part on.
    bool StartAllowed() const;

private:
    void ApplySettings();
    void EnableControls(bool enabled);
    void ReportRefusals();
    void TellRunLogFailure();

    void SetText(int id, const std::string& text);
    void Show(int id, bool shown);
    void Enable(int id, bool enabled);
    void SetBarPos(int id, uint32_t pos);

    DialogView& view_;
    vexu::MessageTarget& window_;
    DialogModelSetup setup_;
    std::unique_ptr<CThreadAction> worker_;
    AppSetting settings_{};
    DialogState state_;
    std::string refusalShown_;  // the refusal last told, until a box is taken
    bool retrying_ = false;     // the retry timer runs
    bool started_ = false;
    bool destroyed_ = false;
};
