// The bootloader's identity text as serial discovery reads it: split into
// lines at CR, the third line's first N characters skipped, the rest
// compared with " - Bootload". Arbitrary texts and skip lengths, in a block
// of exactly the text's size; the answer is compared with a plain model.
#include <cstring>
#include <memory>
#include <string>

#include "discovery/com_discover.h"
#include "fuzz/fuzz_support.h"

namespace {

// Where the line starting at `from` ends: the next CR, a NUL, or the end.
size_t End(const std::string& t, size_t from) {
  while (from < t.size() && t[from] != '\r' && t[from] != '\0') ++from;
  return from;
}

bool Model(const std::string& t, size_t skip) {
  size_t end1 = End(t, 0);
  if (end1 >= t.size() || t[end1] != '\r') return false;
  const size_t line2 = std::min(end1 + 2, t.size());
  const size_t end2 = End(t, line2);
  if (end2 >= t.size() || t[end2] != '\r') return false;
  const size_t line3 = std::min(end2 + 2, t.size());
  const std::string third = t.substr(line3, End(t, line3) - line3);
  return third.size() >= skip && third.substr(skip) == " - Bootload";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t skip = data[0] % 48;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::unique_ptr<uint8_t[]> exact(new uint8_t[text.size()]);
  if (!text.empty()) std::memcpy(exact.get(), text.data(), text.size());
  const bool named = IdentityNamesBootloader(exact.get(), text.size(), skip);
  FUZZ_CHECK(named == Model(text, skip));
  return 0;
}
