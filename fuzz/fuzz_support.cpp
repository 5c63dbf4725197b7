#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstring>

// The platform's clock, replaced at link time (--wrap) in every fuzz target.
extern "C" uint32_t __wrap__ZN8platform9TickCountEv() { return fuzz::Now(); }
extern "C" void __wrap__ZN8platform7SleepMsEj(uint32_t ms) { fuzz::Advance(ms); }

namespace fuzz {

namespace {
// Starts near the wrap of the 32-bit tick count, so that deadline
// arithmetic that forgets the wrap shows up.
uint32_t g_now = 0xFFFFF000u;
}  // namespace

void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
  std::abort();
}

uint8_t ByteReader::U8() { return at_ < size_ ? data_[at_++] : 0; }

uint16_t ByteReader::U16() {
  const uint16_t low = U8();
  return static_cast<uint16_t>(low | (U8() << 8));
}

uint32_t ByteReader::U32() {
  const uint32_t low = U16();
  return low | (static_cast<uint32_t>(U16()) << 16);
}

std::vector<uint8_t> ByteReader::Take(size_t count) {
  count = std::min(count, size_ - at_);
  std::vector<uint8_t> out(data_ + at_, data_ + at_ + count);
  at_ += count;
  return out;
}

std::vector<uint8_t> ByteReader::Rest() { return Take(size_ - at_); }

uint32_t Now() { return g_now; }
void Advance(uint32_t ms) { g_now += ms; }

std::vector<Chunk> ReadChunks(ByteReader& in, unsigned maxChunks, unsigned maxSize, unsigned maxDelay) {
  std::vector<Chunk> chunks;
  const unsigned count = in.U8() % (maxChunks + 1);
  for (unsigned i = 0; i < count && in.Left() > 0; ++i) {
    Chunk c;
    const unsigned size = in.U16() % (maxSize + 1);
    c.delayMs = in.U8() % (maxDelay + 1);
    c.bytes = in.Take(size);
    chunks.push_back(std::move(c));
  }
  return chunks;
}

ScriptedLink::ScriptedLink(const wchar_t* kind, bool datagrams) : kind_(kind), datagrams_(datagrams) {}

int ScriptedLink::Write(const uint8_t* data, int length) {
  FUZZ_CHECK(length >= 0);
  FUZZ_CHECK(length == 0 || data != nullptr);
  if (refuseWrites) return 0;
  writes.emplace_back(data, data + length);
  deliveredAtLastWrite = delivered.size();
  const size_t index = writes.size() - 1;
  if (index < afterWrite.size())
    for (Chunk& c : afterWrite[index]) pending.push_back(std::move(c));
  return 1;
}

uint16_t ScriptedLink::Read(uint8_t* buffer, int capacity) {
  FUZZ_CHECK(capacity >= 0);
  if (pending.empty() || capacity == 0) {
    Advance(readTimeoutMs);
    return 0;
  }
  Chunk& front = pending.front();
  Advance(front.delayMs);
  const size_t n = std::min(front.bytes.size(), static_cast<size_t>(std::min(capacity, 0xFFFF)));
  if (n > 0) std::memcpy(buffer, front.bytes.data(), n);
  delivered.insert(delivered.end(), front.bytes.begin(), front.bytes.begin() + static_cast<long>(n));
  if (datagrams_ || n == front.bytes.size())
    pending.pop_front();
  else
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<long>(n));
  return static_cast<uint16_t>(n);
}

void RecordingWindow::Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) {
  messages.push_back({message, wParam, lParam});
}

platform::MessageResult RecordingWindow::Send(uint32_t message, platform::MessageWParam wParam,
                                              platform::MessageLParam lParam) {
  messages.push_back({message, wParam, lParam});
  return 0;
}

FuzzResource::FuzzResource(const wchar_t* name, const wchar_t* type, const uint8_t* data, size_t size)
    : copy_(new uint8_t[size ? size : 1]) {
  if (size) std::memcpy(copy_, data, size);
  entry_ = {name, type, copy_, static_cast<uint32_t>(size)};
  table_ = {&entry_, 1, nullptr, 0};
  platform::SetResourceTable(&table_);
}

FuzzResource::~FuzzResource() {
  platform::SetResourceTable(nullptr);
  delete[] copy_;
}

namespace {
int RecordBox(platform::WindowRef, const wchar_t* text, const wchar_t* caption, unsigned type, void* context) {
  auto* boxes = static_cast<MessageBoxes*>(context);
  ++boxes->count;
  boxes->text = text ? text : L"";
  boxes->caption = caption ? caption : L"";
  boxes->type = type;
  return IDOK;
}
}  // namespace

MessageBoxes& RecordMessageBoxes() {
  static MessageBoxes boxes;
  static bool installed = false;
  if (!installed) {
    platform::SetMessageBoxHandler(RecordBox, &boxes);
    installed = true;
  }
  return boxes;
}

}  // namespace fuzz
