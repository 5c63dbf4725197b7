// tq35b: the firmware updater for the terminal.
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "platform/platform.h"

#ifdef _WIN32

int wmain(int argc, wchar_t** argv) {
  cli::WatchWorkerStop();
  WSADATA sockets;
  ::WSAStartup(MAKEWORD(2, 2), &sockets);  // a failure shows where a socket is needed
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(cli::Utf8(argv[i]));
  const int code = cli::RunCommandLine(arguments);
  ::WSACleanup();
  return code;
}

#else

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return cli::RunCommandLine(arguments);
}

#endif
