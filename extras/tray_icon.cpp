// The animated notification-area icon and its thread.

#include "extras/tray_icon.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#ifdef _WIN32
#include <shellapi.h>
#endif

#include "resources/resource.h"

namespace {

#ifdef _WIN32
TrayIconHandle SystemLoadIcon(TrayInstance instance, unsigned resourceId) {
  return ::LoadIconW(instance, MAKEINTRESOURCEW(resourceId));
}
bool SystemNotify(uint32_t operation, const TrayIconRecord* record) {
  // The record is laid out field for field like NOTIFYICONDATAW up to
  // guidItem, and cbSize tells the shell to read no further.
  return ::Shell_NotifyIconW(operation, reinterpret_cast<NOTIFYICONDATAW*>(const_cast<TrayIconRecord*>(record)));
}
void SystemDestroyIcon(TrayIconHandle icon) {
  if (icon) ::DestroyIcon(icon);
}
static_assert(offsetof(TrayIconRecord, hIcon) == offsetof(NOTIFYICONDATAW, hIcon), "record layout");
static_assert(offsetof(TrayIconRecord, guidItem) == offsetof(NOTIFYICONDATAW, guidItem), "record layout");
#else
// No notification area here: the flags and the thread still run, so callers
// behave the same, but nothing is shown.
TrayIconHandle SystemLoadIcon(TrayInstance, unsigned) { return nullptr; }
bool SystemNotify(uint32_t, const TrayIconRecord*) { return false; }
void SystemDestroyIcon(TrayIconHandle) {}
#endif

const TraySystem kDefaultSystem = {SystemLoadIcon, SystemNotify, SystemDestroyIcon};
TraySystem g_system = kDefaultSystem;

constexpr unsigned kFrameIds[4] = {IDI_TRAY_FRAME1, IDI_TRAY_FRAME2, IDI_TRAY_FRAME3, IDI_TRAY_FRAME4};

struct TrayThreadArgument {
  TrayInstance instance;
  platform::WindowRef mainWindow;
};

// Shared between the user-interface thread (flags) and the tray thread
// (frame index); each is read and written whole.
std::atomic<bool> g_animate{false};
std::atomic<bool> g_stop{false};
std::atomic<unsigned> g_frame{1};  // the next frame to show, 1 to 4

TrayIconHandle g_icons[4] = {};
TrayIconRecord g_addRemoveRecord;  // adding and removing the icon
TrayIconRecord g_stepRecord;       // the animation steps
TrayThreadArgument g_pair = {};
platform::Thread g_thread = nullptr;

void FillRecord(TrayIconRecord& record, platform::WindowRef window, TrayIconHandle icon) {
  std::memset(&record, 0, sizeof record);
  record.cbSize = kTrayRecordSize;
  record.hWnd = window;
  record.uID = 0;
  record.uFlags = kTrayFlagIcon;
  record.hIcon = icon;
}

// Shows the current frame and moves on to the next, 4 wrapping to 1.
void AnimationStep(platform::WindowRef window) {
  unsigned frame = g_frame.load();
  FillRecord(g_stepRecord, window, g_icons[frame - 1]);
  g_frame.store(frame == 4 ? 1 : frame + 1);
  g_system.notify(kTrayModify, &g_stepRecord);
}

}  // namespace

void SetTraySystem(const TraySystem* system) {
  g_system = kDefaultSystem;
  if (!system) return;
  if (system->loadIcon) g_system.loadIcon = system->loadIcon;
  if (system->notify) g_system.notify = system->notify;
  if (system->destroyIcon) g_system.destroyIcon = system->destroyIcon;
}

unsigned TQ_THREAD_CALL tray_icon_thread(void* pair) {
  platform::NameThread("tray_icon_thread");
  platform::WindowRef window = static_cast<TrayThreadArgument*>(pair)->mainWindow;
  while (!g_stop.load()) {
    while (g_animate.load()) {
      AnimationStep(window);
      platform::SleepMs(kTrayFrameMs);
      if (g_stop.load()) break;
    }
    // Whatever frame the animation reached, the icon comes to rest on the
    // first one, and the next animation starts there too.
    g_frame.store(1);
    AnimationStep(window);
    g_frame.store(1);
    while (!g_animate.load() && !g_stop.load()) platform::SleepMs(kTrayIdlePollMs);
  }
  for (TrayIconHandle& icon : g_icons) {
    g_system.destroyIcon(icon);
    icon = nullptr;
  }
  return 0;
}

bool TrayIconStart(TrayInstance instance, platform::WindowRef mainWindow) {
  for (int i = 0; i < 4; ++i) g_icons[i] = g_system.loadIcon(instance, kFrameIds[i]);
  FillRecord(g_addRemoveRecord, mainWindow, g_icons[0]);
  g_system.notify(kTrayAdd, &g_addRemoveRecord);
  g_frame.store(1);
  g_animate.store(false);
  g_stop.store(false);
  g_pair = {instance, mainWindow};
  g_thread = platform::StartThread(tray_icon_thread, &g_pair);
  if (!g_thread) {
    // Without the thread the icon stands still on frame 1; the icons are
    // released here, since no thread will do it.
    for (TrayIconHandle& icon : g_icons) {
      g_system.destroyIcon(icon);
      icon = nullptr;
    }
  }
  return true;
}

bool TrayIconStop(TrayInstance, platform::WindowRef mainWindow) {
  g_stop.store(true);
  if (g_thread) {
    platform::WaitThread(g_thread);
    platform::CloseThread(g_thread);
    g_thread = nullptr;
  }
  g_animate.store(false);
  FillRecord(g_addRemoveRecord, mainWindow, nullptr);
  g_system.notify(kTrayDelete, &g_addRemoveRecord);
  return true;
}

bool TrayAnimationOn() {
  g_animate.store(true);
  return true;
}

bool TrayAnimationOff() {
  g_animate.store(false);
  return true;
}
