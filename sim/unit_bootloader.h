// The simulated unit's bootloader: it executes decoded command frames
// against a memory model and keeps a log of what it heard. It knows nothing
// of sockets or terminals (SimulatedUnit feeds it); it is not thread-safe on
// its own (SimulatedUnit serialises every call).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/hex_records.h"
#include "sim/sparse_memory.h"

namespace sim {

enum class Channel { Udp, Serial };

struct BootloaderOptions {
  uint8_t versionMajor = 3;
  uint8_t versionMinor = 1;
  // A third byte in the version reply tells the host that numbered
  // (bit 7) frames are understood; without it such frames go unanswered.
  bool sequenceSupport = true;
  // ReadApplicationVersion before any WriteApplicationVersion: minor in the
  // low 16 bits, major in the high 16; 0xFFFFFFFF for none.
  uint32_t applicationVersion = 0xFFFFFFFF;
  std::string identity = "TQ35B Bootloader\r\nV3.1\r\nVarno TQ35B - Bootload\r\n";
  // Whether ExitBootloader is answered before the unit leaves.
  bool answerExit = true;
  // Frames are numbered from 1 as they arrive (resends and duplicates
  // included). -1 disables each.
  // The first status reply to a frame numbered N or later says 0 (failure)
  // and the command is not carried out.
  long status0At = -1;
  // Frames numbered N or later are neither carried out nor answered (the
  // unit lost power); 0 and 1 both mean from the very first frame.
  long silentFrom = -1;
};

// One frame as the bootloader saw it.
struct FrameRecord {
  enum class Outcome {
    Executed,    // carried out (or failed by the status0At fault) and answered
    Repeated,    // a resend of a numbered frame already carried out: answered again, not executed
    Silenced,    // arrived during the power loss
    Unsupported  // unknown code, or numbered while sequence numbers are off
  };
  uint32_t number = 0;
  Channel channel = Channel::Udp;
  uint8_t code = 0;  // as received, bit 7 included
  bool sequenced = false;
  uint32_t sequence = 0;
  uint16_t payloadSize = 0;
  Outcome outcome = Outcome::Executed;
  bool answered = false;
  int status = -1;  // the status byte answered, -1 for replies without one
};

struct CommandCount {
  uint32_t received = 0;
  uint32_t executed = 0;
};

struct BootloaderCounters {
  uint32_t framesReceived = 0;  // good frames, resends and duplicates included
  uint32_t framesExecuted = 0;
  uint32_t framesRepeated = 0;
  uint32_t framesSilenced = 0;
  uint32_t framesUnsupported = 0;
  uint32_t repliesMade = 0;
  uint32_t updatesEnded = 0;
  uint32_t programErases = 0;
  uint32_t flashErases = 0;
  uint32_t badRecordFrames = 0;             // programming frames answered with status 0
  uint32_t failuresInjected = 0;            // status 0 answered by the status0At fault
  std::array<CommandCount, 256> perCode{};  // by code as received
};

// What the caller is to do after a frame.
struct FrameResult {
  bool answer = false;
  std::vector<uint8_t> replyBody;  // command, sequence, data; no CRC
  bool leaveBootloader = false;
  bool updateEnded = false;
};

class UnitBootloader {
 public:
  explicit UnitBootloader(const BootloaderOptions& options = BootloaderOptions());

  // A frame body with a good CRC (the CRC already removed).
  FrameResult Handle(Channel channel, const uint8_t* body, size_t length);

  const BootloaderOptions& Options() const { return options_; }
  // New versions, identity or faults; a status0At fault is armed afresh.
  void SetOptions(const BootloaderOptions& options);

  const SparseMemory& Program() const { return program_; }
  const SparseMemory& Flash() const { return flash_; }
  uint32_t ApplicationVersion() const { return applicationVersion_; }
  // The four bytes of the last WriteApplicationVersion; empty if none came.
  const std::vector<uint8_t>& VersionStamp() const { return versionStamp_; }
  bool FactoryDefaultsRestored() const { return factoryDefaults_; }
  const std::string& LastText() const { return lastText_; }
  const BootloaderCounters& Counters() const { return counters_; }
  // The newest frames (at most kLogLimit), oldest first.
  const std::deque<FrameRecord>& Log() const { return log_; }

  static constexpr size_t kLogLimit = 100000;

 private:
  // A numbered frame already carried out, kept so that a resend of it gets
  // the same answer instead of running again.
  struct Remembered {
    uint32_t sequence;
    std::vector<uint8_t> body;
    std::vector<uint8_t> reply;
  };
  static constexpr size_t kRemembered = 16;

  std::vector<uint8_t> Execute(uint8_t code, const uint8_t* payload, size_t size, FrameResult* result);
  std::vector<uint8_t> ProgramRecords(const uint8_t* payload, size_t size);
  void Record(const FrameRecord& record);

  BootloaderOptions options_;
  SparseMemory program_;
  SparseMemory flash_;
  HexAddressState hexState_;
  // The last programming frame and the address state it started from: in
  // plain mode a resend cannot be told from a new frame, so an identical
  // frame is replayed from the same starting state and lands where the
  // first one did.
  std::vector<uint8_t> lastRecords_;
  HexAddressState lastRecordsStart_;
  uint32_t applicationVersion_;
  std::vector<uint8_t> versionStamp_;
  bool factoryDefaults_ = false;
  bool status0Pending_;
  std::string lastText_;
  // A ring of the last kRemembered, reused in place so that remembering a
  // frame costs no allocation once the ring has been round once.
  std::array<Remembered, kRemembered> remembered_;
  size_t rememberedCount_ = 0;
  size_t rememberedNext_ = 0;
  BootloaderCounters counters_;
  std::deque<FrameRecord> log_;
};

const char* CommandName(uint8_t code);

}  // namespace sim
