// The About box: the picture, the program's title in a large bold font
// centred across the box, the version and two lines of text.

#include "app/dialogs.h"
#include "resources/resource.h"

namespace {

constexpr int kTitleTextSize = 64;

// One About box at a time, so one title font.
HFONT g_titleFont = nullptr;

HFONT CreateTitleFont(HINSTANCE instance) {
  LOGFONTW font = {};
  HDC screen = ::GetDC(nullptr);
  font.lfHeight = -::MulDiv(14, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
  ::ReleaseDC(nullptr, screen);
  font.lfWeight = FW_BOLD;
  font.lfCharSet = ANSI_CHARSET;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  ::LoadStringW(instance, IDS_FONT_ARIAL, font.lfFaceName, LF_FACESIZE);
  return ::CreateFontIndirectW(&font);
}

// Sizes the title control to its text in the new font and centres it
// across the dialog window.
void FitTitle(HWND dialog, HWND title) {
  wchar_t text[kTitleTextSize] = {};
  int length = ::GetWindowTextW(title, text, kTitleTextSize);
  HDC dc = ::GetDC(title);
  HGDIOBJ previous = ::SelectObject(dc, g_titleFont);
  SIZE extent = {};
  if (::GetTextExtentPoint32W(dc, text, length, &extent)) {
    RECT box, control;
    ::GetWindowRect(dialog, &box);
    ::GetWindowRect(title, &control);
    int left = (box.right - box.left + 1 - extent.cx) / 2;
    int top = (control.top - box.top) - extent.cy;
    ::SetWindowPos(title, nullptr, left, top, extent.cx, extent.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::SelectObject(dc, previous);
  ::ReleaseDC(title, dc);
}

void OnInitAbout(HWND dialog) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  g_titleFont = CreateTitleFont(instance);
  if (!g_titleFont) return;  // the title keeps the dialog font and its place
  HWND title = ::GetDlgItem(dialog, IDC_ABOUT_TITLE);
  ::SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(g_titleFont), TRUE);
  FitTitle(dialog, title);
}

void DeleteTitleFont() {
  if (g_titleFont) ::DeleteObject(g_titleFont);
  g_titleFont = nullptr;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitAbout(dialog);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      // However the box ends, its font goes with it.
      DeleteTitleFont();
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

int RunAboutBox(HINSTANCE instance, HWND owner) {
  ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, AboutProc, 0);
  return 1;
}
