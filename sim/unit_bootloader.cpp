#include "sim/unit_bootloader.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kSequenceBit = 0x80;
constexpr uint8_t kSuccess = 1;
constexpr uint8_t kFailure = 0;
constexpr size_t kFlashBlockSize = 72;
constexpr size_t kFlashBlockData = 64;

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Commands whose reply is a status byte the host looks at.
bool HasStatusReply(uint8_t code) {
  switch (code) {
    case 2:
    case 3:
    case 5:
    case 6:
    case 7:
    case 8:
    case 12:
      return true;
    default:
      return false;
  }
}

}  // namespace

const char* CommandName(uint8_t code) {
  static const char* const kNames[] = {
      "",
      "ReadBootloaderVersion",
      "BeginApplication",
      "ApplicationRecords",
      "EndUpdate",
      "BeginFlashImage",
      "FlashImageBlock",
      "EndFlashImage",
      "WriteApplicationVersion",
      "ReadApplicationVersion",
      "TextString",
      "ExitBootloader",
      "RestoreFactoryDefaults",
      "ReadIdentity",
  };
  const uint8_t plain = code & static_cast<uint8_t>(~kSequenceBit);
  return plain >= 1 && plain <= 13 ? kNames[plain] : "unknown";
}

UnitBootloader::UnitBootloader(const BootloaderOptions& options)
    : options_(options), applicationVersion_(options.applicationVersion), status0Pending_(options.status0At >= 0) {}

void UnitBootloader::SetOptions(const BootloaderOptions& options) {
  options_ = options;
  status0Pending_ = options.status0At >= 0;
}

void UnitBootloader::Record(const FrameRecord& record) {
  if (log_.size() >= kLogLimit) log_.pop_front();
  log_.push_back(record);
}

std::vector<uint8_t> UnitBootloader::ProgramRecords(const uint8_t* payload, size_t size) {
  const bool replay = !lastRecords_.empty() && lastRecords_.size() == size &&
                      std::equal(lastRecords_.begin(), lastRecords_.end(), payload);
  HexAddressState state = replay ? lastRecordsStart_ : hexState_;
  const HexAddressState start = state;
  if (!DecodeHexRecords(payload, size, &state, &program_)) {
    ++counters_.badRecordFrames;
    return {kFailure};
  }
  hexState_ = state;
  lastRecordsStart_ = start;
  lastRecords_.assign(payload, payload + size);
  return {kSuccess};
}

std::vector<uint8_t> UnitBootloader::Execute(uint8_t code, const uint8_t* payload, size_t size, FrameResult* result) {
  switch (code) {
    case 1: {  // ReadBootloaderVersion
      std::vector<uint8_t> reply{options_.versionMajor, options_.versionMinor};
      if (options_.sequenceSupport) reply.push_back(1);
      return reply;
    }
    case 2:  // BeginApplication: erase program memory
      program_.Clear();
      hexState_ = HexAddressState();
      lastRecords_.clear();
      ++counters_.programErases;
      return {kSuccess};
    case 3:
      return ProgramRecords(payload, size);
    case 4:
      ++counters_.updatesEnded;
      result->updateEnded = true;
      return {kSuccess};
    case 5:  // BeginFlashImage: erase the flash
      flash_.Clear();
      ++counters_.flashErases;
      return {kSuccess};
    case 6: {  // address LE32, count LE32, 64 data bytes
      if (size != kFlashBlockSize) return {kFailure};
      const uint32_t address = LittleEndian32(payload);
      const uint32_t count = LittleEndian32(payload + 4);
      if (count > kFlashBlockData) return {kFailure};
      flash_.Write(address, payload + 8, count);
      return {kSuccess};
    }
    case 7:
      return {kSuccess};
    case 8:
      // Bytes 0-1 and 2-3 are minor and major, each 16 bits little-endian,
      // so the stamp read as one 32-bit little-endian word is exactly what
      // ReadApplicationVersion reports: minor | major << 16.
      if (size != 4) return {kFailure};
      versionStamp_.assign(payload, payload + 4);
      applicationVersion_ = LittleEndian32(payload);
      return {kSuccess};
    case 9: {
      const uint32_t v = applicationVersion_;
      return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
              static_cast<uint8_t>(v >> 24)};
    }
    case 10: {
      const uint8_t* end = std::find(payload, payload + size, 0);
      lastText_.assign(payload, end);
      return {kSuccess};
    }
    case 11:
      result->leaveBootloader = true;
      return {kSuccess};
    case 12:
      factoryDefaults_ = true;
      return {kSuccess};
    case 13:
      return std::vector<uint8_t>(options_.identity.begin(), options_.identity.end());
    default:
      return {};
  }
}

FrameResult UnitBootloader::Handle(Channel channel, const uint8_t* body, size_t length) {
  FrameResult result;
  if (length == 0) return result;
  FrameRecord record;
  record.number = ++counters_.framesReceived;
  record.channel = channel;
  record.code = body[0];
  record.sequenced = (body[0] & kSequenceBit) != 0;
  ++counters_.perCode[body[0]].received;

  const uint8_t code = body[0] & static_cast<uint8_t>(~kSequenceBit);
  const size_t header = record.sequenced ? 5 : 1;
  if (record.sequenced && length >= 5)
    record.sequence = (static_cast<uint32_t>(body[1]) << 24) | (static_cast<uint32_t>(body[2]) << 16) |
                      (static_cast<uint32_t>(body[3]) << 8) | body[4];
  record.payloadSize = static_cast<uint16_t>(length > header ? length - header : 0);

  if (code < 1 || code > 13 || length < header || (record.sequenced && !options_.sequenceSupport)) {
    record.outcome = FrameRecord::Outcome::Unsupported;
    ++counters_.framesUnsupported;
    Record(record);
    return result;
  }
  if (options_.silentFrom >= 0 && static_cast<long>(record.number) >= options_.silentFrom) {
    record.outcome = FrameRecord::Outcome::Silenced;
    ++counters_.framesSilenced;
    Record(record);
    return result;
  }

  if (record.sequenced) {
    for (size_t i = 0; i < rememberedCount_; ++i) {
      const Remembered& r = remembered_[i];
      if (r.sequence == record.sequence && r.body.size() == length && std::equal(r.body.begin(), r.body.end(), body)) {
        record.outcome = FrameRecord::Outcome::Repeated;
        record.answered = true;
        record.status = HasStatusReply(code) && r.reply.size() > header ? r.reply[header] : -1;
        ++counters_.framesRepeated;
        ++counters_.repliesMade;
        Record(record);
        result.answer = true;
        result.replyBody = r.reply;
        return result;
      }
    }
  } else {
    // A plain frame starts a new conversation (the host's numbering begins
    // again after its version query): older numbers mean nothing now.
    rememberedCount_ = rememberedNext_ = 0;
  }

  std::vector<uint8_t> data;
  if (HasStatusReply(code) && status0Pending_ && static_cast<long>(record.number) >= options_.status0At) {
    status0Pending_ = false;
    data = {kFailure};
    ++counters_.failuresInjected;
  } else {
    data = Execute(code, body + header, length - header, &result);
    ++counters_.perCode[body[0]].executed;
    ++counters_.framesExecuted;
  }
  record.outcome = FrameRecord::Outcome::Executed;
  if (HasStatusReply(code)) record.status = data.empty() ? -1 : data[0];

  result.replyBody.assign(body, body + header);
  result.replyBody.insert(result.replyBody.end(), data.begin(), data.end());
  result.answer = !(code == 11 && !options_.answerExit);
  record.answered = result.answer;
  if (result.answer) ++counters_.repliesMade;
  if (record.sequenced) {
    Remembered& slot = remembered_[rememberedNext_];
    slot.sequence = record.sequence;
    slot.body.assign(body, body + length);
    slot.reply = result.replyBody;
    rememberedNext_ = (rememberedNext_ + 1) % kRemembered;
    rememberedCount_ = std::min(rememberedCount_ + 1, kRemembered);
  }
  Record(record);
  return result;
}

}  // namespace sim
