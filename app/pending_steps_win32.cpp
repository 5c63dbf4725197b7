// Start-up steps whose parts are not built yet: each keeps its place in the
// sequence and does nothing for now.
#include "app/dialogs.h"
#include "app/startup_steps.h"

unsigned TQ_THREAD_CALL splash_screen_thread(void*) {
  platform::NameThread("splash_screen_thread");
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

void EnsureFirewallRule(HWND) {}
bool TrayIconStart(HINSTANCE, HWND) { return true; }
bool TrayIconStop(HINSTANCE, HWND) { return true; }
bool TrayAnimationOn() { return true; }
bool TrayAnimationOff() { return true; }

INT_PTR RunDiscoverDialog(HINSTANCE, HWND, int) { return IDCANCEL; }
void RunVersionDialog(HINSTANCE, HWND) {}
int RunAboutBox(HINSTANCE, HWND) { return 1; }
