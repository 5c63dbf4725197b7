// Start-up, the message loop and shutdown of the windowed program.

#include <clocale>

#include "platform/platform.h"
// After windows.h, which the platform header brings in.
#include <commctrl.h>
#include "app/app_state.h"
#include "app/main_window.h"
#include "app/startup_steps.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "resources/resource.h"

bool RegisterMainWindowClass(HINSTANCE instance) {
  appState.instance = instance;
  WNDCLASSW windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;  // a dialog-based window class needs these
  windowClass.hInstance = instance;
  windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_PROGRAM));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = UiText(IDS_WINDOW_CLASS);
  return ::RegisterClassW(&windowClass) != 0;
}

static void InitControlClasses() {
  // The address field and the progress bar are common controls; ask for
  // their classes by name, which also works where a bare InitCommonControls
  // registers only the oldest set.
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES};
  ::InitCommonControlsEx(&classes);
}

static int RunMessageLoop(HWND mainWindow, HACCEL accelerators) {
  MSG message;
  // GetMessageW gives -1 on an error; that ends the loop too rather than
  // spinning on a message that is not there.
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Alt+? and Alt+/ must reach the main window whichever of its controls
    // has the focus, so the accelerators are translated for the main window
    // itself rather than for the control that received the key.
    HWND target = message.hwnd == mainWindow || ::IsChild(mainWindow, message.hwnd) ? mainWindow : message.hwnd;
    if (::TranslateAcceleratorW(target, accelerators, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

int main_application(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  WSADATA sockets;
  ::WSAStartup(MAKEWORD(2, 2), &sockets);  // a failure shows later, where a socket is needed
  appState.workerRequest = {};
  std::setlocale(LC_ALL, "");
  LoadUiStrings(instance);
  updaterProperties.LoadFromResource(L"UPDATER");
  unitProperties.LoadFromResource(L"UNIT");

  if (!CheckPackage(instance)) {
    ::MessageBoxW(nullptr, updaterProperties.Get(L"error-message.NoHexFile"), UiText(IDS_ERROR), MB_ICONERROR);
    return 1;
  }

  InitControlClasses();
  SplashScreen splash = StartSplashScreen(instance);
  if (appState.packageHasApplication) applicationImage.LoadFromResource(L"P32_APPLICATION");
  if (appState.packageHasFlash) flashImage.LoadFromResource(L"P32_FLASH");
  EnumerateComPorts();
  ::Sleep(500);

  if (!RegisterMainWindowClass(instance)) {
    StopSplashScreen(splash);
    return 0;
  }
  HWND mainWindow = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                                         reinterpret_cast<DLGPROC>(reinterpret_cast<void*>(MainWindowProc)), 0);
  if (!mainWindow) {
    // Without its window the program has nothing to run: say so and end,
    // rather than entering a loop that nothing can stop.
    StopSplashScreen(splash);
    ::MessageBoxW(nullptr, UiText(IDS_WINDOW_CREATE_FAILED), UiText(IDS_ERROR), MB_ICONERROR);
    return 2;
  }
  // The query worker runs before the user can see the window: an address
  // typed while the firewall rule and the tray icon are still being set up
  // would otherwise find no worker, and its query would be dropped with the
  // window left at "Searching..." and its unit commands disabled.
  StartVersionQueries();
  ::ShowWindow(mainWindow, SW_SHOWNORMAL);
  StopSplashScreen(splash);
  ::UpdateWindow(mainWindow);
  HACCEL accelerators = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
  EnsureFirewallRule(mainWindow);
  TrayIconStart(instance, mainWindow);

  int quitCode = RunMessageLoop(mainWindow, accelerators);

  TrayIconStop(instance, mainWindow);
  StopVersionQueries();
  if (appState.workerThread) {
    // The user closed the window during an update or exit-bootload run, and
    // such a worker is not waited for: it may be anywhere in a frame, with a
    // resend seconds away. But it still works with the shared session, its
    // link and the images, and returning from here would destroy them under
    // it. Ending the process here stops the worker before anything else
    // runs, and the global objects are never torn down while it uses them.
    // The unit stays in bootload mode, and the next update completes it.
    ::ExitProcess(static_cast<UINT>(quitCode));
  }
  ::WSACleanup();
  return quitCode;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  return main_application(instance, previous, commandLine, show);
}
