// A link double for the frame engine's own tests: it records every write and
// hands out scripted reads, one chunk per Read call, optionally queued in
// answer to a write. It plays no unit: each test says byte for byte what
// comes back, so it states exactly what reached the wire.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "boot/bootloader_session.h"
#include "platform/platform.h"

namespace boottest {

using Bytes = std::vector<uint8_t>;

// Appends the CRC, escapes and frames a body; written independently of the
// engine's own builder.
inline Bytes WireFrame(Bytes body) {
  const uint16_t crc = Crc16(body.data(), static_cast<int>(body.size()));
  body.push_back(static_cast<uint8_t>(crc & 0xFF));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  Bytes wire{0x01};
  for (uint8_t b : body) {
    if (b == 0x01 || b == 0x04 || b == 0x10) wire.push_back(0x10);
    wire.push_back(b);
  }
  wire.push_back(0x04);
  return wire;
}

// Undoes WireFrame; the body keeps its CRC bytes.
inline Bytes Unescape(const Bytes& wire) {
  Bytes body;
  for (size_t i = 1; i + 1 < wire.size(); ++i) body.push_back(wire[i] == 0x10 ? wire[++i] : wire[i]);
  return body;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(bool* deleted = nullptr) : deleted_(deleted) {}
  ~ScriptedTransport() override {
    if (deleted_) *deleted_ = true;
  }
  int Open() override { return open = true; }
  int IsOpen() override { return open; }
  int Close() override {
    open = false;
    ++closes;
    return 1;
  }
  int Write(const uint8_t* data, int length) override {
    writes.emplace_back(data, data + length);
    if (onWrite) onWrite(*this, writes.back());
    return 1;
  }
  uint16_t Read(uint8_t* buffer, int capacity) override {
    if (++readCalls >= closeAfterReads) open = false;
    if (reads.empty()) {
      platform::SleepMs(1);  // stands in for the link's own read time-out
      return 0;
    }
    const Bytes chunk = reads.front();
    reads.pop_front();
    const size_t n = std::min(chunk.size(), static_cast<size_t>(capacity));
    if (n) std::memcpy(buffer, chunk.data(), n);
    return static_cast<uint16_t>(n);
  }
  const wchar_t* Kind() override { return L"TEST"; }

  bool open = true;
  int closes = 0;
  int readCalls = 0;
  int closeAfterReads = 1 << 30;
  std::vector<Bytes> writes;
  std::deque<Bytes> reads;  // one chunk per Read; an empty chunk reads nothing
  std::function<void(ScriptedTransport&, const Bytes&)> onWrite;

 private:
  bool* deleted_;
};

}  // namespace boottest
