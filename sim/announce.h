// The simulated unit's discovery half: the Announce service that answers a
// discovery request on UDP 30303 with three lines of text, the last naming
// the model and whether the unit runs its application or its bootloader.
//
// Each responder has its own socket on the port, shared with SO_REUSEADDR,
// so that any number of units, in one process or in several, all hear one
// broadcast. The answer leaves from an address chosen per unit (the socket
// that sends it is bound there), so a unit can stand at a link-local or
// other-subnet address that the computer has no interface for.
//
// It answers only requesters whose address is one of this machine's own:
// a simulated unit never talks to anything beyond the machine, even when it
// is started outside a private network namespace by mistake.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AnnounceOptions {
  uint16_t port = 30303;
  // Where answers come from (network byte order); 0: wherever the system
  // routes them from.
  uint32_t fromAddress = 0;
  // Where they come from while the unit runs its bootloader, for a unit
  // whose bootloader takes another address; 0: fromAddress.
  uint32_t bootloadFromAddress = 0;
  std::string hostLine = "TQ35B-SIM";
  // Empty: 02-54-51 followed by the last three octets of fromAddress (or
  // 35-42-00 without one), so that units at different addresses differ.
  std::string macLine;
  std::string modelLine = "Varno TQ35B";
  // Replaces " - Application" / " - Bootload" when set (no CR LF added
  // beyond the one that ends the line).
  bool suffixSet = false;
  std::string suffix;
  // When set, the whole answer is these bytes, for malformed answers.
  bool rawSet = false;
  std::string raw;
  // Answers sent for each request (2: the unit answers twice).
  int repeat = 1;
  // Milliseconds between hearing a request and answering it, so that tests
  // can choose the order in which several units' answers arrive.
  int delayMs = 0;
  // When set, one line per answer sent is appended here ("answered A.B.C.D"),
  // so that a test can wait for search cycles instead of sleeping.
  std::string logPath;
  // Mode when no hook tells it.
  bool bootload = false;
};

// A request as the unit heard it.
struct AnnounceRequest {
  uint32_t from;  // network byte order
  std::string bytes;
};

class AnnounceResponder {
 public:
  // True while the unit runs its bootloader; the option's mode when empty.
  using ModeHook = std::function<bool()>;

  explicit AnnounceResponder(const AnnounceOptions& options, ModeHook inBootloader = ModeHook());
  ~AnnounceResponder();
  AnnounceResponder(const AnnounceResponder&) = delete;
  AnnounceResponder& operator=(const AnnounceResponder&) = delete;

  // Binds the port and starts answering. False (with *error set) when the
  // port or the answer address cannot be bound.
  bool Start(std::string* error = nullptr);
  void Stop();

  // The answer the unit sends now.
  std::string Answer() const;
  void SetOptions(const AnnounceOptions& options);
  std::vector<AnnounceRequest> Requests() const;
  int AnswersSent() const { return answersSent_.load(); }

 private:
  std::string MacLine() const;  // with mutex_ held
  void Run();
  void Handle(const uint8_t* data, size_t length, uint32_t from, uint16_t fromPort);

  mutable std::mutex mutex_;
  AnnounceOptions options_;
  ModeHook inBootloader_;
  std::vector<AnnounceRequest> requests_;
  int listen_ = -1;
  int send_ = -1;
  int sendBootload_ = -1;  // bound to bootloadFromAddress when it is set
  int wake_[2] = {-1, -1};
  std::atomic<int> answersSent_{0};
  std::thread thread_;
};

// Whether an address (network byte order) belongs to this machine.
bool IsOwnAddress(uint32_t address);

// "a.b.c.d" into network byte order; false when it is not such a text.
bool ParseIpv4(const std::string& text, uint32_t* address);
// C-like escapes in an option value: \r \n \t \\ \xHH.
std::string UnescapeText(const std::string& text);

// Program options of the discovery half; like TakeTextHalfOption. *enabled
// is set when the unit is to announce itself.
bool TakeAnnounceOption(int argc, char** argv, int* index, AnnounceOptions* options, bool* enabled, std::string* error);
const char* AnnounceOptionsHelp();
