// Hostile peers: a simulated unit that breaks the rules on purpose, to show
// that the program stays within its buffers, keeps working and reports
// failure where it must.
//
// The bootloader modes take over the unit's replies (the unit still carries
// every command out, so its memory moves on as a real unit's would):
//  - Oversized: each reply is a well-formed frame for the right command and
//    sequence number, but with kOversizedExtra data bytes added (more than
//    any frame the host can hold; SetOversizedExtra picks another amount);
//  - Endless: no reply at all; from the first frame on, bytes without an
//    EOT pour onto the line (a few kilobytes every millisecond) until the
//    mode is left;
//  - ForeignReplies: a valid frame answering another command;
//  - WrongSequence: a valid frame for the command, but numbered one past
//    the frame it answers (plain frames are answered normally).
//
// The text modes stand in for a unit's application:
//  - HostileTextServer on TCP and NeverClosingSerialText on the unit's
//    serial line answer every command with a reply that opens with "<" and
//    never closes, streaming bytes until the host stops listening.
// The discovery answers of any size use AnnounceOptions::raw.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulated_unit.h"

namespace sim {

enum class HostileMode { None, Oversized, Endless, ForeignReplies, WrongSequence };
const char* HostileModeName(HostileMode mode);
// "oversized", "endless", "foreign", "wrong-sequence", "none"; false otherwise.
bool ParseHostileMode(const std::string& text, HostileMode* mode);

constexpr size_t kOversizedExtra = 3000;

class HostilePeer {
 public:
  // Plugs into the unit's reply hook; call before unit.Start(). Destroy it
  // (or SetMode(None)) before the unit stops.
  HostilePeer(SimulatedUnit& unit, HostileMode mode);
  ~HostilePeer();
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  void SetMode(HostileMode mode);
  void SetOversizedExtra(size_t bytes) { extra_ = bytes; }
  HostileMode Mode() const { return mode_.load(); }
  // Replies taken over, and bytes poured out by the endless mode.
  uint32_t RepliesShaped() const { return shaped_.load(); }
  uint64_t BytesPoured() const { return poured_.load(); }

 private:
  bool Shape(Channel channel, const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply,
             const SimulatedUnit::RawSender& send);
  void StartPouring(const SimulatedUnit::RawSender& send);
  void StopPouring();

  std::atomic<HostileMode> mode_;
  std::atomic<size_t> extra_{kOversizedExtra};
  std::atomic<uint32_t> shaped_{0};
  std::atomic<uint64_t> poured_{0};
  std::mutex pourLock_;
  std::thread pour_;
  std::atomic<bool> pouring_{false};
};

// A TCP text port on loopback that answers anything with a reply that never
// closes: "<sy,bq = u" and then bytes without ">", about a megabyte a
// second, for as long as the connection stays open (at most `limitBytes`
// per connection).
class HostileTextServer {
 public:
  HostileTextServer() = default;
  ~HostileTextServer();
  HostileTextServer(const HostileTextServer&) = delete;
  HostileTextServer& operator=(const HostileTextServer&) = delete;

  // Answer the first command properly with `reply` and only then start the
  // stream (set before Start).
  void SetFirstReply(const std::string& reply) { firstReply_ = reply; }
  // Port 0 takes a free one (Port() gives it). False when it cannot listen.
  bool Start(uint16_t port = 0, size_t limitBytes = 16u << 20);
  void Stop();
  uint16_t Port() const { return port_; }
  int Connections() const { return connections_.load(); }
  uint64_t BytesSent() const { return sent_.load(); }

 private:
  void Run();
  void Serve(int fd);

  int listener_ = -1;
  uint16_t port_ = 0;
  size_t limit_ = 0;
  std::string firstReply_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

// The same on the unit's serial line while it runs its application: every
// burst of bytes from the host is answered with `burst` bytes of a reply
// that never closes. Plugs into the unit's application serial handler.
void NeverClosingSerialText(SimulatedUnit& unit, size_t burst = 4096);

// The bytes the never-closing replies are made of: "<sy,bq = u" then a
// repeating run of printable bytes with no ">" in it.
std::vector<uint8_t> NeverClosingReply(size_t length);

}  // namespace sim
