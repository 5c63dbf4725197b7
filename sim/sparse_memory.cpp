#include "sim/sparse_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

SparseMemory::SparseMemory(const SparseMemory& other) { *this = other; }

SparseMemory& SparseMemory::operator=(const SparseMemory& other) {
  if (this == &other) return *this;
  Clear();
  for (const auto& [base, page] : other.pages_) pages_[base] = std::make_unique<Page>(*page);
  return *this;
}

// The cached page belongs to the map it came from: a moved-from memory
// must not keep writing into pages it no longer owns.
SparseMemory::SparseMemory(SparseMemory&& other) noexcept : pages_(std::move(other.pages_)) { other.Clear(); }

SparseMemory& SparseMemory::operator=(SparseMemory&& other) noexcept {
  if (this == &other) return *this;
  pages_ = std::move(other.pages_);
  lastPage_ = nullptr;
  other.Clear();
  return *this;
}

SparseMemory::Page* SparseMemory::PageFor(uint32_t index) {
  if (lastPage_ && lastIndex_ == index) return lastPage_;
  auto& page = pages_[index];
  if (!page) {
    page = std::make_unique<Page>();
    std::memset(page->bytes, 0xFF, kPageSize);  // erased flash reads as FF
    std::memset(page->present, 0, sizeof page->present);
  }
  lastIndex_ = index;
  lastPage_ = page.get();
  return lastPage_;
}

// One page look-up per run of bytes inside a page, not one per byte: an
// update writes half a megabyte, record by record, and the unit answers each
// frame only once its bytes are stored.
void SparseMemory::Write(uint32_t address, const uint8_t* data, size_t length) {
  while (length > 0) {
    const uint32_t offset = address & (kPageSize - 1);
    const size_t run = std::min<size_t>(length, kPageSize - offset);
    Page* page = PageFor(address >> kPageBits);
    std::memcpy(page->bytes + offset, data, run);
    for (uint32_t bit = offset, end = offset + static_cast<uint32_t>(run); bit < end;) {
      const uint32_t inWord = std::min<uint32_t>(64 - bit % 64, end - bit);
      const uint64_t mask = inWord == 64 ? ~uint64_t(0) : ((uint64_t(1) << inWord) - 1) << (bit % 64);
      page->present[bit / 64] |= mask;
      bit += inWord;
    }
    address += static_cast<uint32_t>(run);  // wraps at 4 GiB
    data += run;
    length -= run;
  }
}

bool SparseMemory::Read(uint32_t address, uint8_t* value) const {
  const auto it = pages_.find(address >> kPageBits);
  if (it == pages_.end() || !it->second->Has(address & (kPageSize - 1))) return false;
  *value = it->second->bytes[address & (kPageSize - 1)];
  return true;
}

void SparseMemory::Clear() {
  pages_.clear();
  lastPage_ = nullptr;
}

size_t SparseMemory::Size() const {
  size_t n = 0;
  for (const auto& entry : pages_)
    for (uint64_t word : entry.second->present) n += static_cast<size_t>(__builtin_popcountll(word));
  return n;
}

std::vector<MemorySegment> SparseMemory::Segments() const {
  std::vector<MemorySegment> out;
  bool open = false;
  uint32_t next = 0;
  for (const auto& [index, page] : pages_) {
    for (uint32_t offset = 0; offset < kPageSize; ++offset) {
      if (!page->Has(offset)) {
        open = false;
        continue;
      }
      const uint32_t address = (index << kPageBits) | offset;
      if (!open || address != next) out.push_back(MemorySegment{address, {}});
      out.back().bytes.push_back(page->bytes[offset]);
      open = true;
      next = address + 1;
    }
  }
  return out;
}

bool SparseMemory::operator==(const SparseMemory& other) const {
  if (pages_.size() != other.pages_.size()) return false;
  for (auto a = pages_.begin(), b = other.pages_.begin(); a != pages_.end(); ++a, ++b) {
    if (a->first != b->first || std::memcmp(a->second->present, b->second->present, sizeof a->second->present) != 0)
      return false;
    for (uint32_t i = 0; i < kPageSize; ++i)
      if (a->second->Has(i) && a->second->bytes[i] != b->second->bytes[i]) return false;
  }
  return true;
}

namespace {

std::string ByteText(bool present, uint8_t value) {
  if (!present) return "none";
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

std::string FirstDifference(const SparseMemory& unit, const SparseMemory& package, const char* unitName,
                            const char* packageName) {
  if (unit == package) return "";
  // Walk both segment lists; the first address held by one and not the
  // other, or held by both with different values, is the answer.
  const auto a = unit.Segments();
  const auto b = package.Segments();
  uint64_t best = UINT64_MAX;
  auto consider = [&](const std::vector<MemorySegment>& segments) {
    for (const auto& s : segments)
      for (size_t i = 0; i < s.bytes.size(); ++i) {
        const uint32_t address = s.address + static_cast<uint32_t>(i);
        if (address >= best) break;
        uint8_t x = 0, y = 0;
        const bool hasX = unit.Read(address, &x), hasY = package.Read(address, &y);
        if (hasX != hasY || x != y) {
          best = address;
          break;
        }
      }
  };
  consider(a);
  consider(b);
  if (best == UINT64_MAX) return "";
  const uint32_t address = static_cast<uint32_t>(best);
  uint8_t x = 0, y = 0;
  const bool hasX = unit.Read(address, &x), hasY = package.Read(address, &y);
  char text[128];
  std::snprintf(text, sizeof text, "0x%08X: %s %s, %s %s", address, unitName, ByteText(hasX, x).c_str(), packageName,
                ByteText(hasY, y).c_str());
  return text;
}

}  // namespace sim
