// CWinKTRDlg: the programmer's window on Windows, a native dialog made from
// the shared dialog template (dialog units, so it follows the system font
// and DPI). It draws what the dialog model tells it through DialogView and
// hands every event to the model: window messages stop here, decisions are
// the model's. Other threads (the run worker, the device manager, the
// hot-plug monitor) only post to it.
#pragma once

// The project's headers before windows.h: its macros (WM_USER...) would
// otherwise replace the names of platform/messages.h.
#include "dialog/dialog_model.h"
#include "dialog/dialog_view.h"
#include "platform/hotplug.h"
#include "platform/messages.h"
// After them:
#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexu::sim {
class SimBackend;
}

namespace vexu::win32ui {

// Posted by the hot-plug monitor's thread: lParam is a HotplugEvent the
// window takes over (and deletes).
inline constexpr UINT WM_VEXU_HOTPLUG = WM_APP + 1;
// Answered only in a window started with --simulate, for tests driving it
// from another process: the simulated box plugged (wParam 1) or unplugged
// (0), or made to refuse serial mode (wParam 1) or not (0). Return 1 when
// done, 0 without a simulator.
inline constexpr UINT WM_VEXU_SIM_PLUG = WM_APP + 0x40;
inline constexpr UINT WM_VEXU_SIM_REFUSE_SERIAL = WM_APP + 0x41;
// Whether a run is in progress (1 or 0), for tests.
inline constexpr UINT WM_VEXU_RUN_IN_PROGRESS = WM_APP + 0x42;

// The retry timer's id.
inline constexpr UINT_PTR kRetryTimerId = 1;

struct WindowSetup {
    HINSTANCE instance = nullptr;
    // Hot-plug events of the HID backend in use; started with the dialog,
    // stopped before it goes. Not owned; may be null.
    vexu::HotplugMonitor* monitor = nullptr;
    // The simulated box, when the window runs on it. Not owned; may be null.
    vexu::sim::SimBackend* simulator = nullptr;
};

class CWinKTRDlg final : public DialogView, public vexu::MessageTarget {
public:
    explicit CWinKTRDlg(WindowSetup setup);
    ~CWinKTRDlg() override;

    // Shows the dialog modally; returns when it is closed (the dialog's
    // result, or -1 when it could not be made).
    INT_PTR DoModal();

    // MessageTarget: posts to the dialog's thread, never waits. Any thread.
    void Post(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) override;

    // DialogView.
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

private:
    static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void LoadPictures();
    void PlacePictureButtons();
    void OnDestroy();
    void Paint();
    // The background picture stretched over the client area, drawn at
    // (-offsetX, -offsetY) (a control's share of it).
    void DrawBackground(HDC dc, int offsetX, int offsetY);
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    WindowSetup setup_;
    // Read by the threads that post to the window.
    std::atomic<HWND> window_{nullptr};
    std::unique_ptr<CDialogModel> model_;
    // Hot-plug events from the monitor's thread, taken on the window's.
    std::mutex hotplugLock_;
    std::deque<vexu::HotplugEvent> hotplugEvents_;
    bool boxPresent_ = false;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HBITMAP backgroundOn_ = nullptr;
    HBITMAP backgroundOff_ = nullptr;
    std::vector<HBITMAP> pictures_;  // the buttons' bitmaps, owned here
    std::map<int, SIZE> pictureSizes_;  // each picture button's normal picture
    bool timerRunning_ = false;
};

// A UTF-8 text as the wide text Windows draws.
std::wstring Wide(const std::string& text);

// The dialog template in memory, as DialogBoxIndirectParamW takes it: the
// shared template's items with this window's control classes.
std::vector<WORD> BuildMainDialogTemplate();

}  // namespace vexu::win32ui
