// The Notes dialog: a release-notes resource in a read-only edit field.

#include "extras/notes_dialog.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "resources/resource.h"

namespace {

constexpr wchar_t kNotesType[] = L"NOTES";

HFONT CreateNotesFont() {
  LOGFONTW font = {};
  HDC screen = ::GetDC(nullptr);
  font.lfHeight = -::MulDiv(8, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
  ::ReleaseDC(nullptr, screen);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = ANSI_CHARSET;
  font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  ::lstrcpynW(font.lfFaceName, L"Courier New", LF_FACESIZE);
  return ::CreateFontIndirectW(&font);
}

void OnInitNotes(HWND dialog, const wchar_t* notesName) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  wchar_t* text = LoadNotesText(instance, notesName);
  if (!text) {
    ::EndDialog(dialog, IDCANCEL);
    return;
  }
  HWND field = ::GetDlgItem(dialog, IDC_NOTES_TEXT);
  HFONT font = CreateNotesFont();
  ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(font));
  if (font) ::SendMessageW(field, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  ::SetWindowTextW(field, text);
  std::free(text);
  ::ShowWindow(field, SW_SHOW);
  // The dialog manager would select the whole text when it gives the field
  // the focus; the reader gets the caret at the top instead.
  ::SetFocus(field);
}

// A read-only edit field asks for static colours; the notes should read
// like an ordinary white field.
INT_PTR OnNotesColour(HWND dialog, HDC dc, HWND control) {
  if (control != ::GetDlgItem(dialog, IDC_NOTES_TEXT)) return FALSE;
  ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
  ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
  return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_WINDOW));
}

INT_PTR CALLBACK NotesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitNotes(dialog, reinterpret_cast<const wchar_t*>(lParam));
      return FALSE;  // the focus is set
    case WM_CTLCOLORSTATIC:
      return OnNotesColour(dialog, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_DESTROY: {
      HFONT font = reinterpret_cast<HFONT>(::GetWindowLongPtrW(dialog, DWLP_USER));
      if (font) ::DeleteObject(font);
      ::SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

wchar_t* LoadNotesText(HINSTANCE instance, const wchar_t* notesName) {
  HRSRC found = notesName ? ::FindResourceW(instance, notesName, kNotesType) : nullptr;
  HGLOBAL loaded = found ? ::LoadResource(instance, found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  if (!bytes) return nullptr;
  const size_t size = ::SizeofResource(instance, found);
  auto* text = static_cast<wchar_t*>(std::calloc(size + 1, sizeof(wchar_t)));
  if (!text) return nullptr;
  // The resource bytes have no terminator of their own; convert from a
  // terminated copy so the conversion cannot read past them.
  std::string source(bytes, size);
  if (std::mbstowcs(text, source.c_str(), size) == static_cast<size_t>(-1)) {
    // A byte that the locale cannot read: show every byte as itself rather
    // than a text cut short at that point.
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<unsigned char>(source[i]);
  }
  return text;
}

INT_PTR RunNotesDialog(HINSTANCE instance, HWND owner, const wchar_t* notesName) {
  return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_NOTES), owner, NotesProc,
                           reinterpret_cast<LPARAM>(notesName));
}
