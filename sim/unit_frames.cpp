#include "sim/unit_frames.h"

#include "boot/bootloader_session.h"

namespace sim {

namespace {
constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t DLE = 0x10;
constexpr size_t kRunaway = 2046;
}  // namespace

void RawFramer::Reset() {
  frame_.clear();
  inFrame_ = false;
  escape_ = false;
}

bool RawFramer::Feed(uint8_t b) {
  if (!inFrame_) {
    if (b == SOH) {
      frame_.assign(1, SOH);
      inFrame_ = true;
      escape_ = false;
    }
    return false;
  }
  if (frame_.size() >= kLongest) {  // no end in sight: give up on it
    Reset();
    return Feed(b);
  }
  frame_.push_back(b);
  if (escape_) {
    escape_ = false;
  } else if (b == DLE) {
    escape_ = true;
  } else if (b == SOH) {
    frame_.assign(1, SOH);
  } else if (b == EOT) {
    inFrame_ = false;
    return true;
  }
  return false;
}

bool DecodeRawFrame(const std::vector<uint8_t>& raw, std::vector<uint8_t>* body) {
  std::vector<uint8_t>& stored = *body;
  stored.clear();
  bool escape = false;
  for (uint8_t b : raw) {
    if (stored.size() >= kRunaway) stored.clear();
    if (escape || (b != SOH && b != EOT && b != DLE)) {
      stored.push_back(b);
      escape = false;
    } else if (b == SOH) {
      stored.clear();
    } else if (b == EOT) {
      if (stored.size() >= 3) {
        const size_t n = stored.size() - 2;
        const uint16_t crc = Crc16(stored.data(), static_cast<int>(n));
        if (stored[n] == (crc & 0xFF) && stored[n + 1] == (crc >> 8)) {
          stored.resize(n);
          return true;
        }
      }
    } else {
      escape = true;
    }
  }
  stored.clear();
  return false;
}

std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& body) {
  const uint16_t crc = Crc16(body.data(), static_cast<int>(body.size()));
  std::vector<uint8_t> wire;
  wire.reserve(body.size() * 2 + 6);
  wire.push_back(SOH);
  auto put = [&wire](uint8_t b) {
    if (b == SOH || b == EOT || b == DLE) wire.push_back(DLE);
    wire.push_back(b);
  };
  for (uint8_t b : body) put(b);
  put(static_cast<uint8_t>(crc & 0xFF));
  put(static_cast<uint8_t>(crc >> 8));
  wire.push_back(EOT);
  return wire;
}

}  // namespace sim
