// The thin layer that stands between the portable core and the system.
//
// On Windows each operation is the Win32 call the program has always used; on
// Linux it is the POSIX equivalent, so the same protocol, update and discovery
// code runs in the window, on a terminal and in the native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#endif

#ifndef _WIN32
// The Win32 values, so that callers pass the same flags on both platforms.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
#endif

namespace platform {

// ---------------------------------------------------------------- time ----

// Milliseconds since an arbitrary start; wraps modulo 2^32 like GetTickCount.
uint32_t TickCount();
void SleepMs(uint32_t ms);
// Give the processor to another thread (used by loops that would otherwise spin).
void YieldThread();

// For as long as one lives, the calling thread's short waits keep close to
// the time asked for: on Windows the system timer runs at 1 ms instead of
// its usual 15.6 ms, on Linux the thread's timer slack drops from 50 us to
// 1 us. An update watches the line for windows of a millisecond or less
// before every frame, and a coarse timer would stretch each one.
class FineTimer {
 public:
  FineTimer();
  ~FineTimer();
  FineTimer(const FineTimer&) = delete;
  FineTimer& operator=(const FineTimer&) = delete;

 private:
  unsigned long previous_ = 0;
};

// ------------------------------------------------------------- threads ----

// Thread routines use the calling convention that _beginthreadex expects.
#ifdef _WIN32
#define TQ_THREAD_CALL __stdcall
#else
#define TQ_THREAD_CALL
#endif
using ThreadRoutine = unsigned(TQ_THREAD_CALL*)(void* argument);
struct ThreadObject;
using Thread = ThreadObject*;  // null: no thread

// Starts the routine at once on a new thread with the default stack.
// Returns null when the thread cannot be created.
Thread StartThread(ThreadRoutine routine, void* argument);
// Waits, without a time limit, until the thread has ended.
void WaitThread(Thread thread);
// Releases the handle; the thread itself is not affected.
void CloseThread(Thread thread);
// Names the calling thread for debuggers. Has no other effect.
void NameThread(const char* name);
// Raises the thread's priority to the highest normal level.
void RaiseThreadPriority(Thread thread);

enum class WaitResult { Signalled, TimedOut, Failed };

// Auto-reset event: a successful wait resets it.
struct EventObject;
using Event = EventObject*;
Event CreateAutoResetEvent();  // not signalled
void SignalEvent(Event event);
void ClearEvent(Event event);
WaitResult WaitForEvent(Event event, uint32_t timeoutMs);
void CloseEvent(Event event);

// The mutex that guards a work queue; taken with a timed wait so that the
// waiter can look at a stop flag between attempts.
struct MutexObject;
using Mutex = MutexObject*;
Mutex CreateQueueMutex();  // not owned
WaitResult LockQueueMutex(Mutex mutex, uint32_t timeoutMs);
void UnlockQueueMutex(Mutex mutex);
void CloseQueueMutex(Mutex mutex);

// ----------------------------------------------------- window messages ----

#ifdef _WIN32
using WindowRef = HWND;
using MessageWParam = WPARAM;
using MessageLParam = LPARAM;
using MessageResult = LRESULT;
#else
using MessageWParam = uintptr_t;
using MessageLParam = intptr_t;
using MessageResult = intptr_t;

// Stands in for a window on Linux: tests record what arrives, the terminal
// tool renders it. Post may be called from any thread and must not block
// for long; Send is called on the sender's thread and returns the result.
class MessageReceiver {
 public:
  virtual ~MessageReceiver() = default;
  virtual void Post(uint32_t message, MessageWParam wParam, MessageLParam lParam) = 0;
  virtual MessageResult Send(uint32_t message, MessageWParam wParam, MessageLParam lParam) = 0;
};
using WindowRef = MessageReceiver*;
#endif

// Queues the message for the window and returns at once (PostMessageW).
bool PostWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam);
// Delivers the message and waits until the window has handled it (SendMessageW).
MessageResult SendWindowMessage(WindowRef window, uint32_t message, MessageWParam wParam, MessageLParam lParam);

// -------------------------------------------------------- message boxes ----

#ifndef _WIN32
// Replaceable on Linux: tests record the boxes, the terminal tool prints them.
// The default handler writes the caption and text to standard error and
// answers IDOK.
using MessageBoxHandler = int (*)(WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                                  void* context);
void SetMessageBoxHandler(MessageBoxHandler handler, void* context);
#endif

// MessageBoxW on Windows; the installed handler on Linux. Returns the button id.
int ShowMessageBox(WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type);

// ---------------------------------------------------- module resources ----

// Finds a resource of the program's own module by name and type and gives
// its bytes, which stay valid for the life of the process.
bool FindModuleResource(const wchar_t* name, const wchar_t* type, const uint8_t** data, uint32_t* size);

// Loads string-table text `id` into the buffer (LoadStringW conventions:
// cut to capacity - 1 units and terminated). Returns the units copied.
int LoadUiString(unsigned id, wchar_t* buffer, int capacity);

#ifndef _WIN32
// The table that the build generates on Linux from the files the .rc names.
struct ResourceEntry {
  const wchar_t* name;
  const wchar_t* type;
  const uint8_t* data;
  uint32_t size;
};
struct StringEntry {
  unsigned id;
  const wchar_t* text;
};
struct ResourceTable {
  const ResourceEntry* resources;
  size_t resourceCount;
  const StringEntry* strings;
  size_t stringCount;
};
// The generated table of this program.
const ResourceTable& BuiltInResources();
// Replaces the table that lookups use (null restores the built-in one), so a
// test can run start-up against another package.
void SetResourceTable(const ResourceTable* table);
#endif

}  // namespace platform

namespace platform {

// Fills `format`'s one "%s" with `value` the way wsprintfW does ("%%" gives
// "%"), writing at most capacity - 1 units and a terminator whatever the
// lengths. Returns the units written. wsprintfW itself has no bound, and the
// wide printf family reads "%s" differently on the two platforms.
size_t FormatWithString(wchar_t* out, size_t capacity, const wchar_t* format, const wchar_t* value);

}  // namespace platform

namespace platform {

// ------------------------------------------------- interface addresses ----

// One IPv4 address of the computer and its mask, both in network byte order
// (a row of GetIpAddrTable).
struct InterfaceAddress {
  uint32_t address;
  uint32_t mask;
};

// Reads the computer's IPv4 address table afresh, the loopback row
// 127.0.0.1/255.0.0.0 included as Windows reports it. False when the system
// has no table to give (the size query does not answer
// ERROR_INSUFFICIENT_BUFFER); the rows are then empty.
bool ReadInterfaceTable(std::vector<InterfaceAddress>& rows);

// Makes ReadInterfaceTable answer with a copy of `rows` instead of the
// system's table, or fail when `available` is false; null rows with
// `available` true restore the system's table.
void SetInterfaceTableForTesting(const std::vector<InterfaceAddress>* rows, bool available = true);

}  // namespace platform
