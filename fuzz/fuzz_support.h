// What the fuzz targets share: a reader over the fuzzer's bytes, the clock
// that stands in for the platform's, a link that hands out scripted reads,
// and a check that stops the run with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "link/transport.h"
#include "platform/platform.h"

namespace fuzz {

// A broken promise: print it and abort, so libFuzzer keeps the input.
[[noreturn]] void Fail(const char* file, int line, const char* what);
#define FUZZ_CHECK(condition)                                       \
  do {                                                              \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition); \
  } while (0)

// Takes the input from the front: fixed-width fields, then byte runs. Past
// the end every field reads as 0 and every run as empty.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8();
  uint16_t U16();                           // little-endian
  uint32_t U32();                           // little-endian
  std::vector<uint8_t> Take(size_t count);  // at most what is left
  std::vector<uint8_t> Rest();
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The platform's clock in the fuzz programs (the link wraps TickCount and
// SleepMs): it moves only when something sleeps or a scripted read takes time.
uint32_t Now();
void Advance(uint32_t ms);

// One read's worth of bytes and the time the link took to deliver them.
struct Chunk {
  std::vector<uint8_t> bytes;
  uint32_t delayMs = 0;
};

// Reads a list of chunks: a count (mod maxChunks + 1), then for each a size
// (mod maxSize + 1), a delay (mod maxDelay + 1) and the bytes.
std::vector<Chunk> ReadChunks(ByteReader& in, unsigned maxChunks, unsigned maxSize, unsigned maxDelay);

// A link whose reads come from a script. Each Read hands out the front
// chunk (what does not fit the capacity stays for the next read, as on a
// byte stream, or is lost, as with a datagram); with nothing left it takes
// the kind's read time-out and returns 0. Writes are recorded. Chunks in
// `beforeWrite` are pending before the first write; `afterWrite[i]` becomes
// readable with write number i + 1.
class ScriptedLink : public Transport {
 public:
  explicit ScriptedLink(const wchar_t* kind = L"IP", bool datagrams = true);

  int Open() override { return open_ = 1; }
  int IsOpen() override { return open_; }
  int Close() override {
    open_ = 0;
    return 1;
  }
  int Write(const uint8_t* data, int length) override;
  uint16_t Read(uint8_t* buffer, int capacity) override;
  const wchar_t* Kind() override { return kind_; }

  std::deque<Chunk> pending;                   // readable now
  std::vector<std::vector<Chunk>> afterWrite;  // released by each write
  std::vector<std::vector<uint8_t>> writes;    // as written
  std::vector<uint8_t> delivered;              // every byte a Read handed out
  size_t deliveredAtLastWrite = 0;             // index into delivered
  bool refuseWrites = false;
  uint32_t readTimeoutMs = 10;

 private:
  const wchar_t* kind_;
  bool datagrams_;
  int open_ = 1;
};

// A window that takes every message and remembers them.
class RecordingWindow : public platform::MessageReceiver {
 public:
  struct Message {
    uint32_t id;
    platform::MessageWParam wParam;
    platform::MessageLParam lParam;
  };
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override;
  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override;
  std::vector<Message> messages;
};

// Puts `bytes` in place of the program's resources as the only resource,
// under the given name and type (the bytes are copied to a block of exactly
// their size, so a read past the end is caught).
class FuzzResource {
 public:
  FuzzResource(const wchar_t* name, const wchar_t* type, const uint8_t* data, size_t size);
  ~FuzzResource();
  FuzzResource(const FuzzResource&) = delete;
  FuzzResource& operator=(const FuzzResource&) = delete;

 private:
  uint8_t* copy_;
  platform::ResourceEntry entry_;
  platform::ResourceTable table_;
};

// Message boxes go here instead of standard error: the last one's text and
// caption, and how many came.
struct MessageBoxes {
  int count = 0;
  std::wstring text, caption;
  unsigned type = 0;
};
MessageBoxes& RecordMessageBoxes();

}  // namespace fuzz
