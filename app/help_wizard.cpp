// The help wizard: numbered pages from a properties text, shown one at a
// time with "<< Previous" and "Next >>" / "Finish".
#include <cwchar>
#include <string>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace {

constexpr int kMaxPages = 254;
constexpr int kKeySize = 64;

struct HelpPage {
  std::wstring text;
  HelpPage* previous = nullptr;
  HelpPage* next = nullptr;
};

struct HelpPages {
  PropertiesContainer* properties;
  const wchar_t* prefix;
  HelpPage* first = nullptr;
  HelpPage* current = nullptr;
  HFONT font = nullptr;
};

// A gap in the numbering, or an empty value, ends the series.
void BuildHelpPages(HelpPages& pages) {
  HelpPage* last = nullptr;
  for (int i = 1; i <= kMaxPages; ++i) {
    wchar_t key[kKeySize];
    swprintf(key, kKeySize, L"%ls.%d", pages.prefix, i);
    const wchar_t* text = pages.properties->Get(key);
    if (!text || !text[0]) break;
    auto* page = new HelpPage;
    page->text = text;
    page->previous = last;
    if (last)
      last->next = page;
    else
      pages.first = page;
    last = page;
  }
  pages.current = pages.first;
}

void DeleteHelpPages(HelpPages& pages) {
  for (HelpPage* page = pages.first; page;) {
    HelpPage* next = page->next;
    delete page;
    page = next;
  }
  pages.first = pages.current = nullptr;
}

int PageNumber(const HelpPages& pages) {
  int number = 1;
  for (const HelpPage* page = pages.first; page && page != pages.current; page = page->next) ++number;
  return number;
}

void ShowCurrentPage(HWND dialog, const HelpPages& pages) {
  ::SetDlgItemTextW(dialog, IDC_HELP_TEXT, pages.current->text.c_str());
  const wchar_t* lastPoint = wcsrchr(pages.prefix, L'.');
  const wchar_t* title = lastPoint ? lastPoint + 1 : pages.prefix;
  wchar_t caption[kKeySize];
  swprintf(caption, kKeySize, L"%ls%ls%d", title, UiText(IDS_STEP_CAPTION), PageNumber(pages));
  ::SetWindowTextW(dialog, caption);
  ::ShowWindow(::GetDlgItem(dialog, IDC_HELP_PREVIOUS), pages.current == pages.first ? SW_HIDE : SW_SHOW);
  ::SetDlgItemTextW(dialog, IDC_HELP_NEXT, pages.current->next ? UiText(IDS_NEXT) : UiText(IDS_FINISH));
}

HFONT CreatePageFont(HWND dialog) {
  LOGFONTW font = {};
  HDC screen = ::GetDC(dialog);
  font.lfHeight = -::MulDiv(10, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
  ::ReleaseDC(dialog, screen);
  font.lfCharSet = ANSI_CHARSET;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  wcsncpy(font.lfFaceName, UiText(IDS_FONT_ARIAL), LF_FACESIZE - 1);
  return ::CreateFontIndirectW(&font);
}

HelpPages* PagesOf(HWND dialog) { return reinterpret_cast<HelpPages*>(::GetWindowLongPtrW(dialog, DWLP_USER)); }

void EndWizard(HWND dialog) {
  HelpPages* pages = PagesOf(dialog);
  ::EndDialog(dialog, 1);
  if (pages && pages->font) {
    ::DeleteObject(pages->font);
    pages->font = nullptr;
  }
}

INT_PTR OnHelpInit(HWND dialog, HelpPages* pages) {
  ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(pages));
  pages->font = CreatePageFont(dialog);
  if (pages->font)
    ::SendDlgItemMessageW(dialog, IDC_HELP_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(pages->font), TRUE);
  ShowCurrentPage(dialog, *pages);
  return TRUE;
}

void OnHelpCommand(HWND dialog, WORD id) {
  HelpPages* pages = PagesOf(dialog);
  if (!pages) return;
  if (id == IDC_HELP_PREVIOUS && pages->current->previous) {
    pages->current = pages->current->previous;
    ShowCurrentPage(dialog, *pages);
  } else if (id == IDC_HELP_NEXT) {
    if (pages->current->next) {
      pages->current = pages->current->next;
      ShowCurrentPage(dialog, *pages);
    } else {
      EndWizard(dialog);
    }
  }
  // Every other command, Esc's IDCANCEL included, leaves the wizard open.
}

INT_PTR CALLBACK HelpDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnHelpInit(dialog, reinterpret_cast<HelpPages*>(lParam));
    case WM_COMMAND:
      OnHelpCommand(dialog, LOWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      EndWizard(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void ShowHelpPages(HINSTANCE instance, HWND owner, PropertiesContainer& properties, const wchar_t* prefix) {
  HelpPages pages{&properties, prefix};
  BuildHelpPages(pages);
  // Without a first page there is nothing to show; the wizard does not open.
  if (pages.first)
    ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_HELP), owner, HelpDialogProc, reinterpret_cast<LPARAM>(&pages));
  if (pages.font) ::DeleteObject(pages.font);
  DeleteHelpPages(pages);
}
