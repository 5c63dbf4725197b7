// The simulated unit's text command half.
#include "sim/text_parser.h"

#include "sim/simulated_unit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

// A "<" with no ">" after it for this long is noise, not a command.
constexpr size_t kLongestCommand = 256;
// How often the mode is looked at when nobody says that it changed, and how
// soon a listener that could not be made again is retried.
constexpr int kPollMs = 20;

std::string StateValue(bool enabled) { return enabled ? "ue" : "ud"; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool EndsWith(const std::string& text, const char* suffix) {
  const std::string end(suffix);
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

// ----------------------------------------------------------- the parser ----

TextParser::TextParser(const TextParserOptions& options) : options_(options) {
  bootloadEnabled_ = options.bootloadEnabled;
}

void TextParser::SetOptions(const TextParserOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
  bootloadEnabled_ = options.bootloadEnabled;
}

TextParserOptions TextParser::Options() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void TextParser::ResetState() {
  std::lock_guard<std::mutex> lock(mutex_);
  unlocked_ = false;
  bootloadEnabled_ = false;
}

TextParser::Result TextParser::Receive(Input& input, TextChannel channel, int bitRate, const uint8_t* data,
                                       size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  Result result;
  if (data == nullptr || length == 0) return result;
  const int rate = channel == TextChannel::Serial ? bitRate : 0;
  arrivals_.push_back({channel, rate, std::string(reinterpret_cast<const char*>(data), length)});
  if (channel == TextChannel::Serial && bitRate != options_.textRate) {
    input.pending.clear();  // at the wrong rate the receiver makes nothing of it
    return result;
  }

  std::string& pending = input.pending;
  pending.append(reinterpret_cast<const char*>(data), length);
  for (;;) {
    const size_t start = pending.find('<');
    if (start == std::string::npos) {
      pending.clear();
      break;
    }
    const size_t end = pending.find('>', start);
    if (end == std::string::npos) {
      pending.erase(0, start);
      if (pending.size() > kLongestCommand) pending.clear();
      break;
    }
    // A "<" that a later one follows before the ">" began nothing.
    const size_t from = pending.rfind('<', end);
    const std::string command = pending.substr(from, end - from + 1);
    pending.erase(0, end + 1);

    ++steps_;
    commands_.push_back({channel, rate, command});
    if (steps_ == options_.silentAtStep) continue;
    bool restart = false;
    std::string reply = Answer(command, &restart);
    ApplyFaults(&reply);
    result.reply += reply;
    if (!result.reply.empty()) result.delayMs = options_.replyDelayMs;
    if (restart) {
      // The unit is gone into its bootloader: nothing after this is heard.
      result.restart = true;
      pending.clear();
      unlocked_ = false;
      bootloadEnabled_ = false;
      break;
    }
  }
  return result;
}

void TextParser::Record(TextChannel channel, int bitRate, const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data != nullptr && length != 0)
    arrivals_.push_back({channel, channel == TextChannel::Serial ? bitRate : 0,
                         std::string(reinterpret_cast<const char*>(data), length)});
}

std::string TextParser::Answer(const std::string& command, bool* restart) {
  if (command == "<SY,BQ/>")
    return ValueReply("bq", options_.queryValue.empty() ? StateValue(bootloadEnabled_) : options_.queryValue);
  if (StartsWith(command, "<SY,BU") && EndsWith(command, "/>") && command.size() >= 8) {
    const std::string pin = command.substr(6, command.size() - 8);
    if (pin != options_.pin) {
      unlocked_ = false;
      return ValueReply("bu", "er");
    }
    unlocked_ = true;
    return ValueReply("bu", StateValue(bootloadEnabled_));
  }
  if (command == "<SY,BE/>") {
    if (unlocked_) bootloadEnabled_ = true;
    return ValueReply("be", StateValue(bootloadEnabled_));
  }
  if (command == "<SY,BR/>") {
    // Without bootload mode enabled the unit restarts its application, which
    // locks it again.
    if (bootloadEnabled_)
      *restart = true;
    else
      unlocked_ = false;
    return "<sy,br/>";
  }
  return std::string();  // commands it does not know get no answer
}

std::string TextParser::ValueReply(const char* name, std::string value) const {
  if (steps_ == options_.wrongLetterAt && value.size() >= 2) {
    if (value[1] == 'd')
      value[1] = 'e';
    else if (value[1] == 'e')
      value[1] = 'd';
  }
  return std::string("<sy,") + name + (options_.compact ? "=" : " = ") + value + "/>";
}

void TextParser::ApplyFaults(std::string* reply) const {
  if (options_.upperCaseAt == 0 || options_.upperCaseAt == steps_)
    std::transform(reply->begin(), reply->end(), reply->begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
}

std::vector<TextArrival> TextParser::Arrivals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

std::string TextParser::ArrivedBytes(TextChannel channel, int bitRate) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string bytes;
  for (const TextArrival& arrival : arrivals_)
    if (arrival.channel == channel && (bitRate == 0 || arrival.bitRate == bitRate)) bytes += arrival.bytes;
  return bytes;
}

std::vector<TextCommand> TextParser::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

int TextParser::Steps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return steps_;
}

bool TextParser::Unlocked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unlocked_;
}

bool TextParser::BootloadEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bootloadEnabled_;
}

// ------------------------------------------------------- the TCP port ----

TextCommandServer::TextCommandServer(TextParser& parser, Hooks hooks) : parser_(parser), hooks_(std::move(hooks)) {}

TextCommandServer::~TextCommandServer() { Stop(); }

bool TextCommandServer::Listen() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);  // back on the same port after a bootload
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address_;
  local.sin_port = htons(port_);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || listen(fd, 8) != 0) {
    close(fd);
    return false;
  }
  socklen_t size = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) port_ = ntohs(local.sin_port);
  listener_ = fd;
  return true;
}

bool TextCommandServer::Start(uint32_t address, uint16_t port) {
  Stop();
  address_ = address;
  port_ = port;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  }
  if (!Listen()) {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    close(wake_[0]);
    close(wake_[1]);
    wake_[0] = wake_[1] = -1;
    return false;
  }
  stop_ = false;
  thread_ = std::thread(&TextCommandServer::Run, this);
  return true;
}

void TextCommandServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    ModeChanged();
    thread_.join();
  }
  for (Connection& connection : connections_) close(connection.fd);
  connections_.clear();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
  std::lock_guard<std::mutex> lock(wakeMutex_);
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void TextCommandServer::ModeChanged() {
  std::lock_guard<std::mutex> lock(wakeMutex_);
  if (wake_[1] < 0) return;
  const char wake = 1;
  (void)!write(wake_[1], &wake, 1);  // a full pipe already wakes the server
}

// The unit went into its bootloader: no more answers. The write side is shut
// at once (the host sees the connection end) and the socket is closed once
// the host has closed its side, so nothing unread makes the close a reset
// that could take the last reply with it.
void TextCommandServer::FinishConnections() {
  for (Connection& connection : connections_)
    if (!connection.finishing) {
      shutdown(connection.fd, SHUT_WR);
      connection.finishing = true;
      connection.input.pending.clear();
    }
}

void TextCommandServer::Serve(Connection& connection) {
  char bytes[4096];
  const ssize_t n = recv(connection.fd, bytes, sizeof bytes, 0);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    close(connection.fd);
    connection.fd = -1;
    return;
  }
  const bool inApplication = !hooks_.inApplication || hooks_.inApplication();
  if (connection.finishing || !inApplication) {
    parser_.Record(TextChannel::Tcp, 0, reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(n));
    return;
  }
  const TextParser::Result result = parser_.Receive(connection.input, TextChannel::Tcp, 0,
                                                    reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(n));
  if (!result.reply.empty()) {
    // One thread answers every connection in turn, as the unit's one parser
    // does: a late answer holds up the others as well.
    if (result.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(result.delayMs));
    SendAll(connection.fd, result.reply);
  }
  if (result.restart && hooks_.restartIntoBootloader) hooks_.restartIntoBootloader();
}

// The mode is looked at after every wake-up. A change of mode writes to the
// wake pipe after the mode has changed, so a change that comes between the
// look and the poll still ends the poll at once; an idle unit then costs
// nothing until something happens (a fleet of idle units would otherwise
// wake the machine hundreds of times a second).
void TextCommandServer::Run() {
  std::vector<pollfd> watched;
  while (!stop_) {
    const bool inApplication = !hooks_.inApplication || hooks_.inApplication();
    if (!inApplication) {
      // Connections to a unit in its bootloader are refused.
      if (listener_ >= 0) close(listener_);
      listener_ = -1;
      FinishConnections();
    } else if (listener_ < 0) {
      Listen();  // back in the application: accept again (retried until it works)
    }
    const bool retrying = inApplication && listener_ < 0;
    const int timeoutMs = hooks_.modeChangesNotified && !retrying ? -1 : kPollMs;

    watched.clear();
    watched.push_back({wake_[0], POLLIN, 0});
    if (listener_ >= 0) watched.push_back({listener_, POLLIN, 0});
    for (const Connection& connection : connections_) watched.push_back({connection.fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), timeoutMs) <= 0) continue;

    size_t at = 0;
    if (watched[at++].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (listener_ >= 0 && (watched[at++].revents & POLLIN)) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        ++accepted_;
        connections_.push_back({fd, TextParser::Input(), false});
      }
    }
    // Connections accepted in this pass were not polled; they come next pass.
    for (size_t i = 0; at < watched.size(); ++i, ++at)
      if (watched[at].revents & (POLLIN | POLLHUP | POLLERR)) Serve(connections_[i]);
    connections_.erase(
        std::remove_if(connections_.begin(), connections_.end(), [](const Connection& c) { return c.fd < 0; }),
        connections_.end());
  }
}

// ------------------------------------------------------ the text half ----

TextHalf::TextHalf(const TextHalfOptions& options, UnitHooks hooks)
    : options_(options),
      hooks_(std::move(hooks)),
      parser_(options.parser),
      server_(parser_,
              TextCommandServer::Hooks{hooks_.inApplication, [this] { Restart(); }, hooks_.modeChangesNotified}) {}

TextHalf::~TextHalf() { Stop(); }

bool TextHalf::Start(uint32_t address) { return !options_.tcp || server_.Start(address, options_.tcpPort); }

void TextHalf::Stop() { server_.Stop(); }

void TextHalf::Restart() {
  parser_.ResetState();
  {
    std::lock_guard<std::mutex> lock(serialMutex_);
    serialInput_.pending.clear();
  }
  if (hooks_.enterBootloader) hooks_.enterBootloader();
}

void TextHalf::SerialBytes(int bitRate, const uint8_t* data, size_t length, const SerialWriter& write) {
  TextParser::Result result;
  {
    std::lock_guard<std::mutex> lock(serialMutex_);
    result = parser_.Receive(serialInput_, TextChannel::Serial, bitRate, data, length);
  }
  if (!result.reply.empty() && write) write(result.reply, std::chrono::milliseconds(result.delayMs));
  if (result.restart) Restart();
}

std::unique_ptr<TextHalf> AttachTextHalf(sim::SimulatedUnit& unit, const TextHalfOptions& options) {
  TextHalf::UnitHooks hooks;
  hooks.inApplication = [&unit] { return unit.Mode() == sim::UnitMode::Application; };
  hooks.enterBootloader = [&unit] { unit.SetMode(sim::UnitMode::Bootload); };
  hooks.modeChangesNotified = true;
  std::unique_ptr<TextHalf> half(new TextHalf(options, hooks));
  TextHalf* text = half.get();
  unit.AddModeChangeHandler([text](sim::UnitMode) { text->ModeChanged(); });
  unit.SetApplicationSerialHandler([&unit, text](const uint8_t* data, size_t length, unsigned bitRate) {
    text->SerialBytes(static_cast<int>(bitRate), data, length,
                      [&unit](const std::string& reply, std::chrono::milliseconds delay) {
                        unit.WriteSerial(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), delay);
                      });
  });
  return half;
}

// ----------------------------------------------------------- options ----

namespace {

bool ParseNumber(const char* text, long low, long high, long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || number < low || number > high) return false;
  *value = number;
  return true;
}

}  // namespace

bool TakeTextHalfOption(int argc, char** argv, int* index, TextHalfOptions* options, std::string* error) {
  const std::string name = argv[*index];
  TextParserOptions& parser = options->parser;
  if (name == "--no-tcp") {
    options->tcp = false;
    return true;
  }
  if (name == "--bootload-enabled") {
    parser.bootloadEnabled = true;
    return true;
  }
  static const char* const kWithValue[] = {"--tcp-port",        "--text-rate",      "--pin",
                                           "--query-form",      "--query-value",    "--reply-case",
                                           "--wrong-letter-at", "--silent-at-step", "--text-delay"};
  bool ours = false;
  for (const char* option : kWithValue) ours = ours || name == option;
  if (!ours) return false;
  if (*index + 1 >= argc) {
    *error = name + " needs a value";
    return true;
  }
  const std::string value = argv[++*index];
  long number = 0;
  if (name == "--tcp-port") {
    if (ParseNumber(value.c_str(), 0, 65535, &number))
      options->tcpPort = static_cast<uint16_t>(number);
    else
      *error = "--tcp-port takes 0 to 65535";
  } else if (name == "--text-rate") {
    if (ParseNumber(value.c_str(), 1, 4000000, &number))
      parser.textRate = static_cast<int>(number);
    else
      *error = "--text-rate takes a bit rate";
  } else if (name == "--text-delay") {
    if (ParseNumber(value.c_str(), 0, 60000, &number))
      parser.replyDelayMs = static_cast<int>(number);
    else
      *error = "--text-delay takes 0 to 60000 (ms)";
  } else if (name == "--pin") {
    parser.pin = value;
  } else if (name == "--query-form") {
    if (value == "spaced" || value == "compact")
      parser.compact = value == "compact";
    else
      *error = "--query-form takes spaced or compact";
  } else if (name == "--query-value") {
    parser.queryValue = value;
  } else if (name == "--reply-case") {
    const size_t colon = value.find(':');
    const std::string kind = value.substr(0, colon);
    if (kind == "lower" && colon == std::string::npos)
      parser.upperCaseAt = -1;
    else if (kind == "upper" && colon == std::string::npos)
      parser.upperCaseAt = 0;
    else if (kind == "upper" && ParseNumber(value.c_str() + colon + 1, 1, 1000000, &number))
      parser.upperCaseAt = static_cast<int>(number);
    else
      *error = "--reply-case takes lower, upper or upper:STEP";
  } else if (ParseNumber(value.c_str(), 0, 1000000, &number)) {
    (name == "--wrong-letter-at" ? parser.wrongLetterAt : parser.silentAtStep) = static_cast<int>(number);
  } else {
    *error = name + " takes a step number";
  }
  return true;
}

const char* TextHalfOptionsHelp() {
  return "Text command half (answers while the unit runs its application):\n"
         "  --tcp-port N          TCP text port (default 4999; 0 = a free port)\n"
         "  --no-tcp              no TCP text port\n"
         "  --text-rate N         bit rate of the serial text interface (default 9600);\n"
         "                        at any other rate the unit hears nothing\n"
         "  --pin PIN             installer PIN (default 1234)\n"
         "  --query-form F        spaced (\"<sy,bq = ud/>\", default) or compact (\"<sy,bq=ud/>\")\n"
         "  --query-value V       answer the query with value V instead of the state\n"
         "  --bootload-enabled    start with bootload mode enabled (query letter e)\n"
         "  --reply-case C        lower (default), upper (every reply) or upper:STEP\n"
         "  --wrong-letter-at N   turn the value's letter (d <-> e) in the reply to step N\n"
         "  --silent-at-step N    neither act on nor answer step N\n"
         "  --text-delay MS       answer every text command MS ms after hearing it\n"
         "                        (serial and TCP; one at a time, as a slow unit would)\n"
         "  Steps count the commands the unit hears, from 1. \"<SY,BR/>\" with bootload\n"
         "  mode enabled restarts the unit into its bootloader; the TCP port then\n"
         "  refuses connections until the bootloader hands back to the application.\n"
         "  The ready line ends with tcp=ADDRESS:PORT, or tcp=none without a text port.\n";
}
