// The HEX image: arbitrary bytes as the "P32_APPLICATION" resource. A load
// either fails and leaves the image empty, or every line of the text became
// exactly the record its digits spell, and handing the records out into
// frames of any size gives each of them once, whole, in file order.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "package/hex_manager.h"

namespace {

int Digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The records the text spells, or false when the image must refuse it: a
// character that is not a digit (blanks at the end of a line aside) or a
// record over the size limit. Only for 7-bit texts, where a byte is a
// character.
bool Model(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>* records) {
  size_t pos = 0;
  while (pos < size) {
    const size_t start = pos;
    while (pos < size && data[pos] != '\r' && data[pos] != '\n') ++pos;
    if (pos == size) break;  // a last line without a line end is not read
    size_t end = pos;
    while (pos < size && (data[pos] == '\r' || data[pos] == '\n')) ++pos;
    if (end - start > 1023) end = start + 1023;
    for (size_t i = start; i < end; ++i)
      if (data[i] == 0) end = i;  // the text ends at a NUL byte
    if (end == start) continue;
    size_t last = end;
    while (last > start + 1 && (data[last - 1] == ' ' || data[last - 1] == '\t')) --last;
    std::vector<uint8_t> record;
    for (size_t i = start + 1; i + 1 < last; i += 2) {
      const int high = Digit(data[i]), low = Digit(data[i + 1]);
      if (high < 0 || low < 0 || record.size() == CHexManager::kMaxRecordBytes) return false;
      record.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (!record.empty()) records->push_back(record);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the frame sizes the records are handed out into.
  const unsigned frame = size > 0 ? 1u + data[0] * 9u : 2048;
  fuzz::FuzzResource resource(L"P32_APPLICATION", L"HEX", data, size);
  CHexManager image;
  const bool loaded = image.LoadFromResource(L"P32_APPLICATION");
  if (!loaded) {
    FUZZ_CHECK(image.RecordCount() == 0);
    FUZZ_CHECK(image.NextRecordLength() == 0);
  }

  bool sevenBit = true;
  for (size_t i = 0; i < size; ++i) sevenBit = sevenBit && data[i] < 0x80;
  std::vector<std::vector<uint8_t>> expected;
  if (sevenBit) {
    const bool accepted = Model(data, size, &expected);
    FUZZ_CHECK(accepted == loaded);
    if (accepted) FUZZ_CHECK(expected.size() == image.RecordCount());
  }

  // Frames of `frame` bytes, filled as the update fills them.
  image.Rewind();
  std::vector<uint8_t> buffer(frame);
  uint32_t handed = 0;
  for (;;) {
    uint32_t used = 0;
    for (int i = 0; i < 8; ++i) {
      const uint16_t next = image.NextRecordLength();
      const uint16_t count = image.NextRecord(buffer.data() + used, frame - used);
      if (count == 0) {
        FUZZ_CHECK(next == 0 || next > frame - used);
        break;
      }
      FUZZ_CHECK(count == next && count <= CHexManager::kMaxRecordBytes);
      if (sevenBit) {
        FUZZ_CHECK(handed < expected.size());
        FUZZ_CHECK(expected[handed].size() == count);
        FUZZ_CHECK(std::memcmp(expected[handed].data(), buffer.data() + used, count) == 0);
      }
      ++handed;
      used += count;
    }
    if (used == 0) break;  // nothing left, or a record larger than the frame
  }
  FUZZ_CHECK(handed == image.RecordsConsumed());
  if (frame >= CHexManager::kMaxRecordBytes) FUZZ_CHECK(handed == image.RecordCount());
  FUZZ_CHECK(image.NextRecord(buffer.data(), frame) == 0);
  return 0;
}
