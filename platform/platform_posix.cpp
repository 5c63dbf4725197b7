// Linux side of the platform layer.
#include <pthread.h>
#include <sys/prctl.h>
#include <sched.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "platform/platform.h"

namespace platform {

uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0) {
  }
}

void YieldThread() { sched_yield(); }

FineTimer::FineTimer() {
  const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  previous_ = slack > 0 ? static_cast<unsigned long>(slack) : 0;
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
}

// 0 gives the thread its default slack back.
FineTimer::~FineTimer() { prctl(PR_SET_TIMERSLACK, previous_, 0, 0, 0); }

// ------------------------------------------------------------- threads ----

struct ThreadObject {
  pthread_t id;
  bool joinable;
};

namespace {
// Handed to the new thread on its own, so that closing the handle early
// never pulls the routine out from under a thread that has not started yet.
struct ThreadStart {
  ThreadRoutine routine;
  void* argument;
};

void* ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.routine(start.argument);
  return nullptr;
}
}  // namespace

Thread StartThread(ThreadRoutine routine, void* argument) {
  auto* start = new ThreadStart{routine, argument};
  auto* t = new ThreadObject{pthread_t{}, true};
  if (pthread_create(&t->id, nullptr, ThreadTrampoline, start) != 0) {
    delete start;
    delete t;
    return nullptr;
  }
  return t;
}

void WaitThread(Thread thread) {
  if (!thread) return;
  // Joining twice is undefined for pthreads; Win32 allows any number of
  // waits on an ended thread, so remember that the join happened.
  if (thread->joinable) {
    pthread_join(thread->id, nullptr);
    thread->joinable = false;
  }
}

void CloseThread(Thread thread) {
  if (!thread) return;
  if (thread->joinable) pthread_detach(thread->id);
  delete thread;
}

void NameThread(const char* name) {
  char shortName[16];
  std::snprintf(shortName, sizeof shortName, "%s", name);
  pthread_setname_np(pthread_self(), shortName);
}

void RaiseThreadPriority(Thread) {
  // Ordinary users may not raise priorities on Linux; nothing here needs it.
}

// -------------------------------------------------------------- events ----

struct EventObject {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
};

Event CreateAutoResetEvent() { return new EventObject; }

void SignalEvent(Event event) {
  {
    std::lock_guard<std::mutex> guard(event->lock);
    event->signalled = true;
  }
  event->changed.notify_one();
}

void ClearEvent(Event event) {
  std::lock_guard<std::mutex> guard(event->lock);
  event->signalled = false;
}

WaitResult WaitForEvent(Event event, uint32_t timeoutMs) {
  if (!event) return WaitResult::Failed;
  std::unique_lock<std::mutex> guard(event->lock);
  if (!event->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return event->signalled; }))
    return WaitResult::TimedOut;
  event->signalled = false;
  return WaitResult::Signalled;
}

void CloseEvent(Event event) { delete event; }

// --------------------------------------------------------------- mutex ----

struct MutexObject {
  std::timed_mutex lock;
};

Mutex CreateQueueMutex() { return new MutexObject; }

WaitResult LockQueueMutex(Mutex mutex, uint32_t timeoutMs) {
  if (!mutex) return WaitResult::Failed;
  return mutex->lock.try_lock_for(std::chrono::milliseconds(timeoutMs)) ? WaitResult::Signalled : WaitResult::TimedOut;
}

void UnlockQueueMutex(Mutex mutex) { mutex->lock.unlock(); }

void CloseQueueMutex(Mutex mutex) { delete mutex; }

// ----------------------------------------------------- window messages ----

bool PostWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam) {
  if (!window) return false;
  window->Post(message, wParam, lParam);
  return true;
}

MessageResult SendWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam) {
  if (!window) return 0;
  return window->Send(message, wParam, lParam);
}

// -------------------------------------------------------- message boxes ----

static int DefaultMessageBox(WindowRef, const wchar_t* text, const wchar_t* caption, unsigned, void*) {
  std::fprintf(stderr, "[%ls] %ls\n", caption ? caption : L"", text ? text : L"");
  return IDOK;
}

static MessageBoxHandler g_messageBoxHandler = DefaultMessageBox;
static void* g_messageBoxContext = nullptr;

void SetMessageBoxHandler(MessageBoxHandler handler, void* context) {
  g_messageBoxHandler = handler ? handler : DefaultMessageBox;
  g_messageBoxContext = handler ? context : nullptr;
}

int ShowMessageBox(WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type) {
  return g_messageBoxHandler(owner, text, caption, type, g_messageBoxContext);
}

// ---------------------------------------------------- module resources ----

static const ResourceTable* g_resourceTable = nullptr;

static const ResourceTable& CurrentTable() { return g_resourceTable ? *g_resourceTable : BuiltInResources(); }

void SetResourceTable(const ResourceTable* table) { g_resourceTable = table; }

bool FindModuleResource(const wchar_t* name, const wchar_t* type, const uint8_t** data, uint32_t* size) {
  const ResourceTable& table = CurrentTable();
  for (size_t i = 0; i < table.resourceCount; ++i) {
    const ResourceEntry& e = table.resources[i];
    // Resource names and types compare without regard to case on Windows.
    if (wcscasecmp(e.name, name) == 0 && wcscasecmp(e.type, type) == 0) {
      if (data) *data = e.data;
      if (size) *size = e.size;
      return true;
    }
  }
  return false;
}

int LoadUiString(unsigned id, wchar_t* buffer, int capacity) {
  if (!buffer || capacity <= 0) return 0;
  buffer[0] = 0;
  const ResourceTable& table = CurrentTable();
  for (size_t i = 0; i < table.stringCount; ++i) {
    if (table.strings[i].id == id) {
      int n = 0;
      for (const wchar_t* p = table.strings[i].text; *p && n < capacity - 1; ++p) buffer[n++] = *p;
      buffer[n] = 0;
      return n;
    }
  }
  return 0;
}

}  // namespace platform

// -------------------------------------------------- interface addresses ----

#include <ifaddrs.h>
#include <netinet/in.h>

namespace platform {

namespace {
std::mutex g_interfaceTableLock;
bool g_interfaceTableReplaced = false;
bool g_interfaceTableAvailable = true;
std::vector<InterfaceAddress> g_interfaceTableRows;
}  // namespace

bool ReadInterfaceTable(std::vector<InterfaceAddress>& rows) {
  rows.clear();
  {
    std::lock_guard<std::mutex> guard(g_interfaceTableLock);
    if (g_interfaceTableReplaced) {
      if (g_interfaceTableAvailable) rows = g_interfaceTableRows;
      return g_interfaceTableAvailable;
    }
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  // One row per IPv4 address, whatever state its interface is in: the
  // Windows table lists the addresses of every adapter the same way.
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    InterfaceAddress row{};
    row.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET)
      row.mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
    rows.push_back(row);
  }
  freeifaddrs(list);
  return true;
}

void SetInterfaceTableForTesting(const std::vector<InterfaceAddress>* rows, bool available) {
  std::lock_guard<std::mutex> guard(g_interfaceTableLock);
  g_interfaceTableReplaced = rows != nullptr || !available;
  g_interfaceTableAvailable = available;
  g_interfaceTableRows = rows != nullptr ? *rows : std::vector<InterfaceAddress>();
}

}  // namespace platform
