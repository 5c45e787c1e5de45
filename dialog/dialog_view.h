// DialogView: what the dialog model asks of a window. A window (Qt, Win32, a
// test's recorder) implements it with drawing and nothing else: every
// decision is the model's. Texts are UTF-8; colours are 0x00BBGGRR.
#pragma once

#include <cstdint>
#include <string>

// The four colours of a self-drawn control: for a text panel or the link the
// text and background colours, for a bar its filled and empty parts; each
// while enabled and while disabled. The link has a fifth, its text colour
// while the mouse rests on it.
struct ControlColors {
    uint32_t fore;
    uint32_t back;
    uint32_t disabledFore;
    uint32_t disabledBack;
    uint32_t hoverFore;  // the link only
};

// What the operator is told in a message box, and why: the kind lets a
// window (or a test) tell the messages apart without reading their texts.
enum class NoticeKind : uint8_t {
    kRunFailed,        // a run failed: its failure text
    kRunLogFailed,     // a run's record could not be written to the run log
    kBoxRefused,       // a box is there but cannot be used (in use, no permission)
    kNothingToProgram  // a start with both parts of the record off
};
enum class NoticeIcon : uint8_t { kError, kWarning, kInformation };

struct Notice {
    NoticeKind kind;
    std::string title;
    std::string text;
    NoticeIcon icon;
};

class DialogView {
public:
    virtual ~DialogView() = default;

    // The window's caption.
    virtual void SetTitle(const std::string& title) = 0;
    // The text of a text panel, the link or a push button.
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual void SetControlColors(int id, const ControlColors& colors) = 0;
    virtual void ShowControl(int id, bool shown) = 0;
    virtual void EnableControl(int id, bool enabled) = 0;
    // A bar's range and position. A position past the range's end is
    // refused by the bar (with its trace line), which keeps its old one.
    virtual void SetBarRange(int id, uint32_t lower, uint32_t upper) = 0;
    virtual void SetBarPos(int id, uint32_t pos) = 0;
    // Switches the background between the pictures with and without a box
    // and repaints the whole window at once, before the model goes on.
    virtual void SetBackground(bool boxPresent) = 0;
    // A modal message box owned by the window; returns when it is closed.
    virtual void Tell(const Notice& notice) = 0;
    // Opens an address with the desktop's handler for it.
    virtual void OpenLink(const std::string& address) = 0;
    // Shows the about box modally.
    virtual void ShowAbout() = 0;
    // A repeating timer whose ticks come back as CDialogModel::OnRetryTimer;
    // starting a started timer changes nothing.
    virtual void StartRetryTimer(int intervalMs) = 0;
    virtual void StopRetryTimer() = 0;
};
