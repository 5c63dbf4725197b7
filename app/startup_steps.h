// The pieces that start-up and shutdown call in other parts of the program.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
// The splash screen runs on a thread of its own with its own message loop.
struct SplashScreen {
  HANDLE thread;
  DWORD threadId;
};
SplashScreen StartSplashScreen(HINSTANCE instance);
void StopSplashScreen(SplashScreen& splash);
unsigned TQ_THREAD_CALL splash_screen_thread(void* instance);

void EnsureFirewallRule(HWND owner);
bool TrayIconStart(HINSTANCE instance, HWND mainWindow);
bool TrayIconStop(HINSTANCE instance, HWND mainWindow);
bool TrayAnimationOn();
bool TrayAnimationOff();
#endif

void StartVersionQueries();
void StopVersionQueries();
