// The dialog's self-drawn controls as Win32 window classes: a text panel, a
// progress bar, the link line and a picture button. Each keeps its own
// colours for the enabled and the disabled state, stores what a setter
// message gives it and invalidates, and paints its whole client area from
// one off-screen bitmap in a single copy, so frequent progress updates do
// not flicker. A clickable control tells its parent through WM_COMMAND
// (BN_CLICKED) with its id, and answers BM_CLICK as a button does.
#pragma once

#include <windows.h>

#include <functional>

namespace vexu::win32ui {

inline constexpr const wchar_t* kTextClass = L"VexuQarnStatic";
inline constexpr const wchar_t* kBarClass = L"VexuQarnProgress";
inline constexpr const wchar_t* kLinkClass = L"VexuQarnLink";
inline constexpr const wchar_t* kPictureButtonClass = L"VexuBitmapButton";

// Colour slots of CM_SETCOLOR (wParam); lParam is the COLORREF. For a bar,
// kFore is the filled part and kBack the empty part.
enum ColorSlot : WPARAM { kFore = 0, kBack = 1, kDisabledFore = 2, kDisabledBack = 3, kHoverFore = 4 };
inline constexpr UINT CM_SETCOLOR = WM_USER + 20;
// The font's pixel height (wParam) for a text panel or the link.
inline constexpr UINT CM_SETFONTHEIGHT = WM_USER + 21;
// A picture button's bitmaps: wParam a PictureSlot, lParam the HBITMAP (a
// 32-bit DIB section with premultiplied alpha; the caller keeps it).
enum PictureSlot : WPARAM { kNormal = 0, kDisabled = 1, kHover = 2, kPressed = 3 };
inline constexpr UINT CM_SETPICTURE = WM_USER + 22;
// Sent by a picture button to its parent: draw your background into the
// HDC (wParam) as it lies under the control (lParam, its HWND).
inline constexpr UINT CM_DRAWPARENTBACKGROUND = WM_USER + 23;
// A bar answers the progress bar's own messages: PBM_SETRANGE32,
// PBM_SETPOS and PBM_GETPOS (WM_USER + 6, + 2 and + 8).
inline constexpr UINT CM_BARSETRANGE32 = WM_USER + 6;
inline constexpr UINT CM_BARSETPOS = WM_USER + 2;
inline constexpr UINT CM_BARGETPOS = WM_USER + 8;
// Whether the link is hovered (answers 1 or 0), for tests.
inline constexpr UINT CM_GETHOVER = WM_USER + 24;

// Registers the four classes once per process; false if one could not be.
bool RegisterControlClasses(HINSTANCE instance);

// Paints the window's whole client area through one off-screen bitmap and
// one copy (no flicker): draw gets the bitmap's DC and the client rectangle.
// When the bitmap cannot be made the window stays unpainted for this paint.
void PaintBuffered(HWND window, const std::function<void(HDC memory, const RECT& client)>& draw);

// The filled width of a bar: width / (upper - lower) * pos, truncated; 0
// when the range is empty or pos lies beyond it.
int BarFilledWidth(int width, UINT lower, UINT upper, UINT pos);

}  // namespace vexu::win32ui
