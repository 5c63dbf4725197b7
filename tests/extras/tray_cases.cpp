// The tray icon on the system's own notification area: the icons come
// from the program's resources and every step reaches the shell.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

#include "extras/tray_icon.h"
#include "tests/extras/win_check.h"

namespace {

struct Step {
  uint32_t operation;
  HICON icon;
  BOOL result;
};
std::mutex g_mutex;
std::vector<Step> g_steps;
std::vector<HICON> g_loaded;

HICON LoadAndKeep(HINSTANCE instance, unsigned id) {
  HICON icon = ::LoadIconW(instance, MAKEINTRESOURCEW(id));
  g_loaded.push_back(icon);
  return icon;
}

bool NotifyAndKeep(uint32_t operation, const TrayIconRecord* record) {
  BOOL result = ::Shell_NotifyIconW(operation, reinterpret_cast<NOTIFYICONDATAW*>(const_cast<TrayIconRecord*>(record)));
  std::lock_guard<std::mutex> lock(g_mutex);
  g_steps.push_back({operation, record->hIcon, result});
  return result != FALSE;
}

}  // namespace

void RunTrayCases() {
  const char* area = "tray icon";
  // 952 bytes in the 32-bit program; the 64-bit build's record is the
  // system's record of that width.
  Check(kTrayRecordSize == NOTIFYICONDATAW_V3_SIZE && (sizeof(void*) != 4 || kTrayRecordSize == 952), area,
        "the 952-byte record");
  HWND window = ::CreateWindowExW(0, L"STATIC", L"tray owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  TraySystem system = {LoadAndKeep, NotifyAndKeep, nullptr};  // icons destroyed by the system's own call
  SetTraySystem(&system);
  TrayIconStart(::GetModuleHandleW(nullptr), window);
  ::Sleep(400);
  TrayAnimationOn();
  ::Sleep(1200);
  TrayAnimationOff();
  ::Sleep(500);
  TrayIconStop(::GetModuleHandleW(nullptr), window);
  SetTraySystem(nullptr);

  Check(g_loaded.size() == 4 && std::set<HICON>(g_loaded.begin(), g_loaded.end()).size() == 4 &&
            !std::set<HICON>(g_loaded.begin(), g_loaded.end()).count(nullptr),
        area, "four frame icons loaded from the program");
  std::set<HICON> shown;
  int failed = 0;
  for (const Step& step : g_steps) {
    if (step.operation == NIM_MODIFY) shown.insert(step.icon);
    failed += !step.result;
  }
  std::printf("  %u notification calls, %d refused by the shell\n", static_cast<unsigned>(g_steps.size()), failed);
  Check(g_steps.size() >= 4 && g_steps.front().operation == NIM_ADD && g_steps.back().operation == NIM_DELETE, area,
        "added, animated and removed");
  Check(shown.size() == 4, area, "all four frames shown while animating");
  Check(failed == 0, area, "the shell took every call");
  ::DestroyWindow(window);
}
