// Windows side of the platform layer: each operation is the Win32 call.
#include <process.h>

#include "platform/platform.h"

// After windows.h, which the platform header brings in.
#include <mmsystem.h>

namespace platform {

uint32_t TickCount() { return ::GetTickCount(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

void YieldThread() { ::SwitchToThread(); }

FineTimer::FineTimer() { previous_ = ::timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0; }

FineTimer::~FineTimer() {
  if (previous_ != 0) ::timeEndPeriod(1);
}

// ------------------------------------------------------------- threads ----

Thread StartThread(ThreadRoutine routine, void* argument) {
  uintptr_t handle = _beginthreadex(nullptr, 0, routine, argument, 0, nullptr);
  return reinterpret_cast<Thread>(handle);
}

void WaitThread(Thread thread) {
  if (thread) ::WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
}

void CloseThread(Thread thread) {
  if (thread) ::CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void NameThread(const char* name) {
  // SetThreadDescription exists only from Windows 10 on; look it up so the
  // program still starts on older systems and on Wine builds without it.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static SetDescription setDescription = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (!setDescription) return;
  wchar_t wide[64];
  int i = 0;
  for (; name[i] && i < 63; ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
  wide[i] = 0;
  setDescription(::GetCurrentThread(), wide);
}

void RaiseThreadPriority(Thread thread) {
  if (thread) ::SetThreadPriority(reinterpret_cast<HANDLE>(thread), THREAD_PRIORITY_HIGHEST);
}

static WaitResult ToWaitResult(DWORD r) {
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return WaitResult::Signalled;
  if (r == WAIT_TIMEOUT) return WaitResult::TimedOut;
  return WaitResult::Failed;
}

// -------------------------------------------------------------- events ----

Event CreateAutoResetEvent() { return reinterpret_cast<Event>(::CreateEventW(nullptr, FALSE, FALSE, nullptr)); }
void SignalEvent(Event event) { ::SetEvent(reinterpret_cast<HANDLE>(event)); }
void ClearEvent(Event event) { ::ResetEvent(reinterpret_cast<HANDLE>(event)); }
WaitResult WaitForEvent(Event event, uint32_t timeoutMs) {
  return ToWaitResult(::WaitForSingleObject(reinterpret_cast<HANDLE>(event), timeoutMs));
}
void CloseEvent(Event event) {
  if (event) ::CloseHandle(reinterpret_cast<HANDLE>(event));
}

// --------------------------------------------------------------- mutex ----

Mutex CreateQueueMutex() { return reinterpret_cast<Mutex>(::CreateMutexW(nullptr, FALSE, nullptr)); }
WaitResult LockQueueMutex(Mutex mutex, uint32_t timeoutMs) {
  return ToWaitResult(::WaitForSingleObject(reinterpret_cast<HANDLE>(mutex), timeoutMs));
}
void UnlockQueueMutex(Mutex mutex) { ::ReleaseMutex(reinterpret_cast<HANDLE>(mutex)); }
void CloseQueueMutex(Mutex mutex) {
  if (mutex) ::CloseHandle(reinterpret_cast<HANDLE>(mutex));
}

// ----------------------------------------------------- window messages ----

bool PostWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam) {
  return ::PostMessageW(window, message, wParam, lParam) != FALSE;
}

MessageResult SendWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam) {
  return ::SendMessageW(window, message, wParam, lParam);
}

int ShowMessageBox(WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type) {
  return ::MessageBoxW(owner, text, caption, type);
}

// ---------------------------------------------------- module resources ----

bool FindModuleResource(const wchar_t* name, const wchar_t* type, const uint8_t** data, uint32_t* size) {
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, name, type);
  if (!found) return false;
  DWORD bytes = ::SizeofResource(module, found);
  HGLOBAL loaded = ::LoadResource(module, found);
  if (!loaded) return false;
  const void* locked = ::LockResource(loaded);
  if (!locked) return false;
  if (data) *data = static_cast<const uint8_t*>(locked);
  if (size) *size = bytes;
  return true;
}

int LoadUiString(unsigned id, wchar_t* buffer, int capacity) {
  if (!buffer || capacity <= 0) return 0;
  buffer[0] = 0;
  return ::LoadStringW(::GetModuleHandleW(nullptr), id, buffer, capacity);
}

}  // namespace platform

// -------------------------------------------------- interface addresses ----

#include <iphlpapi.h>

#include <mutex>

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
  ULONG size = 0;
  if (::GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return false;
  // Zero-filled, so that a second call that fails (the table grew in
  // between) leaves a table of no rows rather than garbage.
  std::vector<unsigned char> block(size < sizeof(MIB_IPADDRTABLE) ? sizeof(MIB_IPADDRTABLE) : size, 0);
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(block.data());
  ::GetIpAddrTable(table, &size, FALSE);
  // Never trust the count beyond the rows the block can hold.
  const size_t header = offsetof(MIB_IPADDRTABLE, table);
  const size_t room = block.size() > header ? (block.size() - header) / sizeof(MIB_IPADDRROW) : 0;
  const size_t count = table->dwNumEntries < room ? table->dwNumEntries : room;
  for (size_t i = 0; i < count; ++i) rows.push_back({table->table[i].dwAddr, table->table[i].dwMask});
  return true;
}

void SetInterfaceTableForTesting(const std::vector<InterfaceAddress>* rows, bool available) {
  std::lock_guard<std::mutex> guard(g_interfaceTableLock);
  g_interfaceTableReplaced = rows != nullptr || !available;
  g_interfaceTableAvailable = available;
  g_interfaceTableRows = rows != nullptr ? *rows : std::vector<InterfaceAddress>();
}

}  // namespace platform
