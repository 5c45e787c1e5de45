#include "app/win32/win_dialog.h"
#include "dialog/dialog_template.h"
#include "sim/sim_backend.h"
// After the project's headers (win_dialog.h brings windows.h):
#include <shellapi.h>

#include <iterator>

#include "app/win32/resource_ids.h"
#include "app/win32/win_controls.h"

namespace vexu::win32ui {

namespace {

// The about box's template: 235 x 55 dialog units in 宋体 9 points.
constexpr int kAboutWidthUnits = 235;
constexpr int kAboutHeightUnits = 55;

// Builds an in-memory dialog template, word by word: the dialog header
// (with its font), then each item aligned to a double word.
class TemplateWriter {
public:
    void Dialog(DWORD style, DWORD exStyle, WORD items, short cx, short cy, const wchar_t* title, WORD points,
                const wchar_t* face) {
        Dword(style);
        Dword(exStyle);
        words_.push_back(items);
        Short(0);
        Short(0);
        Short(cx);
        Short(cy);
        words_.push_back(0);  // no menu
        words_.push_back(0);  // the system's dialog class
        String(title);
        words_.push_back(points);
        String(face);
    }

    // classAtom: a predefined class (0x0080 button, 0x0082 static), or 0
    // with className.
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom, const wchar_t* className,
              const wchar_t* title, WORD titleOrdinal = 0) {
        if (words_.size() % 2) words_.push_back(0);
        Dword(style);
        Dword(0);
        Short(x);
        Short(y);
        Short(cx);
        Short(cy);
        words_.push_back(id);
        if (classAtom) {
            words_.push_back(0xFFFF);
            words_.push_back(classAtom);
        } else {
            String(className);
        }
        if (titleOrdinal) {
            words_.push_back(0xFFFF);
            words_.push_back(titleOrdinal);
        } else {
            String(title);
        }
        words_.push_back(0);  // no creation data
    }

    std::vector<WORD> Take() { return std::move(words_); }

private:
    void Dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void Short(short value) { words_.push_back(static_cast<WORD>(value)); }
    void String(const wchar_t* text) {
        for (; text && *text; ++text) words_.push_back(static_cast<WORD>(*text));
        words_.push_back(0);
    }

    std::vector<WORD> words_;
};

std::vector<WORD> BuildAboutTemplate() {
    TemplateWriter writer;
    writer.Dialog(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 3,
                  kAboutWidthUnits, kAboutHeightUnits, L"关于 KTR", 9, L"宋体");
    writer.Item(WS_CHILD | WS_VISIBLE | SS_ICON, 11, 17, 20, 20, 0xFFFF, 0x0082, nullptr, nullptr,
                IDI_APPLICATION_ICON);
    writer.Item(WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 40, 20, 119, 8, 0xFFFF, 0x0082, nullptr,
                L"KTR 1.0 版");
    writer.Item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 178, 7, 50, 14, IDOK, 0x0080, nullptr,
                L"确定");
    return writer.Take();
}

INT_PTR CALLBACK AboutProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

const wchar_t* ClassOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::kPictureButton: return kPictureButtonClass;
        case ControlKind::kLink: return kLinkClass;
        case ControlKind::kText: return kTextClass;
        case ControlKind::kBar: return kBarClass;
        case ControlKind::kPushButton: return nullptr;
    }
    return nullptr;
}

HBITMAP LoadPicture(HINSTANCE instance, int id) {
    // A DIB section keeps the pictures' alpha for the blending.
    return static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
}

SIZE BitmapSize(HBITMAP bitmap) {
    BITMAP info{};
    if (!bitmap || !GetObjectW(bitmap, sizeof info, &info)) return {0, 0};
    return {info.bmWidth, info.bmHeight};
}

}  // namespace

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::vector<WORD> BuildMainDialogTemplate() {
    TemplateWriter writer;
    const std::wstring face = Wide(kDialogFontFace);
    // A pop-up with caption, system menu and modal frame, in the task bar.
    writer.Dialog(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                      WS_CLIPCHILDREN,
                  WS_EX_APPWINDOW | WS_EX_STATICEDGE, static_cast<WORD>(std::size(kDialogItems)), kDialogWidthUnits,
                  kDialogHeightUnits, L"", kDialogFontPoints, face.c_str());
    const std::wstring buildText = Wide(kBuildSettingFileText);
    for (const DialogItem& item : kDialogItems) {
        DWORD style = WS_CHILD | (item.visible ? WS_VISIBLE : 0);
        if (item.id == IDC_START) style |= WS_TABSTOP;
        const bool push = item.kind == ControlKind::kPushButton;
        if (push) style |= BS_PUSHBUTTON | WS_TABSTOP;
        writer.Item(style, static_cast<short>(item.x), static_cast<short>(item.y), static_cast<short>(item.cx),
                    static_cast<short>(item.cy), static_cast<WORD>(item.id), push ? 0x0080 : 0, ClassOf(item.kind),
                    push ? buildText.c_str() : L"");
    }
    return writer.Take();
}

CWinKTRDlg::CWinKTRDlg(WindowSetup setup) : setup_(setup) {}

CWinKTRDlg::~CWinKTRDlg() {
    for (HBITMAP picture : pictures_) DeleteObject(picture);
    if (backgroundOn_) DeleteObject(backgroundOn_);
    if (backgroundOff_) DeleteObject(backgroundOff_);
    if (icon_) DestroyIcon(icon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
}

INT_PTR CWinKTRDlg::DoModal() {
    if (!RegisterControlClasses(setup_.instance)) return -1;
    const std::vector<WORD> dialog = BuildMainDialogTemplate();
    return DialogBoxIndirectParamW(setup_.instance, reinterpret_cast<const DLGTEMPLATE*>(dialog.data()), nullptr,
                                   DialogProcedure, reinterpret_cast<LPARAM>(this));
}

// The dialog's object arrives with WM_INITDIALOG (the dialog manager's
// counterpart of WM_NCCREATE); the few messages before it get the default.
INT_PTR CALLBACK CWinKTRDlg::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CWinKTRDlg*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        self->OnInitDialog();
        return TRUE;
    }
    auto* self = reinterpret_cast<CWinKTRDlg*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self) return FALSE;
    const INT_PTR handled = self->OnMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->window_ = nullptr;
    }
    return handled;
}

void CWinKTRDlg::OnInitDialog() {
    icon_ = static_cast<HICON>(LoadImageW(setup_.instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(setup_.instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    if (HMENU menu = GetSystemMenu(window_, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, Wide(kAboutMenuText).c_str());
    }
    LoadPictures();
    Rescale();

    model_ = std::make_unique<CDialogModel>(*this, *this);
    if (setup_.monitor) {
        // Hot-plug events come from the monitor's thread; the device manager
        // takes them on this one.
        setup_.monitor->Start([this](const vexu::HotplugEvent& event) {
            {
                std::lock_guard<std::mutex> guard(hotplugLock_);
                hotplugEvents_.push_back(event);
            }
            if (HWND window = window_.load()) PostMessageW(window, WM_VEXU_HOTPLUG, 0, 0);
        });
    }
    model_->OnInitDialog();
}

void CWinKTRDlg::LoadPictures() {
    backgroundOn_ = LoadPicture(setup_.instance, IDB_BACKGROUND_ON);
    backgroundOff_ = LoadPicture(setup_.instance, IDB_BACKGROUND_OFF);
    for (const PictureButtonBitmaps& button : kPictureButtons) {
        HBITMAP normal = LoadPicture(setup_.instance, button.bitmap);
        HBITMAP disabled = LoadPicture(setup_.instance, button.disabledBitmap);
        for (HBITMAP picture : {normal, disabled})
            if (picture) pictures_.push_back(picture);
        pictureSizes_[button.id] = BitmapSize(normal);
        SendMessageW(Item(button.id), CM_SETPICTURE, kNormal, reinterpret_cast<LPARAM>(normal));
        SendMessageW(Item(button.id), CM_SETPICTURE, kDisabled, reinterpret_cast<LPARAM>(disabled));
    }
    HBITMAP hover = LoadPicture(setup_.instance, IDB_START_HOVER);
    HBITMAP pressed = LoadPicture(setup_.instance, IDB_START_PRESSED);
    for (HBITMAP picture : {hover, pressed})
        if (picture) pictures_.push_back(picture);
    SendMessageW(Item(IDC_START), CM_SETPICTURE, kHover, reinterpret_cast<LPARAM>(hover));
    SendMessageW(Item(IDC_START), CM_SETPICTURE, kPressed, reinterpret_cast<LPARAM>(pressed));
}

// The panels' font and the picture buttons keep their share of the window
// as it follows the system font and DPI (at start, and when the dialog is
// resized for another monitor's DPI).
void CWinKTRDlg::Rescale() {
    PlacePictureButtons();
    RECT client;
    GetClientRect(window_, &client);
    if (client.bottom <= client.top) return;
    const int fontPixels = MulDiv(13, client.bottom - client.top, kClientHeightPixels);
    for (const DialogItem& item : kDialogItems) {
        if (item.kind == ControlKind::kText || item.kind == ControlKind::kLink)
            SendMessageW(Item(item.id), CM_SETFONTHEIGHT, static_cast<WPARAM>(fontPixels), 0);
    }
}

// A picture button takes its picture's size at its item's place, scaled as
// the dialog units scale the background.
void CWinKTRDlg::PlacePictureButtons() {
    RECT client;
    GetClientRect(window_, &client);
    for (const PictureButtonBitmaps& button : kPictureButtons) {
        const auto size = pictureSizes_.find(button.id);
        if (size == pictureSizes_.end() || size->second.cx == 0) continue;
        HWND control = Item(button.id);
        RECT place;
        GetWindowRect(control, &place);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
        const int width = MulDiv(size->second.cx, client.right - client.left, kClientWidthPixels);
        const int height = MulDiv(size->second.cy, client.bottom - client.top, kClientHeightPixels);
        SetWindowPos(control, nullptr, place.left, place.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

INT_PTR CWinKTRDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // What arrives while the dialog initialises (before the model is made)
    // gets the default handling.
    if (!model_) return FALSE;
    switch (message) {
        case WM_ERASEBKGND: SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE); return TRUE;
        case WM_PAINT: Paint(); return TRUE;
        case CM_DRAWPARENTBACKGROUND: {
            RECT place;
            GetWindowRect(reinterpret_cast<HWND>(lParam), &place);
            MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
            DrawBackground(reinterpret_cast<HDC>(wParam), place.left, place.top);
            return TRUE;
        }
        case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(icon_);
        case WM_SIZE:
            if (wParam != SIZE_MINIMIZED) Rescale();
            return FALSE;
        case WM_COMMAND: {
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            switch (LOWORD(wParam)) {
                case IDC_START: model_->OnStartClicked(); return TRUE;
                case IDC_LINK: model_->OnLinkClicked(); return TRUE;
                case IDC_BUILD_SETTING_FILE: model_->OnBuildSettingFileClicked(); return TRUE;
                // Enter, Escape and the close box end the dialog.
                case IDOK:
                case IDCANCEL: EndDialog(window_, LOWORD(wParam)); return TRUE;
                default: return FALSE;
            }
        }
        case WM_SYSCOMMAND: return model_->OnSysCommand(static_cast<unsigned>(wParam)) ? TRUE : FALSE;
        case WM_TIMER:
            if (wParam != kRetryTimerId) return FALSE;
            model_->OnRetryTimer();
            return TRUE;
        case WM_VEXU_HOTPLUG: {
            std::deque<vexu::HotplugEvent> events;
            {
                std::lock_guard<std::mutex> guard(hotplugLock_);
                events.swap(hotplugEvents_);
            }
            for (const vexu::HotplugEvent& event : events) model_->OnHotplug(event);
            return TRUE;
        }
        case WM_VEXU_SIM_PLUG:
        case WM_VEXU_SIM_REFUSE_SERIAL: {
            LRESULT done = 0;
            if (setup_.simulator) {
                if (message == WM_VEXU_SIM_REFUSE_SERIAL) {
                    const bool refuse = wParam != 0;
                    setup_.simulator->Inspect([refuse](vexu::sim::SimBox& box) {
                        box.SetRefuseSerial(refuse);
                        return 0;
                    });
                } else if (wParam) {
                    setup_.simulator->Plug();
                } else {
                    setup_.simulator->Unplug();
                }
                done = 1;
            }
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, done);
            return TRUE;
        }
        case WM_VEXU_RUN_IN_PROGRESS:
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, model_->RunInProgress() ? 1 : 0);
            return TRUE;
        case WM_DESTROY: OnDestroy(); return FALSE;
        default: break;
    }
    // Everything else is offered to the model: the run's and the device
    // manager's messages, device-change notifications.
    if (message == WM_DEVICECHANGE || message >= WM_USER) {
        const intptr_t result = model_->OnMessage(message, wParam, lParam);
        if (result) {
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
            return TRUE;
        }
    }
    return FALSE;
}

void CWinKTRDlg::OnDestroy() {
    if (timerRunning_) KillTimer(window_, kRetryTimerId);
    timerRunning_ = false;
    if (setup_.monitor) setup_.monitor->Stop();
    model_->OnDestroy();
}

void CWinKTRDlg::Paint() {
    PaintBuffered(window_, [this](HDC memory, const RECT&) { DrawBackground(memory, 0, 0); });
}

void CWinKTRDlg::DrawBackground(HDC dc, int offsetX, int offsetY) {
    HBITMAP picture = boxPresent_ ? backgroundOn_ : backgroundOff_;
    RECT client;
    GetClientRect(window_, &client);
    if (!picture) {
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
        return;
    }
    const SIZE size = BitmapSize(picture);
    HDC source = CreateCompatibleDC(dc);
    if (!source) return;
    HGDIOBJ old = SelectObject(source, picture);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width == size.cx && height == size.cy) {
        BitBlt(dc, -offsetX, -offsetY, width, height, source, 0, 0, SRCCOPY);
    } else {
        const int oldMode = SetStretchBltMode(dc, HALFTONE);
        POINT oldOrigin;
        SetBrushOrgEx(dc, 0, 0, &oldOrigin);
        StretchBlt(dc, -offsetX, -offsetY, width, height, source, 0, 0, size.cx, size.cy, SRCCOPY);
        SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
        SetStretchBltMode(dc, oldMode);
    }
    SelectObject(source, old);
    DeleteDC(source);
}

void CWinKTRDlg::Post(uint32_t message, vexu::WPARAM wParam, vexu::LPARAM lParam) {
    if (HWND window = window_.load()) PostMessageW(window, message, wParam, lParam);
}

void CWinKTRDlg::SetTitle(const std::string& title) { SetWindowTextW(window_, Wide(title).c_str()); }

void CWinKTRDlg::SetControlText(int id, const std::string& text) { SetWindowTextW(Item(id), Wide(text).c_str()); }

void CWinKTRDlg::SetControlColors(int id, const ControlColors& colors) {
    HWND control = Item(id);
    SendMessageW(control, CM_SETCOLOR, kFore, static_cast<LPARAM>(colors.fore));
    SendMessageW(control, CM_SETCOLOR, kBack, static_cast<LPARAM>(colors.back));
    SendMessageW(control, CM_SETCOLOR, kDisabledFore, static_cast<LPARAM>(colors.disabledFore));
    SendMessageW(control, CM_SETCOLOR, kDisabledBack, static_cast<LPARAM>(colors.disabledBack));
    if (id == IDC_LINK) SendMessageW(control, CM_SETCOLOR, kHoverFore, static_cast<LPARAM>(colors.hoverFore));
}

void CWinKTRDlg::ShowControl(int id, bool shown) { ShowWindow(Item(id), shown ? SW_SHOWNA : SW_HIDE); }

void CWinKTRDlg::EnableControl(int id, bool enabled) { EnableWindow(Item(id), enabled ? TRUE : FALSE); }

void CWinKTRDlg::SetBarRange(int id, uint32_t lower, uint32_t upper) {
    SendMessageW(Item(id), CM_BARSETRANGE32, lower, static_cast<LPARAM>(upper));
}

void CWinKTRDlg::SetBarPos(int id, uint32_t pos) { SendMessageW(Item(id), CM_BARSETPOS, pos, 0); }

void CWinKTRDlg::SetBackground(bool boxPresent) {
    boxPresent_ = boxPresent;
    // Repaint now, children too, so the background has switched before
    // anything that may keep this thread busy.
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void CWinKTRDlg::Tell(const Notice& notice) {
    UINT icon = MB_ICONERROR;
    if (notice.icon == NoticeIcon::kWarning) icon = MB_ICONWARNING;
    if (notice.icon == NoticeIcon::kInformation) icon = MB_ICONINFORMATION;
    MessageBoxW(window_, Wide(notice.text).c_str(), Wide(notice.title).c_str(), MB_OK | icon);
}

void CWinKTRDlg::OpenLink(const std::string& address) {
    ShellExecuteW(window_, L"open", Wide(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CWinKTRDlg::ShowAbout() {
    const std::vector<WORD> about = BuildAboutTemplate();
    DialogBoxIndirectParamW(setup_.instance, reinterpret_cast<const DLGTEMPLATE*>(about.data()), window_,
                            AboutProcedure, 0);
}

void CWinKTRDlg::StartRetryTimer(int intervalMs) {
    if (timerRunning_) return;
    timerRunning_ = SetTimer(window_, kRetryTimerId, static_cast<UINT>(intervalMs), nullptr) != 0;
}

void CWinKTRDlg::StopRetryTimer() {
    if (!timerRunning_) return;
    KillTimer(window_, kRetryTimerId);
    timerRunning_ = false;
}

}  // namespace vexu::win32ui
