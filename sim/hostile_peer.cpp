#include "sim/hostile_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sim/unit_frames.h"

namespace sim {

namespace {

constexpr size_t kPourChunk = 2000;  // below the host's read size: every read is full of them
constexpr auto kPourPause = std::chrono::milliseconds(1);

// Bytes that are never an EOT, with SOH and DLE among them so that the host's
// collector keeps restarting and escaping.
std::vector<uint8_t> Junk(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = static_cast<uint8_t>(seed + i * 37);
    if (b == 0x04) b = 0x10;
    bytes[i] = b;
  }
  return bytes;
}

}  // namespace

const char* HostileModeName(HostileMode mode) {
  switch (mode) {
    case HostileMode::None:
      return "none";
    case HostileMode::Oversized:
      return "oversized";
    case HostileMode::Endless:
      return "endless";
    case HostileMode::ForeignReplies:
      return "foreign";
    case HostileMode::WrongSequence:
      return "wrong-sequence";
  }
  return "none";
}

bool ParseHostileMode(const std::string& text, HostileMode* mode) {
  for (HostileMode m : {HostileMode::None, HostileMode::Oversized, HostileMode::Endless, HostileMode::ForeignReplies,
                        HostileMode::WrongSequence})
    if (text == HostileModeName(m)) {
      *mode = m;
      return true;
    }
  return false;
}

HostilePeer::HostilePeer(SimulatedUnit& unit, HostileMode mode) : mode_(mode) {
  unit.SetReplyHook([this](Channel channel, const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply,
                           const SimulatedUnit::RawSender& send) { return Shape(channel, request, reply, send); });
}

HostilePeer::~HostilePeer() { StopPouring(); }

void HostilePeer::SetMode(HostileMode mode) {
  mode_ = mode;
  if (mode != HostileMode::Endless) StopPouring();
}

bool HostilePeer::Shape(Channel, const std::vector<uint8_t>&, const std::vector<uint8_t>& reply,
                        const SimulatedUnit::RawSender& send) {
  const HostileMode mode = mode_.load();
  if (mode == HostileMode::None || reply.empty()) return false;
  const bool numbered = (reply[0] & 0x80) != 0 && reply.size() >= 5;
  std::vector<uint8_t> body = reply;
  switch (mode) {
    case HostileMode::Oversized: {
      const std::vector<uint8_t> extra = Junk(extra_.load(), 0x21);
      body.insert(body.end(), extra.begin(), extra.end());
      break;
    }
    case HostileMode::Endless:
      ++shaped_;
      StartPouring(send);
      return true;  // no reply, only the flood
    case HostileMode::ForeignReplies: {
      // Another command's code, bit 7 as it was: 1 -> 2, ..., 13 -> 1.
      const uint8_t code = reply[0] & 0x7F;
      body[0] = static_cast<uint8_t>((reply[0] & 0x80) | (code % 13 + 1));
      break;
    }
    case HostileMode::WrongSequence: {
      if (!numbered) return false;
      uint32_t sequence = static_cast<uint32_t>(reply[1]) << 24 | static_cast<uint32_t>(reply[2]) << 16 |
                          static_cast<uint32_t>(reply[3]) << 8 | reply[4];
      ++sequence;
      for (int i = 0; i < 4; ++i) body[1 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
      break;
    }
    case HostileMode::None:
      return false;
  }
  ++shaped_;
  send(EncodeFrame(body));
  return true;
}

void HostilePeer::StartPouring(const SimulatedUnit::RawSender& send) {
  std::lock_guard<std::mutex> lock(pourLock_);
  if (pouring_) return;
  if (pour_.joinable()) pour_.join();
  pouring_ = true;
  pour_ = std::thread([this, send] {
    uint8_t seed = 0;
    while (pouring_.load()) {
      const std::vector<uint8_t> bytes = Junk(kPourChunk, seed++);
      send(bytes);
      poured_ += bytes.size();
      std::this_thread::sleep_for(kPourPause);
    }
  });
}

void HostilePeer::StopPouring() {
  std::lock_guard<std::mutex> lock(pourLock_);
  pouring_ = false;
  if (pour_.joinable()) pour_.join();
}

// ------------------------------------------------------------------ text ----

std::vector<uint8_t> NeverClosingReply(size_t length) {
  static const char kStart[] = "<sy,bq = u";
  std::vector<uint8_t> bytes;
  bytes.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    if (i < sizeof kStart - 1) {
      bytes.push_back(static_cast<uint8_t>(kStart[i]));
    } else {
      uint8_t b = static_cast<uint8_t>('a' + i % 26);
      bytes.push_back(b);
    }
  }
  return bytes;
}

HostileTextServer::~HostileTextServer() { Stop(); }

bool HostileTextServer::Start(uint16_t port, size_t limitBytes) {
  limit_ = limitBytes;
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  const int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never beyond this machine
  address.sin_port = htons(port);
  socklen_t size = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 8) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void HostileTextServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void HostileTextServer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);  // one host at a time is all these tests need
    close(fd);
  }
}

// Waits for the first bytes of a command, then streams the never-closing
// reply until the host closes, the limit is reached or the server stops.
void HostileTextServer::Serve(int fd) {
  char command[256];
  pollfd p{fd, POLLIN, 0};
  while (!stop_ && poll(&p, 1, 50) == 0) {
  }
  if (stop_ || recv(fd, command, sizeof command, 0) <= 0) return;
  if (!firstReply_.empty() && send(fd, firstReply_.data(), firstReply_.size(), MSG_NOSIGNAL) < 0) return;
  const std::vector<uint8_t> reply = NeverClosingReply(1024);
  size_t total = 0;
  while (!stop_ && total < limit_) {
    const ssize_t n = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return;  // the host went away
      pollfd w{fd, POLLOUT, 0};
      poll(&w, 1, 20);
      continue;
    }
    total += static_cast<size_t>(n);
    sent_ += static_cast<uint64_t>(n);
    // About a megabyte a second: a host never finds the line quiet, and
    // the stream lasts long enough to show a host that waits for quiet.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Drop whatever the host sends meanwhile (more commands, CR LF).
    while (recv(fd, command, sizeof command, MSG_DONTWAIT) > 0) {
    }
  }
}

void NeverClosingSerialText(SimulatedUnit& unit, size_t burst) {
  unit.SetApplicationSerialHandler([&unit, burst](const uint8_t*, size_t, unsigned) {
    const std::vector<uint8_t> reply = NeverClosingReply(burst);
    unit.WriteSerial(reply.data(), reply.size());
  });
}

}  // namespace sim
