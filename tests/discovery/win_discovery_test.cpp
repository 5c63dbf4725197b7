// Runs the network worker for a few seconds and prints every unit it
// reports, one line per address and flags, sorted:
//
//   win_discovery_test.exe [SECONDS]      (and the same program natively)
//
//   unit 10.77.0.20 flags 0x0001
//   ...
//   reports 12
//
// Built for Windows (run under Wine inside a private network namespace) and
// natively, so that the two outputs can be compared line for line. It
// broadcasts: start it only inside such a namespace.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

#include "app/app_state.h"
#include "app/messages.h"
#include "discovery/discovery_workers.h"
#include "package/properties_container.h"
#include "platform/platform.h"

namespace {

using Seen = std::map<std::pair<uint32_t, uint32_t>, int>;  // (address, flags) -> reports

std::string Dotted(uint32_t address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

void Record(Seen& seen, int& total, uint32_t message, uint32_t wParam, uint32_t lParam) {
  if (message != UWM_NETWORK_UNIT_FOUND) return;
  ++seen[{lParam, wParam}];
  ++total;
}

#ifdef _WIN32

void Collect(unsigned seconds, Seen& seen, int& total) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TqDiscoveryReports";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  if (window == nullptr) {
    std::printf("cannot create the report window\n");
    std::exit(2);
  }
  StartDiscovery(window, 1);
  const DWORD end = GetTickCount() + seconds * 1000;
  while (static_cast<int>(end - GetTickCount()) > 0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
      Record(seen, total, message.message, static_cast<uint32_t>(message.wParam),
             static_cast<uint32_t>(message.lParam));
  }
  StopDiscovery();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
    Record(seen, total, message.message, static_cast<uint32_t>(message.wParam), static_cast<uint32_t>(message.lParam));
  DestroyWindow(window);
}

#else

class Receiver : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    std::lock_guard<std::mutex> guard(mutex);
    Record(seen, total, message, static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
  }
  platform::MessageResult Send(uint32_t, platform::MessageWParam, platform::MessageLParam) override { return 0; }
  std::mutex mutex;
  Seen seen;
  int total = 0;
};

void Collect(unsigned seconds, Seen& seen, int& total) {
  Receiver receiver;
  StartDiscovery(&receiver, 1);
  platform::SleepMs(seconds * 1000);
  StopDiscovery();
  seen = receiver.seen;
  total = receiver.total;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  const unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 6;
#ifdef _WIN32
  WSADATA sockets;
  WSAStartup(MAKEWORD(2, 2), &sockets);
  void* instance = GetModuleHandleW(nullptr);
#else
  void* instance = nullptr;
#endif
  std::setlocale(LC_ALL, "");
  LoadUiStrings(instance);
  unitProperties.LoadFromResource(L"UNIT");

  Seen seen;
  int total = 0;
  Collect(seconds, seen, total);
  // Sorted by the dotted text, so both builds print the same order.
  std::map<std::string, int> lines;
  for (const auto& entry : seen) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%04x", static_cast<unsigned>(entry.first.second));
    lines["unit " + Dotted(entry.first.first) + " flags " + flags] += entry.second;
  }
  for (const auto& line : lines) std::printf("%s\n", line.first.c_str());
  std::printf("reports %d\n", total);
  std::fflush(stdout);
  return 0;
}
