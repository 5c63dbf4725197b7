// The simulated unit's Announce service.
#include "sim/announce.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kRequest[] = "Discovery: Who is out there ?";
constexpr size_t kRequestLength = sizeof kRequest - 1;
constexpr size_t kLargestDatagram = 2048;

int UdpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP); }

bool Bind(int fd, uint32_t address, uint16_t port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  at.sin_addr.s_addr = address;
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
}

std::string Dotted(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

bool IsOwnAddress(uint32_t address) {
  // Only a local address can be bound; this asks the system's own tables
  // rather than guessing from the address.
  const int probe = UdpSocket();
  if (probe < 0) return false;
  const bool own = Bind(probe, address, 0);
  ::close(probe);
  return own;
}

AnnounceResponder::AnnounceResponder(const AnnounceOptions& options, ModeHook inBootloader)
    : options_(options), inBootloader_(std::move(inBootloader)) {}

AnnounceResponder::~AnnounceResponder() { Stop(); }

bool AnnounceResponder::Start(std::string* error) {
  Stop();
  const AnnounceOptions options = [&] {
    std::lock_guard<std::mutex> guard(mutex_);
    return options_;
  }();
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    CloseFd(&listen_);
    CloseFd(&send_);
    CloseFd(&sendBootload_);
    CloseFd(&wake_[0]);
    CloseFd(&wake_[1]);
    return false;
  };
  listen_ = UdpSocket();
  const int on = 1;
  if (listen_ < 0 || ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      !Bind(listen_, htonl(INADDR_ANY), options.port))
    return fail("cannot listen on UDP port " + std::to_string(options.port));
  send_ = UdpSocket();
  if (send_ < 0 || !Bind(send_, options.fromAddress, 0)) return fail("cannot send from " + Dotted(options.fromAddress));
  if (options.bootloadFromAddress != 0) {
    sendBootload_ = UdpSocket();
    if (sendBootload_ < 0 || !Bind(sendBootload_, options.bootloadFromAddress, 0))
      return fail("cannot send from " + Dotted(options.bootloadFromAddress));
  }
  if (::pipe2(wake_, O_CLOEXEC) != 0) return fail("pipe");
  thread_ = std::thread(&AnnounceResponder::Run, this);
  return true;
}

void AnnounceResponder::Stop() {
  if (thread_.joinable()) {
    const char byte = 0;
    if (::write(wake_[1], &byte, 1) < 0) {
    }
    thread_.join();
  }
  CloseFd(&listen_);
  CloseFd(&send_);
  CloseFd(&sendBootload_);
  CloseFd(&wake_[0]);
  CloseFd(&wake_[1]);
}

std::string AnnounceResponder::Answer() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (options_.rawSet) return options_.raw;
  const bool bootload = inBootloader_ ? inBootloader_() : options_.bootload;
  const std::string suffix = options_.suffixSet ? options_.suffix : bootload ? " - Bootload" : " - Application";
  return options_.hostLine + "\r\n" + MacLine() + "\r\n" + options_.modelLine + suffix + "\r\n";
}

std::string AnnounceResponder::MacLine() const {
  if (!options_.macLine.empty()) return options_.macLine;
  uint8_t octets[4] = {0, 0x35, 0x42, 0x00};
  if (options_.fromAddress != 0) std::memcpy(octets, &options_.fromAddress, sizeof octets);
  char line[32];
  std::snprintf(line, sizeof line, "02-54-51-%02X-%02X-%02X", octets[1], octets[2], octets[3]);
  return line;
}

void AnnounceResponder::SetOptions(const AnnounceOptions& options) {
  // The port and the answer address are taken at Start; the texts at once.
  std::lock_guard<std::mutex> guard(mutex_);
  options_ = options;
}

std::vector<AnnounceRequest> AnnounceResponder::Requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

void AnnounceResponder::Run() {
  uint8_t buffer[kLargestDatagram];
  for (;;) {
    pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(listen_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                 &fromLength);
    if (n < 0) continue;
    Handle(buffer, static_cast<size_t>(n), from.sin_addr.s_addr, ntohs(from.sin_port));
  }
}

void AnnounceResponder::Handle(const uint8_t* data, size_t length, uint32_t from, uint16_t fromPort) {
  int repeat, delayMs;
  std::string logPath;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back({from, std::string(reinterpret_cast<const char*>(data), length)});
    repeat = options_.repeat;
    delayMs = options_.delayMs;
    logPath = options_.logPath;
  }
  // Only the exact request is answered, and only to this machine.
  if (length != kRequestLength || std::memcmp(data, kRequest, kRequestLength) != 0) return;
  if (!IsOwnAddress(from)) return;
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  const std::string answer = Answer();
  const int sender = sendBootload_ >= 0 && inBootloader_ && inBootloader_() ? sendBootload_ : send_;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(fromPort);
  to.sin_addr.s_addr = from;
  for (int i = 0; i < repeat; ++i) {
    // Counted before it leaves: whoever hears the answer must find it
    // counted already.
    ++answersSent_;
    if (::sendto(sender, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
      --answersSent_;
      continue;
    }
    if (logPath.empty()) continue;
    if (FILE* log = std::fopen(logPath.c_str(), "a")) {
      std::fprintf(log, "answered %s\n", Dotted(from).c_str());
      std::fclose(log);
    }
  }
}

bool ParseIpv4(const std::string& text, uint32_t* address) {
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *address = a.s_addr;
  return true;
}

std::string UnescapeText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'x': {
        const std::string hex = text.substr(i + 1, 2);
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (hex.size() == 2 && end == hex.c_str() + 2) {
          out += static_cast<char>(value);
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      }
      default:
        out += c;
        break;
    }
  }
  return out;
}

bool TakeAnnounceOption(int argc, char** argv, int* index, AnnounceOptions* options, bool* enabled,
                        std::string* error) {
  const std::string option = argv[*index];
  auto value = [&](std::string* out) {
    if (*index + 1 >= argc) {
      *error = option + " needs a value";
      return false;
    }
    *out = argv[++*index];
    return true;
  };
  std::string text;
  if (option == "--announce") {
    *enabled = true;
  } else if (option == "--announce-from") {
    if (!value(&text)) return true;
    if (!ParseIpv4(text, &options->fromAddress)) *error = "--announce-from: not an IPv4 address: " + text;
    *enabled = true;
  } else if (option == "--announce-port") {
    if (!value(&text)) return true;
    const long port = std::strtol(text.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) *error = "--announce-port: out of range: " + text;
    options->port = static_cast<uint16_t>(port);
  } else if (option == "--model-line") {
    if (value(&text)) options->modelLine = UnescapeText(text);
  } else if (option == "--announce-host") {
    if (value(&text)) options->hostLine = UnescapeText(text);
  } else if (option == "--announce-mac") {
    if (value(&text)) options->macLine = UnescapeText(text);
  } else if (option == "--announce-suffix") {
    if (value(&text)) {
      options->suffix = UnescapeText(text);
      options->suffixSet = true;
    }
  } else if (option == "--announce-raw") {
    if (value(&text)) {
      options->raw = UnescapeText(text);
      options->rawSet = true;
    }
  } else if (option == "--announce-delay") {
    if (!value(&text)) return true;
    const long delay = std::strtol(text.c_str(), nullptr, 10);
    if (delay < 0 || delay > 60000) *error = "--announce-delay: out of range: " + text;
    options->delayMs = static_cast<int>(delay);
  } else if (option == "--announce-log") {
    if (value(&text)) options->logPath = text;
  } else if (option == "--announce-repeat") {
    if (!value(&text)) return true;
    const long repeat = std::strtol(text.c_str(), nullptr, 10);
    if (repeat < 0 || repeat > 100) *error = "--announce-repeat: out of range: " + text;
    options->repeat = static_cast<int>(repeat);
  } else {
    return false;
  }
  return true;
}

const char* AnnounceOptionsHelp() {
  return "  --announce              answer discovery requests on UDP 30303\n"
         "  --announce-from ADDR    answer from this address (implies --announce)\n"
         "  --announce-port N       listen on this UDP port instead of 30303\n"
         "  --model-line TEXT       third answer line before the mode (\"Varno TQ35B\")\n"
         "  --announce-suffix TEXT  instead of \" - Application\" / \" - Bootload\"\n"
         "  --announce-raw TEXT     answer exactly these bytes (\\r \\n \\xHH escapes)\n"
         "  --announce-host TEXT    first answer line\n"
         "  --announce-mac TEXT     second answer line\n"
         "  --announce-repeat N     answers for each request (default 1)\n"
         "  --announce-delay MS     answer each request MS milliseconds after hearing it\n"
         "  --announce-log PATH     append a line \"answered ADDRESS\" per answer sent\n";
}
