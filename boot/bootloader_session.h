// The bootloader frame engine and the link it owns.
#pragma once

#include <chrono>
#include <cstdint>

#include "link/transport.h"

// Command codes as the program sends them; bit 7 (kSequenceFlag) adds a
// sequence number to the frame.
enum BootloaderCommand : uint8_t {
  ReadBootloaderVersion = 1,
  BeginApplication = 2,
  ApplicationRecords = 3,
  EndUpdate = 4,
  BeginFlashImage = 5,
  FlashImageBlock = 6,
  EndFlashImage = 7,
  WriteApplicationVersion = 8,
  ReadApplicationVersion = 9,
  TextString = 10,
  ExitBootloader = 11,
  RestoreFactoryDefaults = 12,
  ReadIdentity = 13,
};
constexpr uint8_t kSequenceFlag = 0x80;

class BootloaderSession {
 public:
  static constexpr int kFrameSize = 2048;
  static constexpr int kReadSize = 2038;

  BootloaderSession();
  ~BootloaderSession();
  BootloaderSession(const BootloaderSession&) = delete;
  BootloaderSession& operator=(const BootloaderSession&) = delete;

  // Link slot. The session owns the link it holds: a new one (or null)
  // closes and deletes the old one.
  void SetTransport(Transport* link);
  Transport* GetTransport() const { return link_; }
  int Open();
  int Close();

  // Builds the frame, sends it, resends it on time-out; true once a matching
  // reply has arrived. The reply then stays available until the next call.
  bool SendCommand(uint8_t command, const uint8_t* data, int length, uint16_t tries, uint16_t timeoutMs);
  // The reply in plain form: command code without bit 7, reply data, CRC.
  const uint8_t* ReplyData() const { return reply_; }
  uint16_t ReplyLength() const { return replyLength_; }
  // How many times the last command's frame went out.
  uint16_t Attempts() const { return attempts_; }
  // Frames the last command's wait passed over as not its reply, counting
  // bytes that came behind its reply in the same read as one more.
  uint16_t StrayFrames() const { return strayFrames_; }
  // Whether the last command's wait passed over a whole frame with this
  // command code (bit 7 left out).
  bool PassedOver(uint8_t code) const { return code < 16 && (passedOverCodes_ & (1u << code)) != 0; }
  // Microseconds from the last time the last command's frame went out to
  // its reply, less the frame's own time on the wire: how long the unit
  // took to answer. 0 when no reply came.
  uint32_t ReplyLatencyUs() const { return replyLatencyUs_; }

 private:
  // Lets the protocol tests set the sequence counter to the edge of its range.
  friend struct BootloaderSessionTestAccess;

  // Sizes of the receive side: a stored frame that reaches kRunawayLength
  // bytes without a good end is dropped, so one lost EOT cannot wedge it.
  static constexpr uint16_t kRunawayLength = 2046;

  bool BuildFrame(uint8_t command, const uint8_t* data, int length);
  int AppendPayload(uint8_t code, const uint8_t* data, int length, int at);
  void SendStep();
  bool Receive(const uint8_t* bytes, uint16_t count, uint16_t* used);
  bool ReplyMatches(uint8_t command) const;
  void NoteLatency();
  void RewriteAsPlainReply(uint8_t command);

  Transport* link_ = nullptr;
  uint8_t transmit_[kFrameSize];
  uint16_t transmitLength_ = 0;
  uint8_t reply_[kFrameSize];
  uint16_t replyLength_ = 0;
  bool escape_ = false;
  bool complete_ = false;
  bool timedOut_ = false;
  uint32_t sequence_ = 0;
  bool waiting_ = false;
  uint16_t attempts_ = 0;
  uint16_t strayFrames_ = 0;
  uint16_t passedOverCodes_ = 0;
  uint32_t replyLatencyUs_ = 0;
  std::chrono::steady_clock::time_point lastSent_{};
  uint16_t tries_ = 0;
  uint16_t triesLeft_ = 0;
  uint16_t timeoutMs_ = 0;
  uint32_t deadline_ = 0;
  uint8_t body_[kFrameSize];
  uint8_t readBuffer_[kReadSize];
};

// CRC-16 (polynomial 0x1021, initial 0, not reflected), four bits at a time.
uint16_t Crc16(const uint8_t* data, int length);
