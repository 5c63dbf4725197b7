// The splash screen: a picture on a window of its own thread, shown while
// start-up loads the package and ended by a quit message to the thread.

#include "app/startup_steps.h"
#include "resources/resource.h"

namespace {

INT_PTR CALLBACK SplashProc(HWND, UINT message, WPARAM, LPARAM) {
  // The window takes no input; everything but its creation is left to the
  // default handling.
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace

unsigned TQ_THREAD_CALL splash_screen_thread(void* instance) {
  platform::NameThread("splash_screen_thread");
  HWND splash = ::CreateDialogParamW(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEW(IDD_SPLASH), nullptr,
                                     SplashProc, 0);
  if (splash) {
    ::ShowWindow(splash, SW_SHOWNORMAL);
    ::UpdateWindow(splash);
  }
  // Runs even without a window, so that the quit message that start-up
  // posts is always taken.
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  if (splash) {
    ::ShowWindow(splash, SW_HIDE);
    ::DestroyWindow(splash);
  }
  return 0;
}
