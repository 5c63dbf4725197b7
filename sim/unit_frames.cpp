#include "sim/unit_frames.h"

#include <algorithm>

namespace sim {

namespace {
constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t DLE = 0x10;
constexpr size_t kRunaway = 2046;

// The unit has a CRC of its own, from tables derived from the polynomial
// (0x1021, initial 0, not reflected), rather than borrowing the host's: a
// fault in the host's CRC then shows as frames the unit refuses instead of
// being agreed with. Four bytes per step (table k holds the CRC of a byte
// followed by k zero bytes) keep the unit's share of each round trip small.
struct CrcTables {
  uint16_t t[4][256];
  constexpr CrcTables() : t() {
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int bit = 0; bit < 8; ++bit) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      t[0][i] = c;
    }
    for (int k = 1; k < 4; ++k)
      for (int i = 0; i < 256; ++i) t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
  }
};
constexpr CrcTables kCrc;

uint16_t FrameCrc(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  size_t i = 0;
  for (; i + 4 <= length; i += 4)
    crc = static_cast<uint16_t>(kCrc.t[3][(crc >> 8) ^ data[i]] ^ kCrc.t[2][(crc & 0xFF) ^ data[i + 1]] ^
                                kCrc.t[1][data[i + 2]] ^ kCrc.t[0][data[i + 3]]);
  for (; i < length; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrc.t[0][(crc >> 8) ^ data[i]]);
  return crc;
}
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

size_t RawFramer::Feed(const uint8_t* data, size_t length, bool* ended) {
  *ended = false;
  size_t i = 0;
  while (i < length) {
    // Inside a frame, the bytes up to the next unescaped SOH or EOT change
    // nothing but the frame itself: copy them in one go. Everything else
    // (outside a frame, control bytes, the length limit) goes byte by byte.
    size_t j = i;
    if (inFrame_) {
      const size_t end = std::min(length, i + (kLongest - std::min(kLongest, frame_.size())));
      for (; j < end; ++j) {
        const uint8_t b = data[j];
        if (escape_) {
          escape_ = false;
        } else if (b == DLE) {
          escape_ = true;
        } else if (b == SOH || b == EOT) {
          break;
        }
      }
      frame_.insert(frame_.end(), data + i, data + j);
    }
    if (j > i) {
      i = j;
      continue;
    }
    if (Feed(data[i++])) {
      *ended = true;
      return i;
    }
  }
  return length;
}

bool DecodeRawFrame(const std::vector<uint8_t>& raw, std::vector<uint8_t>* body) {
  // The body is never longer than the raw frame: fill it in place and cut it
  // to size at the end, instead of growing it a byte at a time.
  std::vector<uint8_t>& stored = *body;
  stored.resize(std::min(raw.size(), kRunaway));
  uint8_t* const out = stored.data();
  size_t n = 0;
  bool escape = false;
  for (uint8_t b : raw) {
    if (n >= kRunaway) n = 0;
    if (escape || (b != SOH && b != EOT && b != DLE)) {
      out[n++] = b;
      escape = false;
    } else if (b == SOH) {
      n = 0;
    } else if (b == EOT) {
      if (n >= 3) {
        const size_t length = n - 2;
        const uint16_t crc = FrameCrc(out, length);
        if (out[length] == (crc & 0xFF) && out[length + 1] == (crc >> 8)) {
          stored.resize(length);
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
  const uint16_t crc = FrameCrc(body.data(), body.size());
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
