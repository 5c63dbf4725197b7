// help_pages_check.exe: the help wizard with page series the package does
// not carry, run in this process against the program's own dialog template:
//   - no first page (the key is missing, or its value is empty): the wizard
//     does not open, and ShowHelpPages returns at once;
//   - pages 1, 2 and 4: two pages, since the gap ends the series;
//   - an empty value for page 2: one page.
// A watcher thread plays the user: it finds the wizard's window by its
// caption, reads its buttons and presses them. Prints "N passed, M failed".
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  (ok ? g_passed : g_failed)++;
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = {};
  ::SendMessageW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
  return text;
}

// The wizard of this process with that caption, within the time given.
HWND FindWizard(const wchar_t* caption, DWORD waitMs) {
  DWORD start = ::GetTickCount();
  do {
    HWND window = ::FindWindowW(L"#32770", caption);
    if (window && ::IsWindowVisible(window)) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(window, &pid);
      if (pid == ::GetCurrentProcessId()) return window;
    }
    ::Sleep(50);
  } while (::GetTickCount() - start < waitMs);
  return nullptr;
}

struct Watch {
  const wchar_t* firstCaption;
  int pages;  // pages the user expects to step through; 0: no wizard at all
  std::atomic<bool> done{false};
  bool sawWizard = false;
  int pagesSeen = 0;
  bool buttonsRight = true;
};

// Steps through the pages with Next >> and ends the wizard with Finish. A
// wizard that should not be there is closed, so that the check goes on.
DWORD WINAPI WatchWizard(void* argument) {
  auto* watch = static_cast<Watch*>(argument);
  HWND wizard = FindWizard(watch->firstCaption, watch->pages ? 10000 : 2000);
  if (!wizard) {
    watch->done = true;
    return 0;
  }
  watch->sawWizard = true;
  if (watch->pages == 0) {
    ::PostMessageW(wizard, WM_CLOSE, 0, 0);
    watch->done = true;
    return 0;
  }
  std::wstring prefix = watch->firstCaption;
  prefix.resize(prefix.size() - 1);  // "Gap: Step " without the page number
  for (int page = 1; page <= watch->pages + 1 && ::IsWindow(wizard); ++page) {
    std::wstring caption = prefix + std::to_wstring(page);
    DWORD start = ::GetTickCount();
    while (TextOf(wizard) != caption && ::GetTickCount() - start < 5000) ::Sleep(20);
    if (TextOf(wizard) != caption) break;
    watch->pagesSeen = page;
    HWND next = ::GetDlgItem(wizard, IDC_HELP_NEXT);
    bool last = page == watch->pages;
    if (TextOf(next) != (last ? L"Finish" : L"Next >>")) watch->buttonsRight = false;
    if (::IsWindowVisible(::GetDlgItem(wizard, IDC_HELP_PREVIOUS)) != (page > 1)) watch->buttonsRight = false;
    ::SendMessageW(next, BM_CLICK, 0, 0);
  }
  if (::IsWindow(wizard)) ::PostMessageW(wizard, WM_CLOSE, 0, 0);
  watch->done = true;
  return 0;
}

// Runs the wizard on this thread while the watcher plays the user.
void RunCase(const char* name, PropertiesContainer& properties, const wchar_t* prefix, const wchar_t* firstCaption,
             int pages) {
  Watch watch;
  watch.firstCaption = firstCaption;
  watch.pages = pages;
  HANDLE watcher = ::CreateThread(nullptr, 0, WatchWizard, &watch, 0, nullptr);
  // A wizard that opens keeps this call until the watcher has closed it.
  ShowHelpPages(::GetModuleHandleW(nullptr), nullptr, properties, prefix);
  ::WaitForSingleObject(watcher, INFINITE);
  ::CloseHandle(watcher);
  if (pages == 0) {
    Check(!watch.sawWizard, std::string(name) + ": no wizard opens");
  } else {
    Check(watch.sawWizard, std::string(name) + ": the wizard opens");
    Check(watch.pagesSeen == pages, std::string(name) + ": " + std::to_string(watch.pagesSeen) + " pages shown, " +
                                        std::to_string(pages) + " expected");
    Check(watch.buttonsRight, std::string(name) + ": Previous hidden on page 1, Finish on the last page only");
  }
}

}  // namespace

int main() {
  LoadUiStrings(::GetModuleHandleW(nullptr));

  PropertiesContainer properties;
  properties.Add(L"help-message.Gap.1", L"First page");
  properties.Add(L"help-message.Gap.2", L"Second page");
  properties.Add(L"help-message.Gap.4", L"After the gap");
  properties.Add(L"help-message.Empty.1", L"");
  properties.Add(L"help-message.Empty.2", L"Never shown");
  properties.Add(L"help-message.Short.1", L"Only page");
  properties.Add(L"help-message.Short.2", L"");
  properties.Add(L"help-message.Short.3", L"Never shown");

  RunCase("missing first page", properties, L"help-message.None", L"None: Step 1", 0);
  RunCase("empty first page", properties, L"help-message.Empty", L"Empty: Step 1", 0);
  RunCase("pages 1, 2 and 4", properties, L"help-message.Gap", L"Gap: Step 1", 2);
  RunCase("empty second page", properties, L"help-message.Short", L"Short: Step 1", 1);

  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
