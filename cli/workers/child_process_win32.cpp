#include <windows.h>

#include "cli/workers/child_process.h"
#include "cli/text.h"

namespace cli {

std::wstring QuotedArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

namespace {

std::wstring& WorkerProgram() {
  static std::wstring program;
  return program;
}

}  // namespace

void SetWorkerProgram(const std::string& path) { WorkerProgram() = Wide(path); }

std::wstring WorkerStopEventName(unsigned long processId) {
  return L"Local\\tq35b-worker-stop-" + std::to_wstring(processId);
}

ChildProcess::~ChildProcess() {
  if (output_) ::CloseHandle(output_);
  if (stopEvent_) ::CloseHandle(stopEvent_);
  if (process_) {
    Wait();
  }
}

bool ChildProcess::Start(const std::vector<std::string>& arguments, const std::string& input, std::string* error) {
  wchar_t own[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (WorkerProgram().empty() && (length == 0 || length >= MAX_PATH)) {
    *error = "cannot find this program's own executable";
    return false;
  }
  const wchar_t* self = WorkerProgram().empty() ? own : WorkerProgram().c_str();
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    *error = "cannot make a pipe";
    return false;
  }
  // Only the write end goes to the child.
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE inputRead = nullptr, inputWrite = nullptr;
  if (!::CreatePipe(&inputRead, &inputWrite, &inheritable, 0)) {
    ::CloseHandle(readEnd);
    ::CloseHandle(writeEnd);
    *error = "cannot make a pipe";
    return false;
  }
  ::SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = QuotedArgument(self);
  for (const std::string& argument : arguments) commandLine += L" " + QuotedArgument(Wide(argument));

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = writeEnd;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  // A process group of its own, and a console of its own without a window:
  // neither Ctrl-C or Ctrl-Break in the user's console nor closing that
  // console's window reaches it, so a unit it writes is always finished.
  // Started held, so that its stop event exists before its first step.
  const BOOL started = ::CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                                        nullptr, &startup, &info);
  // The parent's copies go at once, so that the pipe ends when the child does
  // and no later child inherits them.
  ::CloseHandle(writeEnd);
  ::CloseHandle(inputRead);
  // The input is a line or two, which the pipe takes whole.
  if (started && !input.empty()) {
    DWORD written = 0;
    ::WriteFile(inputWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }
  ::CloseHandle(inputWrite);
  if (!started) {
    ::CloseHandle(readEnd);
    *error = "cannot start a worker process (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, WorkerStopEventName(info.dwProcessId).c_str());
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  process_ = info.hProcess;
  output_ = readEnd;
  return true;
}

size_t ChildProcess::Read(char* buffer, size_t capacity) {
  if (!output_) return 0;
  DWORD n = 0;
  if (!::ReadFile(static_cast<HANDLE>(output_), buffer, static_cast<DWORD>(capacity), &n, nullptr)) return 0;
  return n;
}

// The worker decides: ended at once unless it has begun to write, which
// only it knows for certain (its parent learns it a line later).
void ChildProcess::Stop() {
  if (stopEvent_)
    ::SetEvent(static_cast<HANDLE>(stopEvent_));
  else
    Kill();
}

void ChildProcess::Kill() {
  if (process_) ::TerminateProcess(static_cast<HANDLE>(process_), 1);
}

int ChildProcess::Wait() {
  if (!process_) return -1;
  HANDLE process = static_cast<HANDLE>(process_);
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  const BOOL known = ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  process_ = nullptr;
  return known ? static_cast<int>(code) : -1;
}

}  // namespace cli
