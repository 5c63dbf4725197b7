// The messages by which workers report to the window that asked for the
// work, and the helpers that format the status line and drive the progress
// bar. Numbers and parameters are the same on Windows and Linux.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kWmApp = 0x8000;

enum WorkerMessage : uint32_t {
  UWM_NETWORK_UNIT_FOUND = kWmApp + 0,
  UWM_SERIAL_UNIT_FOUND = kWmApp + 1,
  UWM_UPDATE_SUCCEEDED = kWmApp + 2,
  UWM_UPDATE_FAILED = kWmApp + 3,
  UWM_SET_STATUS = kWmApp + 4,
  UWM_WRONG_RESPONSE = kWmApp + 5,
  UWM_NO_RESPONSE = kWmApp + 6,
  UWM_BOOTLOAD_EXITED = kWmApp + 7,
  UWM_UNIT_IN_BOOTLOADER = kWmApp + 9,
  UWM_UNIT_NOT_IN_BOOTLOADER = kWmApp + 10,
  UWM_APPLICATION_VERSION = kWmApp + 11,
  UWM_QUERY_DONE = kWmApp + 12,
  UWM_ENABLE_ENTER_BOOTLOAD = kWmApp + 13,
  UWM_ENABLE_EXIT_BOOTLOAD = kWmApp + 14,
  UWM_PROGRESS_RANGE = kWmApp + 15,
  UWM_PROGRESS_POSITION = kWmApp + 16,
};

// Discovery report flags (wParam of UWM_NETWORK_UNIT_FOUND).
constexpr uint32_t kUnitInBootload = 0x0001;
constexpr uint32_t kUnitOtherSubnet = 0x4000;
constexpr uint32_t kUnitLinkLocal = 0x8000;
