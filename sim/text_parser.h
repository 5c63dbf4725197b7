// The simulated unit's text command half: the parser that a unit running its
// application offers on its TCP text port and on its serial line.
//
// Commands are "<...>" texts; whatever comes between them (the CR LF that
// network hosts send, line noise) is recorded but ignored. The serial line
// is heard only while the host side runs it at the unit's one text rate:
// bytes at any other rate are recorded with the rate they came at and
// otherwise dropped, as a real receiver would make nothing of them.
//
// The unit's state as the text half sees it: locked or unlocked by the PIN,
// and bootload mode enabled or not. "<SY,BR/>" with bootload mode enabled
// restarts the unit into its bootloader; from then on the text half is
// silent: its TCP port refuses connections (the listener is closed, open
// connections are finished off), and serial bytes go to the bootloader. When
// the bootloader hands back to the application the text half answers again,
// locked and with bootload mode off.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {
class SimulatedUnit;
}

enum class TextChannel { Tcp, Serial };

struct TextParserOptions {
  std::string pin = "1234";
  // "<sy,bq=ud/>" instead of "<sy,bq = ud/>", for every reply with a value.
  bool compact = false;
  // Bootload mode already enabled when the unit starts (query letter e).
  bool bootloadEnabled = false;
  // The query reply's value as given, instead of "u" and the state letter
  // (for replies such as a one-letter value).
  std::string queryValue;
  // Fault injection, by step: the n-th command the unit hears, from 1.
  int upperCaseAt = -1;   // reply in upper case: -1 never, 0 every reply, n at step n
  int wrongLetterAt = 0;  // the value's second letter turned (d <-> e) at step n
  int silentAtStep = 0;   // step n is neither acted on nor answered
  // The bit rate of the serial text interface.
  int textRate = 9600;
  // Every reply leaves this long after its command was heard (a unit that
  // is slow to answer).
  int replyDelayMs = 0;
};

// Bytes as they arrived, with the serial rate they came at (0 over TCP).
struct TextArrival {
  TextChannel channel;
  int bitRate;
  std::string bytes;
};

// A command the unit heard, in the order heard.
struct TextCommand {
  TextChannel channel;
  int bitRate;
  std::string text;
};

class TextParser {
 public:
  // The unread part of one connection or of the serial line.
  struct Input {
    std::string pending;
  };
  struct Result {
    std::string reply;
    // How long after now the reply is to leave.
    int delayMs = 0;
    // The unit restarts into its bootloader once the reply is out.
    bool restart = false;
  };

  explicit TextParser(const TextParserOptions& options = TextParserOptions());

  // Bytes that arrived on a channel; bitRate is the serial line's rate at
  // that moment (ignored over TCP). Thread-safe.
  Result Receive(Input& input, TextChannel channel, int bitRate, const uint8_t* data, size_t length);
  // Bytes that arrived but are not listened to (the unit is restarting).
  void Record(TextChannel channel, int bitRate, const uint8_t* data, size_t length);

  // The unit restarted (into its bootloader or its application): locked,
  // bootload mode off. Steps and records are kept.
  void ResetState();

  void SetOptions(const TextParserOptions& options);
  TextParserOptions Options() const;

  std::vector<TextArrival> Arrivals() const;
  // Every byte of a channel joined in arrival order; for the serial line
  // only those at `bitRate` when it is nonzero.
  std::string ArrivedBytes(TextChannel channel, int bitRate = 0) const;
  std::vector<TextCommand> Commands() const;
  int Steps() const;
  bool Unlocked() const;
  bool BootloadEnabled() const;

 private:
  std::string Answer(const std::string& command, bool* restart);
  std::string ValueReply(const char* name, std::string value) const;
  void ApplyFaults(std::string* reply) const;

  mutable std::mutex mutex_;
  TextParserOptions options_;
  bool unlocked_ = false;
  bool bootloadEnabled_ = false;
  int steps_ = 0;
  std::vector<TextArrival> arrivals_;
  std::vector<TextCommand> commands_;
};

// The TCP text port: one thread that accepts connections, hands their bytes
// to the parser and writes the replies back.
class TextCommandServer {
 public:
  struct Hooks {
    // True while the unit runs its application (the text half may talk).
    std::function<bool()> inApplication;
    // Called after a "<SY,BR/>" reply has gone out with bootload enabled.
    std::function<void()> restartIntoBootloader;
    // Set when every change of `inApplication` is followed by a call of
    // ModeChanged(): the server then sleeps until something happens instead
    // of looking at the mode every few milliseconds.
    bool modeChangesNotified = false;
  };

  TextCommandServer(TextParser& parser, Hooks hooks);
  ~TextCommandServer();
  TextCommandServer(const TextCommandServer&) = delete;
  TextCommandServer& operator=(const TextCommandServer&) = delete;

  // Listens on the address (network byte order) and port; port 0 takes a
  // free one, which Port() then gives. False when it cannot listen.
  bool Start(uint32_t address, uint16_t port);
  void Stop();
  uint16_t Port() const { return port_; }
  int ConnectionsAccepted() const { return accepted_.load(); }
  // The unit's mode changed: the server looks at it at once. Any thread.
  void ModeChanged();

 private:
  struct Connection {
    int fd;
    TextParser::Input input;
    bool finishing;  // write side shut: the unit went to its bootloader
  };

  bool Listen();
  void Run();
  void Serve(Connection& connection);
  void FinishConnections();

  TextParser& parser_;
  Hooks hooks_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::mutex wakeMutex_;  // wake_[1] against a ModeChanged racing Stop
  std::vector<Connection> connections_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// The text half as the unit carries it: the parser, its TCP port and its
// serial input, tied to the unit's mode by two hooks.
struct TextHalfOptions {
  TextParserOptions parser;
  bool tcp = true;          // offer the TCP text port
  uint16_t tcpPort = 4999;  // 0: a free port, read back with TcpPort()
};

class TextHalf {
 public:
  struct UnitHooks {
    // True while the unit runs its application.
    std::function<bool()> inApplication;
    // Switch the unit to its bootloader (after "<SY,BR/>" was answered).
    std::function<void()> enterBootloader;
    // Set when ModeChanged() is called on every change of the mode.
    bool modeChangesNotified = false;
  };

  TextHalf(const TextHalfOptions& options, UnitHooks hooks);
  ~TextHalf();
  TextHalf(const TextHalf&) = delete;
  TextHalf& operator=(const TextHalf&) = delete;

  // Starts the TCP port on the address (network byte order), if offered.
  bool Start(uint32_t address);
  void Stop();

  // Puts a reply on the serial line `delay` from now.
  using SerialWriter = std::function<void(const std::string& reply, std::chrono::milliseconds delay)>;
  // Bytes from the serial line while the unit runs its application, at the
  // rate the host side has set; the reply, if any, is handed to `write`
  // before the unit restarts into its bootloader.
  void SerialBytes(int bitRate, const uint8_t* data, size_t length, const SerialWriter& write);

  // The unit's mode changed (see UnitHooks::modeChangesNotified).
  void ModeChanged() { server_.ModeChanged(); }

  TextParser& Parser() { return parser_; }
  uint16_t TcpPort() const { return server_.Port(); }
  int TcpConnectionsAccepted() const { return server_.ConnectionsAccepted(); }

 private:
  void Restart();

  TextHalfOptions options_;
  UnitHooks hooks_;
  TextParser parser_;
  TextCommandServer server_;
  std::mutex serialMutex_;
  TextParser::Input serialInput_;
};

// Makes the text half of `unit` and plugs it in: the unit's serial bytes
// while its application runs, its mode. Call before unit.Start(), then
// Start() the half. Stop the unit before the half goes: the unit calls into
// it from its own thread.
std::unique_ptr<TextHalf> AttachTextHalf(sim::SimulatedUnit& unit, const TextHalfOptions& options);

// Program options of the text half. Takes the option at argv[*index] (and
// its value, advancing *index) when it is one of ours; sets *error to a
// message when its value is bad. False when the option is not ours.
bool TakeTextHalfOption(int argc, char** argv, int* index, TextHalfOptions* options, std::string* error);
// The lines that --help prints for them.
const char* TextHalfOptionsHelp();
