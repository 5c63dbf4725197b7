// Runs one full update of the built-in package with the Windows build's own
// worker, links and window messages, against a unit given on the command
// line, and prints what the window was told:
//
//   win_update_test.exe udp PORT        (the unit on 127.0.0.1:PORT)
//   win_update_test.exe com \\.\COMn    (the unit on a COM port, 115200 bit/s)
//
//   status Progress: Initializing
//   ...
//   range 266288
//   positions 6324 last 266288
//   outcome UWM_UPDATE_SUCCEEDED
//
// Exit code 0 when the update succeeded, 1 when it did not, 2 on bad usage.
#include <winsock2.h>
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "boot/bootload_thread.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"

namespace {

struct Seen {
  unsigned long range = 0;
  unsigned positions = 0;
  unsigned long lastPosition = 0;
  bool positionsRise = true;
  UINT outcome = 0;
} seen;

const char* OutcomeName(UINT message) {
  switch (message) {
    case UWM_UPDATE_SUCCEEDED:
      return "UWM_UPDATE_SUCCEEDED";
    case UWM_UPDATE_FAILED:
      return "UWM_UPDATE_FAILED";
    case UWM_NO_RESPONSE:
      return "UWM_NO_RESPONSE";
    case UWM_WRONG_RESPONSE:
      return "UWM_WRONG_RESPONSE";
    default:
      return "(none)";
  }
}

LRESULT CALLBACK ReportWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case UWM_SET_STATUS:
      std::printf("status %ls\n", StatusTextOf(lParam));
      ReleaseStatusText(lParam);
      return 0;
    case UWM_PROGRESS_RANGE:
      seen.range = static_cast<unsigned long>(lParam);
      std::printf("range %lu\n", seen.range);
      return 0;
    case UWM_PROGRESS_POSITION:
      if (static_cast<unsigned long>(wParam) <= seen.lastPosition) seen.positionsRise = false;
      seen.lastPosition = static_cast<unsigned long>(wParam);
      ++seen.positions;
      return 0;
    case UWM_UPDATE_SUCCEEDED:
    case UWM_UPDATE_FAILED:
    case UWM_NO_RESPONSE:
    case UWM_WRONG_RESPONSE:
      seen.outcome = message;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

Transport* LinkFrom(int argc, char** argv) {
  if (argc != 3) return nullptr;
  if (std::strcmp(argv[1], "udp") == 0) {
    const int port = std::atoi(argv[2]);
    if (port <= 0 || port > 65535) return nullptr;
    return new EthernetTransport(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port));
  }
  if (std::strcmp(argv[1], "com") == 0) {
    wchar_t name[COMTransport::kNameSize] = {};
    std::mbstowcs(name, argv[2], COMTransport::kNameSize - 1);
    return new COMTransport(name, 115200);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  Transport* link = LinkFrom(argc, argv);
  if (!link) {
    std::fprintf(stderr, "usage: win_update_test.exe udp PORT | com \\\\.\\COMn\n");
    return 2;
  }
  WSADATA sockets;
  WSAStartup(MAKEWORD(2, 2), &sockets);
  LoadUiStrings(GetModuleHandleW(nullptr));
  unitProperties.LoadFromResource(L"UNIT");
  applicationImage.LoadFromResource(L"P32_APPLICATION");
  flashImage.LoadFromResource(L"P32_FLASH");
  appState.writeApplication = appState.writeFlash = appState.writeFactoryDefaults = true;

  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ReportWindow;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TqUpdateReports";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  if (!window) {
    std::printf("cannot create the report window\n");
    return 2;
  }

  appState.workerRequest.window = window;
  appState.workerRequest.link = link;
  platform::Thread worker = platform::StartThread(bootload_thread, &appState.workerRequest);
  if (!worker) {
    std::printf("cannot start the worker\n");
    return 2;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  platform::WaitThread(worker);
  platform::CloseThread(worker);

  std::printf("positions %u last %lu%s\n", seen.positions, seen.lastPosition,
              seen.positionsRise ? "" : " (not rising)");
  std::printf("outcome %s\n", OutcomeName(seen.outcome));
  std::fflush(stdout);
  const bool ok = seen.outcome == UWM_UPDATE_SUCCEEDED && seen.positionsRise && seen.range != 0 &&
                  seen.lastPosition == seen.range;
  return ok ? 0 : 1;
}
