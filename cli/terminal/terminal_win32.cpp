#include <windows.h>

#include <atomic>

#include "cli/terminal/line_reader.h"
#include "cli/terminal/terminal.h"
#include "cli/workers/child_process.h"
#include "cli/text.h"

namespace cli {

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetConsoleMode(handle, &mode);
}

// A console takes wide text; a pipe or a file gets the UTF-8 bytes.
void WriteTo(DWORD which, const std::string& text) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || text.empty()) return;
  if (IsConsole(handle)) {
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!::WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
        written == 0)
      return;
    done += written;
  }
}

bool ReadLineFromFile(HANDLE input, char* buffer, size_t capacity) {
  return ReadLineBytes(
      [input](char* c) {
        DWORD n = 0;
        return ::ReadFile(input, c, 1, &n, nullptr) && n == 1;
      },
      buffer, capacity);
}

bool ReadLineFromConsole(HANDLE input, char* buffer, size_t capacity) {
  size_t used = 0;
  bool overflow = false;
  for (;;) {
    wchar_t c;
    DWORD n = 0;
    if (!::ReadConsoleW(input, &c, 1, &n, nullptr) || n == 0) {
      buffer[used] = '\0';
      return false;
    }
    if (c == L'\n') break;
    if (c == L'\r') continue;
    // The PIN is digits; anything outside 7-bit text marks the line as bad
    // rather than being squeezed into a byte.
    if (used + 1 < capacity && c < 0x80)
      buffer[used++] = static_cast<char>(c);
    else
      overflow = true;
    WipeMemory(&c, sizeof c);
  }
  buffer[used] = '\0';
  return !overflow;
}

volatile LONG g_interrupts = 0;
volatile LONG g_hungUp = 0;
std::atomic<int> g_stopAsked{0};
HANDLE g_finished = nullptr;  // set once the program has finished what it must
void (*volatile g_handOver)() = nullptr;

// The system gives a closing console's programs 5 s; the hand-over needs
// a moment of it.
constexpr DWORD kCloseWaitMs = 4000;

BOOL WINAPI NoteInterrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    ::InterlockedIncrement(&g_interrupts);
    g_stopAsked = 1;
    return TRUE;
  }
  // The console window is closing, or the user logs off: the system ends
  // this process when the handler returns (or after 5 s). The workers do
  // not depend on this console; give the program the time there is to
  // finish, and what it could not finish goes to the workers.
  ::InterlockedExchange(&g_hungUp, 1);
  g_stopAsked = 1;
  if (g_finished && ::WaitForSingleObject(g_finished, kCloseWaitMs) == WAIT_OBJECT_0) return TRUE;
  if (g_handOver) g_handOver();
  return TRUE;
}

BOOL WINAPI IgnoreConsoleEvent(DWORD) { return TRUE; }

}  // namespace

bool AskYes(const char* prompt) {
  WriteErr(prompt);
  char answer[16];
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  const bool read = IsConsole(input) ? ReadLineFromConsole(input, answer, sizeof answer)
                                     : ReadLineFromFile(input, answer, sizeof answer);
  const std::string text = read ? answer : "";
  return text == "y" || text == "yes" || text == "Y" || text == "YES" || text == "Yes";
}

void CatchInterrupt() {
  if (!g_finished) g_finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(NoteInterrupt, TRUE);
}

bool Interrupted() { return g_interrupts > 0 || g_hungUp != 0; }
int InterruptCount() { return static_cast<int>(g_interrupts); }
bool HungUp() { return g_hungUp != 0; }
const std::atomic<int>* StopAskedFlag() { return &g_stopAsked; }
void FinishedAfterStop() {
  if (g_finished) ::SetEvent(g_finished);
}
void BeforeEndedUnfinished(void (*handOver)()) { g_handOver = handOver; }

void ShieldWorker() {
  // Workers start without the user's console (see ChildProcess::Start);
  // should one still be attached to a console, its events pass it by.
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  ::SetConsoleCtrlHandler(IgnoreConsoleEvent, TRUE);
}

// A worker's parent asks it to stop through an event (see
// WorkerStopEventName): a watching thread ends the worker unless writing
// has begun. The two are decided under one lock, so a worker either ends
// before its first write or finishes its unit.
namespace {
CRITICAL_SECTION g_writingLock;
bool g_watching = false;
bool g_writing = false;

DWORD WINAPI WatchStopEvent(void* event) {
  ::WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  ::EnterCriticalSection(&g_writingLock);
  if (!g_writing) ::ExitProcess(1);
  ::LeaveCriticalSection(&g_writingLock);
  return 0;
}
}  // namespace

void WatchWorkerStop() {
  HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, WorkerStopEventName(::GetCurrentProcessId()).c_str());
  if (!event) return;  // not a worker
  ::InitializeCriticalSection(&g_writingLock);
  g_watching = true;
  HANDLE thread = ::CreateThread(nullptr, 0, WatchStopEvent, event, 0, nullptr);
  if (thread) ::CloseHandle(thread);
}

void WritingBegins() {
  if (!g_watching) return;
  ::EnterCriticalSection(&g_writingLock);
  g_writing = true;
  ::LeaveCriticalSection(&g_writingLock);
}

void WipeMemory(void* data, size_t size) { ::SecureZeroMemory(data, size); }

bool StdoutIsTerminal() { return IsConsole(::GetStdHandle(STD_OUTPUT_HANDLE)); }
bool StdinIsTerminal() { return IsConsole(::GetStdHandle(STD_INPUT_HANDLE)); }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns >= 20) return columns;
  }
  return 80;
}

bool EnableCursorControl() {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (!::GetConsoleMode(output, &mode)) return false;
  return ::SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void WriteOut(const std::string& text) { WriteTo(STD_OUTPUT_HANDLE, text); }
void WriteErr(const std::string& text) { WriteTo(STD_ERROR_HANDLE, text); }

bool ReadSecretLine(const char* prompt, char* buffer, size_t capacity) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (!IsConsole(input)) return ReadLineFromFile(input, buffer, capacity);

  WriteErr(prompt);
  DWORD mode = 0;
  ::GetConsoleMode(input, &mode);
  ::SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  const bool ok = ReadLineFromConsole(input, buffer, capacity);
  ::SetConsoleMode(input, mode);
  WriteErr("\n");
  return ok;
}

}  // namespace cli
