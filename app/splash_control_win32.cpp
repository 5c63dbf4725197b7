#include <process.h>

#include "app/startup_steps.h"

SplashScreen StartSplashScreen(HINSTANCE instance) {
  SplashScreen splash = {};
  unsigned id = 0;
  splash.thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, splash_screen_thread, instance, 0, &id));
  splash.threadId = id;
  if (splash.thread) ::SetThreadPriority(splash.thread, THREAD_PRIORITY_HIGHEST);
  return splash;
}

void StopSplashScreen(SplashScreen& splash) {
  if (!splash.thread) return;
  // A thread has no message queue until its first message call, and a quit
  // message posted before then is lost; keep posting until it is taken or
  // the thread has ended, so the wait below cannot hang.
  while (!::PostThreadMessageW(splash.threadId, WM_QUIT, 0, 0)) {
    if (::WaitForSingleObject(splash.thread, 10) == WAIT_OBJECT_0) break;
  }
  ::WaitForSingleObject(splash.thread, INFINITE);
  ::CloseHandle(splash.thread);
  splash = {};
}
