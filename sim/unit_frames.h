// The unit's side of the bootloader framing: cutting the byte stream into
// raw frames, checking and unescaping a raw frame, and building replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// Splits a byte stream into raw wire frames, SOH to EOT, escapes kept as
// they came. Bytes outside a frame are line noise and are dropped. Faults
// are injected on raw frames, so that a corrupted byte can become a control
// byte just as it would on a real line.
class RawFramer {
 public:
  // True when `b` ended a frame; Frame() then holds it, SOH and EOT included.
  bool Feed(uint8_t b);
  // The same for a run of bytes: takes them up to and including the one
  // that ends a frame, and returns how many it took (all of them when no
  // frame ended). *ended tells which.
  size_t Feed(const uint8_t* data, size_t length, bool* ended);
  const std::vector<uint8_t>& Frame() const { return frame_; }
  void Reset();

 private:
  static constexpr size_t kLongest = 4200;  // twice a full frame escaped, and then some
  std::vector<uint8_t> frame_;
  bool inFrame_ = false;
  bool escape_ = false;
};

// Runs a raw frame through the same collector the host uses (SOH restarts,
// DLE escapes, an EOT ends the frame only with a good CRC). On success the
// body without its CRC is placed in *body.
bool DecodeRawFrame(const std::vector<uint8_t>& raw, std::vector<uint8_t>* body);

// Appends the CRC to the body, escapes it and frames it.
std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& body);

}  // namespace sim
