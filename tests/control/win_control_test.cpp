// The text commands and the version query of the Windows build (run under
// Wine by the Wine tests) against a native simulated unit that runs its
// application: its bootloader on UDP, its text port on TCP and, when a COM
// port is given, its serial line.
//
//   win_control_test.exe UDP_PORT TCP_PORT [COM_PORT]    e.g.  6234 4999 \\.\COM5
//
// The unit must start in its application with PIN 1234, bootloader 3.1,
// application version 1.8 and, on the serial line, its text interface at
// 19200 bit/s. Prints "N passed, N failed" and exits 0 when nothing failed.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "control/text_commands.h"
#include "control/version_queries.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"

namespace {

int passed = 0, failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what);
  }
}

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// ------------------------------------------------------ version queries ----

struct Posted {
  UINT message;
  WPARAM wParam;
  uint32_t lParam;
  bool operator==(const Posted& other) const {
    return message == other.message && wParam == other.wParam && lParam == other.lParam;
  }
};

std::vector<Posted> g_posted;

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= UWM_UNIT_IN_BOOTLOADER && message <= UWM_ENABLE_EXIT_BOOTLOAD) {
    g_posted.push_back({message, wParam, static_cast<uint32_t>(lParam)});
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeRecorder() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = RecorderProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TQ_CONTROL_RECORDER";
  RegisterClassW(&windowClass);
  return CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                         nullptr);
}

void Print(const std::vector<Posted>& messages) {
  for (const Posted& m : messages)
    std::printf("  WM_APP+%u w=%u l=0x%08X\n", m.message - WM_APP, static_cast<unsigned>(m.wParam), m.lParam);
}

// Submits a query for the link and pumps messages until the worker is done
// with it (or 30 s have passed).
std::vector<Posted> Query(HWND recorder, Transport* link) {
  g_posted.clear();
  SubmitVersionQuery(new WorkerRequest{recorder, link});
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 30000 && (g_posted.empty() || g_posted.back().message != UWM_QUERY_DONE)) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  return g_posted;
}

Posted P(UINT message, WPARAM wParam = 0, uint32_t lParam = 0) { return {message, wParam, lParam}; }

std::vector<Posted> NotInBootloaderThen(int enter, int exit) {
  return {P(UWM_ENABLE_EXIT_BOOTLOAD, 0),
          P(UWM_UNIT_NOT_IN_BOOTLOADER),
          P(UWM_APPLICATION_VERSION, 0, 0xFFFFFFFF),
          P(UWM_ENABLE_ENTER_BOOTLOAD, 0),
          P(UWM_ENABLE_EXIT_BOOTLOAD, 0),
          P(UWM_ENABLE_ENTER_BOOTLOAD, enter),
          P(UWM_ENABLE_EXIT_BOOTLOAD, exit),
          P(UWM_QUERY_DONE)};
}

const std::vector<Posted> kInBootloader = {
    P(UWM_ENABLE_EXIT_BOOTLOAD, 0), P(UWM_UNIT_IN_BOOTLOADER, 0x0301),         P(UWM_ENABLE_ENTER_BOOTLOAD, 0),
    P(UWM_ENABLE_EXIT_BOOTLOAD, 1), P(UWM_APPLICATION_VERSION, 0, 0x00010008), P(UWM_QUERY_DONE)};

void CheckQuery(HWND recorder, Transport* link, const std::vector<Posted>& expected, const char* what) {
  const std::vector<Posted> got = Query(recorder, link);
  Check(got == expected, what);
  if (got != expected) Print(got);
}

// ------------------------------------------------------- the PIN dialog ----

// A message box shown while the dialog runs: its text, read and answered
// by a watcher as a user would.
std::mutex g_boxLock;
std::vector<std::wstring> g_boxes;
std::atomic<bool> g_watching{false};

void WatchForBoxes() {
  while (g_watching) {
    if (HWND box = FindWindowW(L"#32770", L"Bootload Mode")) {
      wchar_t text[200] = {};
      GetDlgItemTextW(box, 0xFFFF, text, 200);
      {
        std::lock_guard<std::mutex> lock(g_boxLock);
        g_boxes.push_back(text);
      }
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      while (g_watching && IsWindow(box)) Sleep(20);
    }
    Sleep(20);
  }
}

struct PinJob {
  Transport* link;
  const wchar_t* pin;
  EnterBootloadResult result;
};

constexpr UINT kRunEnterBootload = WM_APP + 100;
constexpr INT_PTR kStillOpen = 99;

// The dialog presses OK for the user as soon as it is up; when the unit did
// not answer, EnterBootload leaves it open and we close it ourselves.
INT_PTR CALLBACK PinProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      PostMessageW(dialog, kRunEnterBootload, 0, 0);
      return TRUE;
    case kRunEnterBootload: {
      auto* job = reinterpret_cast<PinJob*>(GetWindowLongPtrW(dialog, DWLP_USER));
      Check(EnterBootload(dialog, job->link, job->pin, &job->result) == 1, "EnterBootload returns 1");
      if (job->result == kEnterBootloadNoAnswer) EndDialog(dialog, kStillOpen);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

INT_PTR RunPinDialog(PinJob* job) {
  struct alignas(4) Template {
    DLGTEMPLATE dialog;
    WORD menu, windowClass;
    wchar_t title[4];
  } pinTemplate{};
  pinTemplate.dialog.style = WS_POPUP | WS_CAPTION | DS_MODALFRAME;
  pinTemplate.dialog.cx = 120;
  pinTemplate.dialog.cy = 40;
  wcscpy(pinTemplate.title, L"PIN");
  {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_boxes.clear();
  }
  g_watching = true;
  std::thread watcher(WatchForBoxes);
  const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &pinTemplate.dialog, nullptr, PinProc,
                                                 reinterpret_cast<LPARAM>(job));
  g_watching = false;
  watcher.join();
  return result;
}

std::vector<std::wstring> Boxes() {
  std::lock_guard<std::mutex> lock(g_boxLock);
  return g_boxes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: win_control_test UDP_PORT TCP_PORT [COM_PORT]\n");
    return 2;
  }
  const uint16_t udpPort = static_cast<uint16_t>(std::atoi(argv[1]));
  appState.parserPort = static_cast<uint32_t>(std::atoi(argv[2]));
  std::wstring comPort;
  if (argc > 3) comPort.assign(argv[3], argv[3] + std::strlen(argv[3]));

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  LoadUiStrings(GetModuleHandleW(nullptr));
  const HWND recorder = MakeRecorder();
  Check(recorder != nullptr, "recording window made");
  StartVersionQueries();

  // The unit runs its application: its bootloader is silent, its text
  // interface reports bootload mode off.
  if (!comPort.empty())
    CheckQuery(recorder, new COMTransport(comPort.c_str(), 115200), NotInBootloaderThen(1, 0),
               "serial query of the application: probe answers, letter d");
  CheckQuery(recorder, new EthernetTransport(Loopback(), udpPort), NotInBootloaderThen(1, 0),
             "network query of the application: text port answers, letter d");

  // Enter bootload mode over the text port: the dialog ends with 1 and the
  // user is told.
  EthernetTransport unitLink(Loopback(), udpPort);
  PinJob job{&unitLink, L"1234", kEnterBootloadNoAnswer};
  Check(RunPinDialog(&job) == kEnterBootloadEntered, "PIN dialog ended with 1");
  Check(job.result == kEnterBootloadEntered, "bootload mode entered");
  const std::vector<std::wstring> shown = Boxes();
  Check(shown.size() == 1 && shown[0] == L"Bootload Mode Enabled.", "\"Bootload Mode Enabled.\" shown");
  Check(unitLink.IsOpen() == 0, "the dialog's link was never opened");

  // Now its bootloader answers, on both lines.
  CheckQuery(recorder, new EthernetTransport(Loopback(), udpPort), kInBootloader, "network query of the bootloader");
  if (!comPort.empty())
    CheckQuery(recorder, new COMTransport(comPort.c_str(), 115200), kInBootloader, "serial query of the bootloader");

  // A unit in its bootloader has no text port: the dialog stays open and
  // nothing is shown.
  PinJob again{&unitLink, L"1234", kEnterBootloadEntered};
  Check(RunPinDialog(&again) == kStillOpen, "PIN dialog left open");
  Check(again.result == kEnterBootloadNoAnswer, "no answer reported");
  Check(Boxes().empty(), "no message box");

  StopVersionQueries();
  DestroyWindow(recorder);
  WSACleanup();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
