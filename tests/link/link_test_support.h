// Far ends for the link tests: a pseudo-terminal whose master side the test
// plays, loopback sockets, and a recorder for message boxes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace linktest {

inline uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A pseudo-terminal pair; the link under test opens the slave by its path.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    // Port names hold 11 characters; give a longer slave a short alias.
    if (path_.size() > 11) {
      char alias[32];
      std::snprintf(alias, sizeof alias, "/tmp/tq%04d", static_cast<int>(getpid() % 10000));
      unlink(alias);
      if (symlink(path_.c_str(), alias) == 0) alias_ = path_ = alias;
    }
  }
  ~PseudoTerminal() {
    CloseMaster();
    if (!alias_.empty()) unlink(alias_.c_str());
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0 && !path_.empty() && path_.size() <= 11; }
  int master() const { return master_; }
  const std::string& path() const { return path_; }
  std::wstring widePath() const { return std::wstring(path_.begin(), path_.end()); }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Collects what the link wrote until `count` bytes came or `quietMs`
  // passed without a byte.
  std::string Receive(size_t count, int quietMs = 1000) {
    std::string got;
    while (got.size() < count) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, quietMs) <= 0) break;
      char chunk[4096];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }
  bool Send(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  bool Settings(termios* t) const { return tcgetattr(master_, t) == 0; }

 private:
  int master_ = -1;
  std::string path_;
  std::string alias_;
};

// A socket bound on 127.0.0.1 at the given port (0: any free one).
inline int BoundSocket(int type, uint16_t port, uint16_t* boundPort = nullptr) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = Loopback();
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && listen(fd, 4) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  if (boundPort) *boundPort = ntohs(address.sin_port);
  return fd;
}

// In a fresh network namespace the loopback interface starts down.
inline bool BringLoopbackUp() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

// Waits at most `ms` for the descriptor to become readable.
inline bool Readable(int fd, int ms) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, ms) > 0;
}

struct RecordedBox {
  platform::WindowRef owner;
  std::wstring text;
  std::wstring caption;
  unsigned type;
};

// Installs itself as the message box handler for its lifetime.
class BoxRecorder {
 public:
  BoxRecorder() { platform::SetMessageBoxHandler(&BoxRecorder::Record, this); }
  ~BoxRecorder() { platform::SetMessageBoxHandler(nullptr, nullptr); }
  std::vector<RecordedBox> boxes;

 private:
  static int Record(platform::WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                    void* context) {
    static_cast<BoxRecorder*>(context)->boxes.push_back({owner, text ? text : L"", caption ? caption : L"", type});
    return IDOK;
  }
};

// Open descriptors of this process, to catch leaks.
inline int OpenDescriptorCount() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++count;
  return count;
}

}  // namespace linktest
