// tq_console_event: the installer's console window and what it sends to
// the programs in it, for the Wine tests of the command-line updater.
//
//   tq_console_event start OUT ERR PIDFILE PROGRAM [ARGS...]
//       starts PROGRAM in a console of its own (as a console window the
//       installer opened), its standard output into the file OUT, its
//       standard error into ERR and its standard input empty; writes its
//       process id into PIDFILE, waits for its end and exits with its code
//   tq_console_event attached PID
//       prints the ids of the processes attached to PID's console, one a line
//   tq_console_event break PID
//       Ctrl-Break in PID's console
//   tq_console_event close-event PID
//       what Windows does when PID's console window is closed: every process
//       attached to it gets CTRL_CLOSE_EVENT and is ended once its handler
//       returns, or after 5 s
//   tq_console_event close-window PID
//       closes PID's console window the way its close box does, and waits
//       up to 60 s for PID to end
//
// Each command prints what it did and how the event was delivered. Exit
// code 0, or 3 when the event could not be delivered at all (2: bad usage).
//
// Windows delivers a console's control events by starting a thread in each
// process attached to it at the system's CtrlRoutine, with the event as its
// parameter; that routine calls the process's handlers. Where the console
// itself cannot send an event (GenerateConsoleCtrlEvent refusing
// Ctrl-Break), this program starts that thread itself.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/workers/child_process.h"

namespace {

constexpr DWORD kCloseHandlerLimitMs = 5000;  // what Windows gives a close handler

int Usage() {
  std::fwprintf(stderr,
                L"usage: tq_console_event start OUT ERR PIDFILE PROGRAM [ARGS...]\n"
                L"       tq_console_event attached|break|close-event|close-window PID\n");
  return 2;
}

void Say(const std::wstring& text) {
  std::fwprintf(stdout, L"%ls\n", text.c_str());
  std::fflush(stdout);
}

HANDLE OpenForChild(const wchar_t* path, bool write) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return ::CreateFileW(path, write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whole or not at all: the test script may look at the file at any time.
bool WritePidFile(const std::wstring& path, DWORD pid) {
  const std::wstring temporary = path + L".tmp";
  HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string text = std::to_string(pid) + "\n";
  DWORD written = 0;
  const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size();
  ::CloseHandle(file);
  return ok && ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int Start(int argc, wchar_t** argv) {
  if (argc < 6) return Usage();
  HANDLE out = OpenForChild(argv[2], true), err = OpenForChild(argv[3], true), in = OpenForChild(L"NUL", false);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
    Say(L"start: cannot open the output files");
    return 3;
  }
  std::wstring commandLine;
  for (int i = 5; i < argc; ++i) commandLine += (i > 5 ? L" " : L"") + cli::QuotedArgument(argv[i]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                        &startup, &info)) {
    Say(L"start: cannot start the program (error " + std::to_wstring(::GetLastError()) + L")");
    return 3;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(out);
  ::CloseHandle(err);
  ::CloseHandle(in);
  if (!WritePidFile(argv[4], info.dwProcessId)) Say(L"start: cannot write the process id");
  ::WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  Say(L"start: the program ended with exit code " + std::to_wstring(code));
  return static_cast<int>(code);
}

// Attaches this process to `pid`'s console, instead of any it had.
bool AttachTo(DWORD pid) {
  ::FreeConsole();
  if (::AttachConsole(pid)) return true;
  Say(L"cannot attach to the console of process " + std::to_wstring(pid) + L" (error " +
      std::to_wstring(::GetLastError()) + L")");
  return false;
}

// The other processes attached to the console this one is attached to.
std::vector<DWORD> ConsoleProcesses() {
  std::vector<DWORD> ids(64);
  const DWORD count = ::GetConsoleProcessList(ids.data(), static_cast<DWORD>(ids.size()));
  ids.resize(count <= ids.size() ? count : 0);
  std::vector<DWORD> others;
  for (DWORD id : ids)
    if (id != ::GetCurrentProcessId()) others.push_back(id);
  return others;
}

std::wstring List(const std::vector<DWORD>& ids) {
  std::wstring text;
  for (DWORD id : ids) text += (text.empty() ? L"" : L" ") + std::to_wstring(id);
  return text;
}

// The processes of `pid`'s console; `pid` alone when the console cannot
// list them.
std::vector<DWORD> Receivers(DWORD pid) {
  std::vector<DWORD> ids = ConsoleProcesses();
  if (ids.empty()) {
    Say(L"GetConsoleProcessList gave nothing (error " + std::to_wstring(::GetLastError()) + L"); only process " +
        std::to_wstring(pid) + L" gets the event");
    ids.push_back(pid);
  }
  return ids;
}

// Starts a thread at CtrlRoutine in `process` with `event`, as the console
// host does. The thread, or null.
HANDLE DeliverAsTheConsoleDoes(HANDLE process, DWORD event) {
  FARPROC routine = nullptr;
  for (const wchar_t* module : {L"kernelbase.dll", L"kernel32.dll"}) {
    HMODULE loaded = ::GetModuleHandleW(module);
    if (loaded && (routine = ::GetProcAddress(loaded, "CtrlRoutine")) != nullptr) break;
  }
  if (!routine) return nullptr;
  // The system's modules lie at the same address in every process.
  return ::CreateRemoteThread(process, nullptr, 0,
                              reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
                              reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr);
}

HANDLE OpenProcessFor(DWORD pid) {
  return ::OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION | PROCESS_VM_READ |
                           PROCESS_VM_WRITE | PROCESS_TERMINATE | SYNCHRONIZE,
                       FALSE, pid);
}

BOOL WINAPI Unmoved(DWORD) { return TRUE; }  // this program is on the console too

int Break(DWORD pid) {
  if (!AttachTo(pid)) return 3;
  const std::vector<DWORD> receivers = Receivers(pid);
  ::SetConsoleCtrlHandler(Unmoved, TRUE);
  if (::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
    Say(L"break: GenerateConsoleCtrlEvent sent CTRL_BREAK_EVENT to the console's processes: " + List(receivers));
    return 0;
  }
  Say(L"break: GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) failed with error " + std::to_wstring(::GetLastError()) +
      L"; delivering it as the console does, by a thread at CtrlRoutine in each of " + List(receivers));
  int status = 0;
  for (DWORD id : receivers) {
    HANDLE process = OpenProcessFor(id);
    HANDLE thread = process ? DeliverAsTheConsoleDoes(process, CTRL_BREAK_EVENT) : nullptr;
    if (!thread) {
      Say(L"break: cannot deliver to process " + std::to_wstring(id) + L" (error " + std::to_wstring(::GetLastError()) +
          L")");
      status = 3;
    } else {
      ::WaitForSingleObject(thread, INFINITE);
      ::CloseHandle(thread);
    }
    if (process) ::CloseHandle(process);
  }
  return status;
}

int CloseEvent(DWORD pid) {
  if (!AttachTo(pid)) return 3;
  const std::vector<DWORD> receivers = Receivers(pid);
  ::FreeConsole();
  Say(L"close-event: CTRL_CLOSE_EVENT by a thread at CtrlRoutine in each of " + List(receivers) +
      L"; each is ended when its handler returns, or after 5 s");
  int status = 0;
  for (DWORD id : receivers) {
    HANDLE process = OpenProcessFor(id);
    HANDLE thread = process ? DeliverAsTheConsoleDoes(process, CTRL_CLOSE_EVENT) : nullptr;
    if (!thread) {
      Say(L"close-event: cannot deliver to process " + std::to_wstring(id) + L" (error " +
          std::to_wstring(::GetLastError()) + L")");
      status = 3;
    } else {
      const DWORD begun = ::GetTickCount();
      const bool returned = ::WaitForSingleObject(thread, kCloseHandlerLimitMs) == WAIT_OBJECT_0;
      const DWORD took = ::GetTickCount() - begun;
      ::TerminateProcess(process, STATUS_CONTROL_C_EXIT);
      ::WaitForSingleObject(process, INFINITE);
      Say(L"close-event: process " + std::to_wstring(id) +
          (returned ? L"'s handler returned after " + std::to_wstring(took) + L" ms; the process was ended then"
                    : std::wstring(L"'s handler still ran after 5 s; the process was ended")));
      ::CloseHandle(thread);
    }
    if (process) ::CloseHandle(process);
  }
  return status;
}

int CloseWindow(DWORD pid) {
  if (!AttachTo(pid)) return 3;
  HWND window = ::GetConsoleWindow();
  ::FreeConsole();
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!window || !process) {
    Say(L"close-window: process " + std::to_wstring(pid) + L" has no console window to close");
    return 3;
  }
  const DWORD begun = ::GetTickCount();
  ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  const bool ended = ::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
  Say(L"close-window: process " + std::to_wstring(pid) +
      (ended ? L" ended " + std::to_wstring(::GetTickCount() - begun) + L" ms after its console window was closed"
             : std::wstring(L" still runs 60 s after its console window was closed")));
  ::CloseHandle(process);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring command = argv[1];
  if (command == L"start") return Start(argc, argv);
  if (argc != 3) return Usage();
  wchar_t* end = nullptr;
  const DWORD pid = std::wcstoul(argv[2], &end, 10);
  if (!end || *end || pid == 0) return Usage();
  if (command == L"attached") {
    if (!AttachTo(pid)) return 3;
    for (DWORD id : ConsoleProcesses()) Say(std::to_wstring(id));
    return 0;
  }
  if (command == L"break") return Break(pid);
  if (command == L"close-event") return CloseEvent(pid);
  if (command == L"close-window") return CloseWindow(pid);
  return Usage();
}
