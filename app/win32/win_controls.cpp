#include "app/win32/win_controls.h"

#include <string>

#include "platform/trace.h"

namespace vexu::win32ui {

namespace {

// Pixel height of the panels' font until the dialog sets its own.
constexpr int kDefaultFontPixels = 13;
// The mouse must rest this long on the link before it counts as hovering.
constexpr DWORD kHoverTimeMs = 1;

enum class Kind { kText, kBar, kLink, kPicture };

// One control's state; made at WM_NCCREATE, freed at WM_NCDESTROY.
struct Control {
    Kind kind;
    // Text panels and the link.
    COLORREF fore = RGB(0, 255, 0);
    COLORREF back = RGB(255, 255, 255);
    COLORREF disabledFore = RGB(0, 0, 0);
    COLORREF disabledBack = RGB(0xAE, 0xAE, 0xAE);
    COLORREF hoverFore = RGB(255, 0, 0);
    int fontPixels = kDefaultFontPixels;
    HFONT font = nullptr;
    // Bars (fore and back above are the filled and the empty part).
    UINT lower = 0;
    UINT upper = 100;
    UINT pos = 0;
    // The link and the picture buttons.
    bool hover = false;
    bool tracking = false;
    bool pressed = false;  // the left button went down on the control and is held
    HBITMAP pictures[4] = {};
};

Control* From(HWND window) { return reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void MakeFont(Control& c) {
    if (c.font) DeleteObject(c.font);
    // Normal weight, no italic, underline or strike-out, the Swiss family.
    // The default character set lets the font mapper find Chinese glyphs
    // for texts that carry them.
    c.font = CreateFontW(-c.fontPixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                         CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_SWISS | DEFAULT_PITCH, L"Arial Black");
}

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return text;
}

void Fill(HDC dc, const RECT& rect, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

void DrawTextPanel(HWND window, Control& c, HDC dc, const RECT& client) {
    const bool enabled = IsWindowEnabled(window) != FALSE;
    Fill(dc, client, enabled ? c.back : c.disabledBack);
    // A disabled link keeps its disabled colour under the mouse.
    const COLORREF text = !enabled ? c.disabledFore : (c.kind == Kind::kLink && c.hover ? c.hoverFore : c.fore);
    HGDIOBJ oldFont = SelectObject(dc, c.font);
    SetTextColor(dc, text);
    SetBkMode(dc, TRANSPARENT);
    RECT box = client;
    const std::wstring content = WindowText(window);
    DrawTextW(dc, content.c_str(), static_cast<int>(content.size()), &box,
              (c.kind == Kind::kLink ? DT_RIGHT : DT_LEFT) | DT_VCENTER | DT_SINGLELINE | DT_NOCLIP | DT_NOPREFIX);
    SelectObject(dc, oldFont);
}

void DrawBar(HWND window, Control& c, HDC dc, const RECT& client) {
    const bool enabled = IsWindowEnabled(window) != FALSE;
    Fill(dc, client, enabled ? c.back : c.disabledBack);
    const int filled = BarFilledWidth(client.right - client.left, c.lower, c.upper, c.pos);
    if (filled > 0) {
        RECT part{client.left, client.top, client.left + filled, client.bottom};
        Fill(dc, part, enabled ? c.fore : c.disabledFore);
    }
}

void DrawPicture(HWND window, Control& c, HDC dc, const RECT& client) {
    // What lies under the control first: the pictures have transparent parts.
    SendMessageW(GetParent(window), CM_DRAWPARENTBACKGROUND, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(window));
    HBITMAP picture = c.pictures[kNormal];
    if (!IsWindowEnabled(window)) {
        picture = c.pictures[kDisabled];
    } else if (c.pressed && c.hover && c.pictures[kPressed]) {
        picture = c.pictures[kPressed];
    } else if (c.hover && c.pictures[kHover]) {
        picture = c.pictures[kHover];
    }
    if (!picture) return;
    BITMAP info{};
    GetObjectW(picture, sizeof info, &info);
    HDC source = CreateCompatibleDC(dc);
    if (!source) return;
    HGDIOBJ old = SelectObject(source, picture);
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, 0, 0, client.right - client.left, client.bottom - client.top, source, 0, 0, info.bmWidth,
               info.bmHeight, blend);
    SelectObject(source, old);
    DeleteDC(source);
}

void Paint(HWND window, Control& c) {
    PaintBuffered(window, [&](HDC memory, const RECT& client) {
        switch (c.kind) {
            case Kind::kText:
            case Kind::kLink: DrawTextPanel(window, c, memory, client); break;
            case Kind::kBar: DrawBar(window, c, memory, client); break;
            case Kind::kPicture: DrawPicture(window, c, memory, client); break;
        }
    });
}

void Invalidate(HWND window) { InvalidateRect(window, nullptr, FALSE); }

void TellParentClicked(HWND window) {
    SendMessageW(GetParent(window), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(window), BN_CLICKED),
                 reinterpret_cast<LPARAM>(window));
}

void RequestHover(HWND window, Control& c) {
    if (c.tracking) return;
    TRACKMOUSEEVENT request{sizeof request, TME_HOVER | TME_LEAVE, window, kHoverTimeMs};
    c.tracking = TrackMouseEvent(&request) != FALSE;
}

LRESULT CALLBACK ControlProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, Kind kind) {
    if (message == WM_NCCREATE) {
        auto* c = new Control{};
        c->kind = kind;
        if (kind == Kind::kText || kind == Kind::kLink) MakeFont(*c);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c));
        return DefWindowProcW(window, message, wParam, lParam);
    }
    Control* c = From(window);
    if (!c) return DefWindowProcW(window, message, wParam, lParam);
    const bool clickable = kind == Kind::kLink || kind == Kind::kPicture;
    switch (message) {
        case WM_NCDESTROY:
            if (c->font) DeleteObject(c->font);
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            delete c;
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_ERASEBKGND: return TRUE;
        case WM_PAINT: Paint(window, *c); return 0;
        case WM_ENABLE: Invalidate(window); return 0;
        case WM_SETTEXT: {
            const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
            Invalidate(window);
            return result;
        }
        case CM_SETCOLOR:
            switch (wParam) {
                case kFore: c->fore = static_cast<COLORREF>(lParam); break;
                case kBack: c->back = static_cast<COLORREF>(lParam); break;
                case kDisabledFore: c->disabledFore = static_cast<COLORREF>(lParam); break;
                case kDisabledBack: c->disabledBack = static_cast<COLORREF>(lParam); break;
                case kHoverFore: c->hoverFore = static_cast<COLORREF>(lParam); break;
                default: return 0;
            }
            Invalidate(window);
            return 1;
        case CM_SETFONTHEIGHT:
            if (kind != Kind::kText && kind != Kind::kLink) return 0;
            c->fontPixels = static_cast<int>(wParam) > 0 ? static_cast<int>(wParam) : kDefaultFontPixels;
            MakeFont(*c);
            Invalidate(window);
            return 1;
        case CM_SETPICTURE:
            if (kind != Kind::kPicture || wParam > kPressed) return 0;
            c->pictures[wParam] = reinterpret_cast<HBITMAP>(lParam);
            Invalidate(window);
            return 1;
        case CM_BARSETRANGE32:
            if (kind != Kind::kBar) break;
            if (static_cast<UINT>(lParam) < static_cast<UINT>(wParam)) {
                vexu::Trace("CQarnProgress::SetRange()  Error: lower>upper \r\n");
                return 0;
            }
            c->lower = static_cast<UINT>(wParam);
            c->upper = static_cast<UINT>(lParam);
            Invalidate(window);
            return 1;
        case CM_BARSETPOS:
            if (kind != Kind::kBar) break;
            if (static_cast<UINT>(wParam) > c->upper) {
                vexu::Trace("CQarnProgress::SetPos()  Error: pos>upper \r\n");
                return 0;
            }
            c->pos = static_cast<UINT>(wParam);
            Invalidate(window);
            return 1;
        case CM_BARGETPOS:
            if (kind != Kind::kBar) break;
            return static_cast<LRESULT>(c->pos);
        case CM_GETHOVER: return c->hover ? 1 : 0;
        case WM_MOUSEMOVE:
            if (clickable) RequestHover(window, *c);
            break;
        case WM_MOUSEHOVER:
            c->hover = true;
            Invalidate(window);
            return 0;
        case WM_MOUSELEAVE:
            c->hover = false;
            c->tracking = false;
            Invalidate(window);
            return 0;
        case WM_SETCURSOR:
            if (kind != Kind::kLink) break;
            // A disabled link is not a link: it keeps the arrow.
            SetCursor(LoadCursorW(nullptr, c->hover && IsWindowEnabled(window) ? IDC_HAND : IDC_ARROW));
            return TRUE;
        case WM_LBUTTONDOWN:
            if (!clickable) break;
            c->pressed = true;
            c->hover = true;
            SetCapture(window);
            Invalidate(window);
            return 0;
        case WM_LBUTTONUP: {
            if (!clickable || !c->pressed) break;
            c->pressed = false;
            ReleaseCapture();
            RECT client;
            GetClientRect(window, &client);
            POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            Invalidate(window);
            if (PtInRect(&client, at)) TellParentClicked(window);
            return 0;
        }
        case WM_CAPTURECHANGED:
            c->pressed = false;
            Invalidate(window);
            return 0;
        case BM_CLICK:
            if (!clickable) break;
            if (IsWindowEnabled(window)) TellParentClicked(window);
            return 0;
        case WM_GETDLGCODE: return DLGC_STATIC;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

template <Kind kind>
LRESULT CALLBACK ProcedureOf(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ControlProcedure(window, message, wParam, lParam, kind);
}

bool Register(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void PaintBuffered(HWND window, const std::function<void(HDC memory, const RECT& client)>& draw) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    HDC memory = width > 0 && height > 0 ? CreateCompatibleDC(dc) : nullptr;
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(dc, width, height) : nullptr;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        draw(memory, client);
        BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    EndPaint(window, &ps);
}

int BarFilledWidth(int width, UINT lower, UINT upper, UINT pos) {
    if (!(lower < upper && pos <= upper) || width <= 0) return 0;
    const double filled = static_cast<double>(width) / static_cast<double>(upper - lower) * pos;
    return filled >= width ? width : static_cast<int>(filled);
}

bool RegisterControlClasses(HINSTANCE instance) {
    return Register(instance, kTextClass, ProcedureOf<Kind::kText>) &&
           Register(instance, kBarClass, ProcedureOf<Kind::kBar>) &&
           Register(instance, kLinkClass, ProcedureOf<Kind::kLink>) &&
           Register(instance, kPictureButtonClass, ProcedureOf<Kind::kPicture>);
}

}  // namespace vexu::win32ui
