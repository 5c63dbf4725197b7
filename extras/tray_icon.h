// The notification-area icon, animated while a long operation runs.
//
// The animation logic is the same everywhere; only the three system calls
// (load an icon, hand a record to the notification area, destroy an icon)
// differ, and they go through TraySystem so the frame sequence can be
// recorded. On Linux, which has no notification area, the defaults do
// nothing.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#ifdef _WIN32
using TrayInstance = HINSTANCE;
using TrayIconHandle = HICON;
#else
using TrayInstance = void*;
using TrayIconHandle = void*;
#endif

// The notification record in its 952-byte form: every field up to and
// including guidItem, as the shell of Windows Vista and later reads it.
// Texts are UTF-16 code units whatever the platform's wchar_t.
struct TrayIconRecord {
  uint32_t cbSize;
  platform::WindowRef hWnd;
  uint32_t uID;
  uint32_t uFlags;
  uint32_t uCallbackMessage;
  TrayIconHandle hIcon;
  uint16_t szTip[128];
  uint32_t dwState;
  uint32_t dwStateMask;
  uint16_t szInfo[256];
  uint32_t uTimeoutOrVersion;
  uint16_t szInfoTitle[64];
  uint32_t dwInfoFlags;
  struct {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
  } guidItem;
};
// 952 bytes, as the 32-bit program hands it over. Only the 64-bit Windows
// test build gives its own width (968 bytes, as the system's record is there).
#ifdef _WIN64
constexpr uint32_t kTrayRecordSize = sizeof(TrayIconRecord);
#else
constexpr uint32_t kTrayRecordSize = 952;
#endif
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(TrayIconRecord) == kTrayRecordSize, "the shell reads exactly these 952 bytes");
#endif

// Shell_NotifyIconW's operations and the one flag the record uses.
constexpr uint32_t kTrayAdd = 0;       // NIM_ADD
constexpr uint32_t kTrayModify = 1;    // NIM_MODIFY
constexpr uint32_t kTrayDelete = 2;    // NIM_DELETE
constexpr uint32_t kTrayFlagIcon = 2;  // NIF_ICON

struct TraySystem {
  TrayIconHandle (*loadIcon)(TrayInstance instance, unsigned resourceId);
  bool (*notify)(uint32_t operation, const TrayIconRecord* record);
  void (*destroyIcon)(TrayIconHandle icon);
};
// Replaces the system calls (null restores the defaults). Only while no
// tray thread runs.
void SetTraySystem(const TraySystem* system);

bool TrayIconStart(TrayInstance instance, platform::WindowRef mainWindow);
bool TrayIconStop(TrayInstance instance, platform::WindowRef mainWindow);
bool TrayAnimationOn();
bool TrayAnimationOff();

// The animation thread that TrayIconStart starts; `pair` points to the
// module instance and the main window it was given.
unsigned TQ_THREAD_CALL tray_icon_thread(void* pair);

// How long each frame shows while animating, and how often a still icon
// looks at the animation flag.
constexpr uint32_t kTrayFrameMs = 150;
constexpr uint32_t kTrayIdlePollMs = 250;
