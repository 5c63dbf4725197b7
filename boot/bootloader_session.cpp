// The bootloader frame engine: builds a command frame, sends and resends it,
// and reassembles the reply from whatever the link hands back.
//
// Everything lives in the session's fixed buffers; nothing is allocated per
// frame, so thousands of programming frames cost no heap traffic.
#include "boot/bootloader_session.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t DLE = 0x10;

constexpr int kFlashBlockPayload = 72;
constexpr int kCrcSize = 2;
constexpr int kSequenceSize = 4;
// Command byte, sequence number and CRC around the reply data.
constexpr uint16_t kSequenceReplyOverhead = 1 + kSequenceSize + kCrcSize;

// CRC of each single nibble; four bits per step keeps the table at 16 entries.
constexpr uint16_t kCrcTable[16] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};

bool IsControlByte(uint8_t b) { return b == SOH || b == EOT || b == DLE; }

bool IsKnownCommand(uint8_t command) {
  const uint8_t code = command & static_cast<uint8_t>(~kSequenceFlag);
  return code >= ReadBootloaderVersion && code <= ReadIdentity;
}

// Tick counts wrap every 49.7 days. An unsigned "now > deadline" would fire
// at once when the deadline has wrapped past zero and never when now has, so
// the difference is read as signed: right as long as the two ticks are less
// than 2^31 ms apart, which a 16-bit time-out always is.
bool IsLaterThan(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) > 0; }

}  // namespace

namespace {

// One byte into the CRC, a nibble at a time. Folding the byte into the top
// of the register first gives the same two table indices as folding each
// nibble in at its own step ((crc >> 12) ^ (b >> 4), then the low nibble),
// but keeps that work off the chain of look-ups each step waits for.
inline uint32_t CrcAddByte(uint32_t crc, uint8_t b) {
  crc ^= static_cast<uint32_t>(b) << 8;
  crc = kCrcTable[crc >> 12] ^ ((crc << 4) & 0xFFFF);
  crc = kCrcTable[crc >> 12] ^ ((crc << 4) & 0xFFFF);
  return crc;
}

}  // namespace

uint16_t Crc16(const uint8_t* data, int length) {
  uint32_t crc = 0;
  for (int i = 0; i < length; ++i) crc = CrcAddByte(crc, data[i]);
  return static_cast<uint16_t>(crc);
}

BootloaderSession::BootloaderSession() {}

BootloaderSession::~BootloaderSession() {
  delete link_;  // a link closes itself when destroyed
  link_ = nullptr;
}

void BootloaderSession::SetTransport(Transport* link) {
  // Handing the session the link it already holds must not delete it.
  if (link == link_) return;
  if (link_) {
    if (link_->IsOpen()) link_->Close();
    delete link_;
  }
  link_ = link;
}

int BootloaderSession::Open() { return link_ ? link_->Open() : 0; }

int BootloaderSession::Close() { return link_ ? link_->Close() : 1; }

// Appends the request payload of `code` (the command without bit 7) to the
// body at `at`. Returns the new body length, or -1 when the arguments cannot
// make a valid payload or the payload would not fit the body buffer.
int BootloaderSession::AppendPayload(uint8_t code, const uint8_t* data, int length, int at) {
  const int room = kFrameSize - kCrcSize - at;
  switch (code) {
    case ApplicationRecords:
      if (length < 0 || length > room || (length > 0 && data == nullptr)) return -1;
      if (length > 0) std::memcpy(body_ + at, data, static_cast<size_t>(length));
      return at + length;
    case FlashImageBlock:
      if (data == nullptr) return -1;
      std::memcpy(body_ + at, data, kFlashBlockPayload);
      return at + kFlashBlockPayload;
    case WriteApplicationVersion:
      if (data == nullptr) return -1;
      body_[at] = data[0];
      body_[at + 1] = 0;
      body_[at + 2] = data[1];
      body_[at + 3] = 0;
      return at + 4;
    case TextString: {
      if (data == nullptr) return -1;
      // Copy up to and including the terminator, never reading past what
      // could fit: a string without one in reach is refused.
      for (int i = 0; i < room; ++i) {
        body_[at + i] = data[i];
        if (data[i] == 0) return at + i + 1;
      }
      return -1;
    }
    default:
      return at;
  }
}

// Assembles body and escaped frame. The sequence counter only moves once the
// frame is known to fit, so a refused request leaves no gap in the numbering.
bool BootloaderSession::BuildFrame(uint8_t command, const uint8_t* data, int length) {
  uint32_t sequence = sequence_;
  const uint8_t code = command & static_cast<uint8_t>(~kSequenceFlag);
  if (code == ReadBootloaderVersion) sequence = 0;  // a version query starts a new numbering

  int used = 0;
  body_[used++] = command;
  if (command & kSequenceFlag) {
    if (++sequence == 0) sequence = 1;  // 0 is never sent
    body_[used++] = static_cast<uint8_t>(sequence >> 24);
    body_[used++] = static_cast<uint8_t>(sequence >> 16);
    body_[used++] = static_cast<uint8_t>(sequence >> 8);
    body_[used++] = static_cast<uint8_t>(sequence);
  }
  used = AppendPayload(code, data, length, used);
  if (used < 0) return false;

  // The CRC and the escaping walk the body together: escaping a byte costs
  // nothing while the CRC waits for its table look-ups. The CRC's own two
  // bytes, known only at the end, are escaped like the rest.
  int out = 0;
  auto put = [this, &out](uint8_t b) {
    const int needed = IsControlByte(b) ? 2 : 1;
    if (out + needed > kFrameSize - 1) return false;  // keep room for the EOT
    if (needed == 2) transmit_[out++] = DLE;
    transmit_[out++] = b;
    return true;
  };
  transmit_[out++] = SOH;
  uint32_t crc = 0;
  for (int i = 0; i < used; ++i) {
    crc = CrcAddByte(crc, body_[i]);
    if (!put(body_[i])) return false;
  }
  body_[used] = static_cast<uint8_t>(crc);
  body_[used + 1] = static_cast<uint8_t>(crc >> 8);
  if (!put(body_[used]) || !put(body_[used + 1])) return false;
  transmit_[out++] = EOT;
  transmitLength_ = static_cast<uint16_t>(out);
  sequence_ = sequence;
  return true;
}

void BootloaderSession::SendStep() {
  const uint32_t now = platform::TickCount();
  if (!waiting_) {
    if (triesLeft_ > 0) {
      lastSent_ = std::chrono::steady_clock::now();
      link_->Write(transmit_, transmitLength_);
      --triesLeft_;
      ++attempts_;
      waiting_ = true;
      deadline_ = now + timeoutMs_;
    }
    return;
  }
  if (triesLeft_ > 0) {
    if (IsLaterThan(now, deadline_)) {
      deadline_ = now + timeoutMs_;
      lastSent_ = std::chrono::steady_clock::now();
      link_->Write(transmit_, transmitLength_);
      --triesLeft_;
      ++attempts_;
    }
    return;
  }
  timedOut_ = true;
  waiting_ = false;
}

// Feeds one read's bytes to the frame collector, stopping as soon as a frame
// with a good CRC is complete. Returns true then, with *used the bytes taken
// up to and including its EOT; otherwise every byte was taken.
bool BootloaderSession::Receive(const uint8_t* bytes, uint16_t count, uint16_t* used) {
  *used = count;
  for (uint16_t i = 0; i < count; ++i) {
    if (replyLength_ >= kRunawayLength) replyLength_ = 0;
    const uint8_t b = bytes[i];
    if (escape_ || !IsControlByte(b)) {
      reply_[replyLength_++] = b;
      escape_ = false;
    } else if (b == SOH) {
      replyLength_ = 0;
    } else if (b == EOT) {
      // A bad end is ignored: the frame may still be completed by a later
      // EOT, and the next SOH starts over anyway.
      if (replyLength_ >= 3) {
        const uint16_t bodyLength = static_cast<uint16_t>(replyLength_ - kCrcSize);
        const uint16_t crc = Crc16(reply_, bodyLength);
        if (reply_[bodyLength] == static_cast<uint8_t>(crc) &&
            reply_[bodyLength + 1] == static_cast<uint8_t>(crc >> 8)) {
          complete_ = true;
          *used = static_cast<uint16_t>(i + 1);
          return true;
        }
      }
    } else {
      escape_ = true;
    }
  }
  return false;
}

bool BootloaderSession::ReplyMatches(uint8_t command) const {
  if (reply_[0] != command) return false;
  if (!(command & kSequenceFlag)) return true;
  if (replyLength_ < kSequenceReplyOverhead) return false;
  const uint32_t echoed = (static_cast<uint32_t>(reply_[1]) << 24) | (static_cast<uint32_t>(reply_[2]) << 16) |
                          (static_cast<uint32_t>(reply_[3]) << 8) | reply_[4];
  return echoed == sequence_;
}

void BootloaderSession::NoteLatency() {
  const auto took = std::chrono::steady_clock::now() - lastSent_;
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  // On a real serial line the frame takes its line time before the unit
  // can even begin on it. A reply sooner than that shows a line that does
  // not (a virtual port, a pseudo-terminal): there the whole time is the
  // unit's.
  const long long wire = link_->WireTimeUs(transmitLength_);
  replyLatencyUs_ = static_cast<uint32_t>(us >= wire ? us - wire : us);
}

// Callers read every reply the same way whatever the mode: code, data, CRC.
void BootloaderSession::RewriteAsPlainReply(uint8_t command) {
  const uint16_t dataLength = static_cast<uint16_t>(replyLength_ - kSequenceReplyOverhead);
  body_[0] = command & static_cast<uint8_t>(~kSequenceFlag);
  std::memcpy(body_ + 1, reply_ + 1 + kSequenceSize, dataLength);
  const uint16_t crc = Crc16(body_, 1 + dataLength);
  body_[1 + dataLength] = static_cast<uint8_t>(crc);
  body_[2 + dataLength] = static_cast<uint8_t>(crc >> 8);
  replyLength_ = static_cast<uint16_t>(replyLength_ - kSequenceSize);
  std::memcpy(reply_, body_, replyLength_);
}

bool BootloaderSession::SendCommand(uint8_t command, const uint8_t* data, int length, uint16_t tries,
                                    uint16_t timeoutMs) {
  attempts_ = 0;
  strayFrames_ = 0;
  passedOverCodes_ = 0;
  replyLatencyUs_ = 0;
  if (link_ == nullptr || !link_->IsOpen()) return false;
  if (!IsKnownCommand(command)) return false;

  const uint8_t code = command & static_cast<uint8_t>(~kSequenceFlag);
  if (code == EndUpdate) {
    // The unit may restart as soon as it has the end command: one short try.
    tries = 1;
    timeoutMs = 10;
  } else if (code == ExitBootloader) {
    tries = 1;  // the unit may leave its bootloader without answering
  }
  // Zero tries would never send and never time out: the loop below would
  // wait for ever on a reply to nothing.
  if (tries == 0) return false;
  if (!BuildFrame(command, data, length)) return false;

  tries_ = tries;
  triesLeft_ = tries;
  timeoutMs_ = timeoutMs;
  waiting_ = false;
  // A reply accepted in the same pass as the last try's time-out leaves the
  // flag set; it must not cut the next command short.
  timedOut_ = false;
  complete_ = false;

  for (;;) {
    SendStep();
    const uint16_t count = link_->Read(readBuffer_, kReadSize);
    // A frame that is not ours (a duplicate or late reply to an earlier
    // command, or one for another command) may share the read with our
    // reply behind it: the rest of the read is still looked at, or that
    // reply would be lost and the command would wait out its time-out. What
    // follows our own reply is dropped.
    uint16_t at = 0;
    uint16_t used = 0;
    while (at < count && Receive(readBuffer_ + at, static_cast<uint16_t>(count - at), &used)) {
      at = static_cast<uint16_t>(at + used);
      complete_ = false;
      if (ReplyMatches(command)) {
        NoteLatency();
        if (at < count) ++strayFrames_;  // more came behind it
        if (command & kSequenceFlag) RewriteAsPlainReply(command);
        waiting_ = false;
        triesLeft_ = 0;
        timedOut_ = false;
        return true;
      }
      // Not ours: it is overwritten by the next SOH. It does not hold off
      // the end of the wait either, or a stream of foreign frames could keep
      // the exchange going for ever.
      ++strayFrames_;
      const uint8_t strayCode = reply_[0] & static_cast<uint8_t>(~kSequenceFlag);
      if (strayCode < 16) passedOverCodes_ = static_cast<uint16_t>(passedOverCodes_ | (1u << strayCode));
    }
    if (!timedOut_ && link_->IsOpen()) continue;
    timedOut_ = false;
    complete_ = false;
    return false;
  }
}
