// One simulated TQ35B unit: its bootloader on UDP and on a pseudo-terminal,
// the line faults between it and the host, and the unit's mode.
//
// The unit runs on one thread of its own (Start/Stop); everything it does
// happens there, in arrival order, so the bootloader sees one frame at a
// time whichever line it came on. Tests and the program look at it from
// other threads through the copying accessors, which take the unit's lock.
//
// The application half (text commands on the serial line and TCP, discovery
// answers) lives in separate files and plugs in through the hooks below: the
// mode flag, the serial bytes that arrive while the application runs, and
// WriteSerial for its answers.
#pragma once

#include <ctime>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "sim/fault_injector.h"
#include "sim/unit_bootloader.h"
#include "sim/unit_frames.h"

namespace sim {

enum class UnitMode { Bootload, Application };

// Faults at chosen frames, by the number of the frame as it arrives on the
// line (from 1, resends included; LineCounters::rawFrames); 0: none.
struct PlacedFaults {
  uint32_t duplicateFrame = 0;  // reaches the unit twice
  uint32_t loseFrame = 0;       // never reaches it
  uint32_t repeatReply = 0;     // the answer to it goes out again, repeatLag later
  std::chrono::microseconds repeatLag{2000};
};

struct UnitOptions {
  // The UDP bootloader listens here only: loopback unless told otherwise
  // (tests inside a private network namespace give their own addresses).
  std::string bindAddress = "127.0.0.1";
  int udpPort = 6234;   // 0: any free port (see UdpPort); negative: no UDP
  bool serial = true;   // offer a pseudo-terminal
  std::string ptyLink;  // also reachable through this symbolic link
  // The rate the bootloader's serial line runs at; bytes that arrive while
  // the host has its end at another rate are garbage to it and dropped.
  unsigned bootloaderBitRate = 115200;
  UnitMode mode = UnitMode::Bootload;
  BootloaderOptions bootloader;
  uint64_t seed = 1;
  FaultRates incoming;  // frames from the host
  FaultRates outgoing;  // replies to the host
  // Serial bytes take their real time on the line, both ways (8N1: ten bit
  // times a byte at the host's rate).
  bool pace = false;
  // When paced, the bytes the host's end is handed at a time; 0: about a
  // millisecond and a half of line time, at most 16 bytes (a driver that
  // gathers its input in small runs), 1: each byte as it comes off the line.
  unsigned pacedChunk = 0;
  // The time the unit takes over each frame before it answers, as a real
  // unit writing its memory does, plus up to `handlingJitter` more drawn
  // from the seed. It takes one frame at a time: a frame that arrives while
  // it is busy waits its turn, so a frame that arrives twice is answered
  // twice, one handling time apart.
  std::chrono::microseconds handling{0};
  std::chrono::microseconds handlingJitter{0};
  PlacedFaults placed;
};

// What happened on the lines, below the bootloader.
struct LineCounters {
  uint32_t datagrams = 0;
  uint32_t datagramsIgnored = 0;  // arrived while the application ran
  uint32_t serialBytes = 0;
  uint32_t serialBytesWrongRate = 0;
  uint32_t serialBytesToApplication = 0;
  uint32_t rawFrames = 0;  // SOH..EOT seen, before faults
  uint32_t badFrames = 0;  // did not decode (bad CRC, cut short)
  uint32_t droppedIn = 0, corruptedIn = 0, duplicatedIn = 0, delayedIn = 0;
  uint32_t droppedOut = 0, corruptedOut = 0, duplicatedOut = 0, delayedOut = 0;
  uint32_t repliesSent = 0;    // reply frames put on a line (duplicates included)
  uint32_t serialHangups = 0;  // the host closed its end
};

class SimulatedUnit {
 public:
  explicit SimulatedUnit(const UnitOptions& options = UnitOptions());
  ~SimulatedUnit();
  SimulatedUnit(const SimulatedUnit&) = delete;
  SimulatedUnit& operator=(const SimulatedUnit&) = delete;

  // Opens the lines and starts the unit's thread. False with *error set
  // when a line cannot be opened.
  bool Start(std::string* error = nullptr);
  // Stops the thread and closes the lines (the pty link is removed).
  void Stop();

  uint16_t UdpPort() const { return udpPort_; }
  // The pseudo-terminal's slave device, and the path to give the host: the
  // link when one was asked for, else the device.
  const std::string& SlavePath() const { return slavePath_; }
  std::string SerialPath() const { return options_.ptyLink.empty() ? slavePath_ : options_.ptyLink; }
  // The bit rate the host has set on its end of the pseudo-terminal (read
  // through the master), 0 when unknown.
  unsigned HostBitRate() const;

  UnitMode Mode() const { return mode_.load(); }
  // Thread-safe; calls the mode-change handlers when the mode changes.
  void SetMode(UnitMode mode);

  // ---- hooks: set them before Start ----
  // Serial bytes heard while the application runs, with the host's rate.
  using SerialHandler = std::function<void(const uint8_t* data, size_t length, unsigned bitRate)>;
  void SetApplicationSerialHandler(SerialHandler handler) { serialHandler_ = std::move(handler); }
  // Every handler added is called, in the order added, on the thread that
  // changed the mode.
  void AddModeChangeHandler(std::function<void(UnitMode)> handler) { modeHandlers_.push_back(std::move(handler)); }
  // Called on the unit's thread after an EndUpdate has been answered.
  void SetEndUpdateHandler(std::function<void()> handler) { endUpdateHandler_ = std::move(handler); }
  // Sends raw wire bytes to the host a frame came from, past the line
  // faults. Any thread, for as long as the unit runs.
  using RawSender = std::function<void(const std::vector<uint8_t>& wire)>;
  // Lets a hostile peer (sim/hostile_peer.h) take the bootloader's reply to
  // a frame over: it gets the request and reply bodies (no CRC) and a sender
  // for that host, and returns true when it answered (or chose silence) itself.
  using ReplyHook = std::function<bool(Channel channel, const std::vector<uint8_t>& request,
                                       const std::vector<uint8_t>& reply, const RawSender& send)>;
  void SetReplyHook(ReplyHook hook) { replyHook_ = std::move(hook); }
  // Called on the unit's thread with every frame a line delivers, exactly
  // as the host sent it (SOH to EOT, escapes kept), before any line fault
  // and before the bootloader sees it.
  using FrameHook = std::function<void(Channel channel, const std::vector<uint8_t>& raw)>;
  void SetFrameHook(FrameHook hook) { frameHook_ = std::move(hook); }

  // Puts bytes on the serial line (paced when pacing is on), `after` from
  // now. Any thread.
  void WriteSerial(const uint8_t* data, size_t length,
                   std::chrono::milliseconds after = std::chrono::milliseconds::zero());

  // ---- inspection: copies, taken under the unit's lock ----
  BootloaderCounters Counters() const;
  LineCounters Line() const;
  std::vector<FrameRecord> Log() const;
  SparseMemory Program() const;
  SparseMemory Flash() const;
  uint32_t ApplicationVersion() const;
  std::vector<uint8_t> VersionStamp() const;
  bool FactoryDefaultsRestored() const;
  std::string LastText() const;
  BootloaderOptions Options() const;
  // Changes versions, identity and bootloader faults while running.
  void SetBootloaderOptions(const BootloaderOptions& options);
  // Changes the line faults while running (the generators start afresh
  // from the unit's seed); takes effect before the next frame is handled.
  void SetLineFaults(const FaultRates& incoming, const FaultRates& outgoing);
  // Runs `f` with the bootloader under the lock (for a consistent dump).
  void Inspect(const std::function<void(const UnitBootloader&, const LineCounters&)>& f) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Peer {
    Channel channel;
    sockaddr_in address;  // UDP sender
  };

  bool OpenUdp(std::string* error);
  bool OpenPty(std::string* error);
  void Run();
  void Wake();
  bool PollTimeout(timespec* timeout) const;
  void RunDueTimers();
  void RunPosted();
  void At(Clock::time_point when, std::function<void()> action);

  void ReadDatagrams();
  void ReadSerial();
  void CheckHangup();
  void FeedBootloader(const Peer& peer, const uint8_t* data, size_t length, RawFramer* framer);
  void Incoming(const Peer& peer, const std::vector<uint8_t>& arrived, uint32_t number);
  void Handle(const Peer& peer, const std::vector<uint8_t>& raw, uint32_t number);
  void Process(const Peer& peer, const std::vector<uint8_t>& raw, uint32_t number = 0);
  void Reply(const Peer& peer, std::vector<uint8_t> wire);
  void Transmit(const Peer& peer, const std::vector<uint8_t>& wire);
  RawSender RawSenderFor(const Peer& peer);
  void TransmitSerial(const std::vector<uint8_t>& bytes);
  Clock::duration LineTime(size_t bytes) const;

  UnitOptions options_;
  std::atomic<UnitMode> mode_;

  mutable std::mutex lock_;  // bootloader_ and line_
  UnitBootloader bootloader_;
  LineCounters line_;

  FaultInjector incomingFaults_;
  FaultInjector outgoingFaults_;

  int udp_ = -1;
  uint16_t udpPort_ = 0;
  int master_ = -1;
  std::string slavePath_;
  bool linkMade_ = false;
  bool hungUp_ = false;
  int wake_ = -1;  // eventfd

  RawFramer udpFramer_;
  RawFramer serialFramer_;
  std::vector<uint8_t> frameBody_;     // the frame being handled, decoded; kept for its room
  Clock::time_point serialInFree_{};   // when the incoming line is idle again
  Clock::time_point serialOutFree_{};  // when the outgoing line is idle again
  Clock::time_point busyUntil_{};      // when the unit has handled what it has
  std::mt19937_64 jitter_;

  std::multimap<Clock::time_point, std::function<void()>> timers_;
  std::mutex postedLock_;
  std::vector<std::function<void()>> posted_;

  SerialHandler serialHandler_;
  std::vector<std::function<void(UnitMode)>> modeHandlers_;
  std::function<void()> endUpdateHandler_;
  ReplyHook replyHook_;
  FrameHook frameHook_;

  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};
};

// "3.1" -> 3, 1. False for anything else.
bool ParseVersion(const std::string& text, uint8_t* major, uint8_t* minor);

}  // namespace sim
