#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/terminal/line_reader.h"
#include "cli/terminal/terminal.h"

namespace cli {

namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed pipe: nobody is reading any more
    done += static_cast<size_t>(n);
  }
}

// The terminal settings to put back if the user breaks off at the prompt.
termios g_savedTerminal;
volatile sig_atomic_t g_echoOff = 0;

volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_hungUp = 0;
// Lock-free, so the signal handler may set it.
std::atomic<int> g_stopAsked{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

void NoteInterrupt(int signal) {
  if (signal == SIGHUP)
    g_hungUp = 1;
  else if (g_interrupts < 1000)
    g_interrupts = g_interrupts + 1;
  g_stopAsked = 1;
}

void Ignore(int signal) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(signal, &ignore, nullptr);
}

void RestoreEchoAndRaise(int signal) {
  if (g_echoOff) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

bool ReadLine(int fd, char* buffer, size_t capacity) {
  return ReadLineBytes(
      [fd](char* c) {
        for (;;) {
          const ssize_t n = ::read(fd, c, 1);
          if (n < 0 && errno == EINTR) continue;
          return n == 1;
        }
      },
      buffer, capacity);
}

}  // namespace

void WipeMemory(void* data, size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *bytes++ = 0;
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

int TerminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

bool EnableCursorControl() {
  const char* term = ::getenv("TERM");
  return term && std::strcmp(term, "dumb") != 0;
}

void WriteOut(const std::string& text) { WriteAll(STDOUT_FILENO, text); }
void WriteErr(const std::string& text) { WriteAll(STDERR_FILENO, text); }

bool AskYes(const char* prompt) {
  WriteErr(prompt);
  char answer[16];
  const bool read = ReadLine(STDIN_FILENO, answer, sizeof answer);
  return read && (std::strcmp(answer, "y") == 0 || std::strcmp(answer, "yes") == 0 || std::strcmp(answer, "Y") == 0 ||
                  std::strcmp(answer, "YES") == 0 || std::strcmp(answer, "Yes") == 0);
}

void CatchInterrupt() {
  // Every press is counted, none takes the usual course: the workers this
  // process waits for may be writing to units, and what becomes of them is
  // decided by the count.
  struct sigaction note {};
  note.sa_handler = NoteInterrupt;
  note.sa_flags = SA_RESTART;
  sigemptyset(&note.sa_mask);
  sigaction(SIGINT, &note, nullptr);
  sigaction(SIGTERM, &note, nullptr);
  sigaction(SIGHUP, &note, nullptr);
  // A closed pipe (say a `tee` that Ctrl-C ended) makes writes fail instead.
  Ignore(SIGPIPE);
}

bool Interrupted() { return g_interrupts > 0 || g_hungUp != 0; }
int InterruptCount() { return g_interrupts; }
bool HungUp() { return g_hungUp != 0; }
const std::atomic<int>* StopAskedFlag() { return &g_stopAsked; }
void FinishedAfterStop() {}
void BeforeEndedUnfinished(void (*)()) {}

void ShieldWorker() {
  // The worker runs in a process group of its own, so the terminal's
  // Ctrl-C does not reach it anyway; whatever else sends these must not cut
  // a unit off mid-frame either.
  Ignore(SIGINT);
  Ignore(SIGHUP);
  Ignore(SIGPIPE);
}

void WatchWorkerStop() {}  // SIGTERM asks, until WritingBegins

void WritingBegins() { Ignore(SIGTERM); }

bool ReadSecretLine(const char* prompt, char* buffer, size_t capacity) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  if (!StdinIsTerminal()) return ReadLine(STDIN_FILENO, buffer, capacity);

  WriteErr(prompt);
  if (tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return false;
  termios quiet = g_savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the line end still shows, so the next output starts on a new line
  struct sigaction restore {
  }, oldInt{}, oldTerm{}, oldQuit{};
  restore.sa_handler = RestoreEchoAndRaise;
  sigemptyset(&restore.sa_mask);
  sigaction(SIGINT, &restore, &oldInt);
  sigaction(SIGTERM, &restore, &oldTerm);
  sigaction(SIGQUIT, &restore, &oldQuit);
  g_echoOff = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  const bool ok = ReadLine(STDIN_FILENO, buffer, capacity);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
  g_echoOff = 0;
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGQUIT, &oldQuit, nullptr);
  return ok;
}

}  // namespace cli
