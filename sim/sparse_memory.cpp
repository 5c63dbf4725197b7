#include "sim/sparse_memory.h"

#include <cstdio>
#include <cstring>

namespace sim {

SparseMemory::SparseMemory(const SparseMemory& other) { *this = other; }

SparseMemory& SparseMemory::operator=(const SparseMemory& other) {
  if (this == &other) return *this;
  pages_.clear();
  for (const auto& [base, page] : other.pages_) pages_[base] = std::make_unique<Page>(*page);
  return *this;
}

void SparseMemory::Write(uint32_t address, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    auto& page = pages_[at >> kPageBits];
    if (!page) {
      page = std::make_unique<Page>();
      std::memset(page->bytes, 0xFF, kPageSize);  // erased flash reads as FF
    }
    page->bytes[at & (kPageSize - 1)] = data[i];
    page->present.set(at & (kPageSize - 1));
  }
}

bool SparseMemory::Read(uint32_t address, uint8_t* value) const {
  const auto it = pages_.find(address >> kPageBits);
  if (it == pages_.end() || !it->second->present.test(address & (kPageSize - 1))) return false;
  *value = it->second->bytes[address & (kPageSize - 1)];
  return true;
}

void SparseMemory::Clear() { pages_.clear(); }

size_t SparseMemory::Size() const {
  size_t n = 0;
  for (const auto& entry : pages_) n += entry.second->present.count();
  return n;
}

std::vector<MemorySegment> SparseMemory::Segments() const {
  std::vector<MemorySegment> out;
  bool open = false;
  uint32_t next = 0;
  for (const auto& [index, page] : pages_) {
    for (uint32_t offset = 0; offset < kPageSize; ++offset) {
      if (!page->present.test(offset)) {
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
    if (a->first != b->first || a->second->present != b->second->present) return false;
    for (uint32_t i = 0; i < kPageSize; ++i)
      if (a->second->present.test(i) && a->second->bytes[i] != b->second->bytes[i]) return false;
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
