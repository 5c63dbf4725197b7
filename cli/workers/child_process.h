// A copy of this program started as a worker process, with its standard
// output on a pipe to us. Parallel updates run one per unit, because the
// update worker keeps its session and state in process-wide globals.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

// The program every worker runs: this program's own executable unless
// another is set. The venue window sets the console tool beside it, whose
// workers it shares. UTF-8.
void SetWorkerProgram(const std::string& path);

// The name of the event by which a worker's parent asks it to stop (Windows):
// one per worker, by its process id. A worker that has not begun writing
// to its unit ends when it is set; one that has goes on.
std::wstring WorkerStopEventName(unsigned long processId);

#ifdef _WIN32
// One argument of a command line, quoted the way the runtime's parser reads
// it back (backslashes are literal unless they come before a quote).
std::wstring QuotedArgument(const std::wstring& argument);
#endif

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the worker program with the arguments (argv[0] is
  // added). Its standard input holds `input` and then ends (a secret such
  // as the installer PIN travels this way, never in the arguments); its
  // standard error is ours. It runs in a process group of its own, so that
  // Ctrl-C on the terminal reaches only us, and on Windows without our
  // console, so that closing the console window does not end it.
  bool Start(const std::vector<std::string>& arguments, const std::string& input, std::string* error);
  // Asks the process to end before its time (a worker that has begun
  // writing to a unit goes on); Wait still gives its end.
  void Stop();
  // Ends the process at once, whatever it is doing.
  void Kill();
  // Blocks until some output is there; 0 at the end of the output.
  size_t Read(char* buffer, size_t capacity);
  // Waits for the process to end and gives its exit code (-1 if unknown).
  int Wait();

 private:
#ifdef _WIN32
  void* process_ = nullptr;    // HANDLE
  void* output_ = nullptr;     // HANDLE, read end of the pipe
  void* stopEvent_ = nullptr;  // HANDLE, see WorkerStopEventName
#else
  int pid_ = -1;
  int output_ = -1;
#endif
};

}  // namespace cli
