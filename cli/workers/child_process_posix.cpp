#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/workers/child_process.h"

extern char** environ;

namespace cli {

namespace {

std::string& WorkerProgram() {
  static std::string program;
  return program;
}

}  // namespace

void SetWorkerProgram(const std::string& path) { WorkerProgram() = path; }

ChildProcess::~ChildProcess() {
  if (output_ >= 0) ::close(output_);
  if (pid_ > 0) Wait();
}

bool ChildProcess::Start(const std::vector<std::string>& arguments, const std::string& input, std::string* error) {
  char own[PATH_MAX];
  const ssize_t length = WorkerProgram().empty() ? ::readlink("/proc/self/exe", own, sizeof own - 1) : 0;
  if (WorkerProgram().empty() && length <= 0) {
    *error = "cannot find this program's own executable";
    return false;
  }
  own[length > 0 ? length : 0] = '\0';
  const char* self = WorkerProgram().empty() ? own : WorkerProgram().c_str();

  int pipeEnds[2];
  // Close-on-exec, so that no other worker inherits this one's pipe and
  // keeps it open past this worker's end.
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  int inputEnds[2];
  if (::pipe2(inputEnds, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, inputEnds[0], STDIN_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  std::vector<char*> argv;
  std::string name = self;
  argv.push_back(&name[0]);
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, self, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeEnds[1]);
  ::close(inputEnds[0]);
  // The input is a line or two: the pipe takes it whole, and a worker that
  // ended early only makes the write fail (SIGPIPE is ignored for it).
  if (failed == 0 && !input.empty()) {
    void (*previous)(int) = ::signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(inputEnds[1], input.data() + done, input.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::signal(SIGPIPE, previous);
  }
  ::close(inputEnds[1]);
  if (failed != 0) {
    ::close(pipeEnds[0]);
    *error = std::string("cannot start a worker process: ") + std::strerror(failed);
    return false;
  }
  pid_ = pid;
  output_ = pipeEnds[0];
  return true;
}

size_t ChildProcess::Read(char* buffer, size_t capacity) {
  if (output_ < 0) return 0;
  for (;;) {
    const ssize_t n = ::read(output_, buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
}

void ChildProcess::Stop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
}

void ChildProcess::Kill() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int ChildProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  pid_ = -1;
  if (done < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace cli
