// tq_worker_stop.exe: a worker of the console tool asked to stop, as the
// runner asks it (ChildProcess::Stop), at a moment the test chooses:
//
//   tq_worker_stop.exe TQ35B.EXE at-once|after-progress WORKER-ARGUMENTS...
//
// at-once: asked before its first step. after-progress: asked once it has
// reported progress, that is while it writes its unit. Prints the worker's
// exit code and the number of progress lines it sent, and exits 0.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/text.h"
#include "cli/workers/child_process.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: tq_worker_stop.exe TQ35B.EXE at-once|after-progress WORKER-ARGUMENTS...\n");
    return 2;
  }
  const std::wstring when = argv[2];
  std::vector<std::string> arguments;
  for (int i = 3; i < argc; ++i) arguments.push_back(cli::Utf8(argv[i]));
  cli::SetWorkerProgram(cli::Utf8(argv[1]));
  cli::ChildProcess worker;
  std::string error;
  if (!worker.Start(arguments, std::string(), &error)) {
    std::fprintf(stderr, "cannot start the worker: %s\n", error.c_str());
    return 1;
  }
  if (when == L"at-once") worker.Stop();
  std::string pending;
  int progress = 0;
  char buffer[4096];
  for (size_t n; (n = worker.Read(buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, n);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      if (pending.substr(0, end).find("\"event\":\"progress\"") == std::string::npos) continue;
      if (++progress == 1 && when == L"after-progress") worker.Stop();
    }
  }
  std::printf("exit %d progress %d\n", worker.Wait(), progress);
  return 0;
}
