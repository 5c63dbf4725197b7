// Starting and stopping the discovery worker that the Discover dialog runs.
#include "discovery/discovery_workers.h"

std::atomic<int> discoveryStopFlag{0};

namespace {
platform::Thread g_discoveryThread = nullptr;
}  // namespace

bool StartDiscovery(platform::WindowRef window, int mode) {
  // A worker that is still running is stopped and waited for first: two
  // workers at once would fight over the ports, and the older one could
  // still post to a window that is gone once nobody waits for it.
  if (g_discoveryThread != nullptr) StopDiscovery();
  discoveryStopFlag = 0;
  g_discoveryThread = platform::StartThread(mode != 0 ? ip_discover_thread : com_discover_thread, window);
  return true;
}

void StopDiscovery() {
  discoveryStopFlag = 1;
  if (g_discoveryThread == nullptr) return;
  platform::WaitThread(g_discoveryThread);
  platform::CloseThread(g_discoveryThread);
  g_discoveryThread = nullptr;
}
