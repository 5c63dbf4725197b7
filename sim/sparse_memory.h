// A sparse byte memory: the simulated unit's program memory and flash, and
// the package decoded into the same form so the two compare byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// One run of consecutive written bytes.
struct MemorySegment {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

class SparseMemory {
 public:
  SparseMemory() = default;
  SparseMemory(const SparseMemory& other);
  SparseMemory& operator=(const SparseMemory& other);
  SparseMemory(SparseMemory&& other) noexcept;
  SparseMemory& operator=(SparseMemory&& other) noexcept;

  // Writes `length` bytes from `address` on; addresses wrap at 4 GiB.
  void Write(uint32_t address, const uint8_t* data, size_t length);
  // False (and *value untouched) where nothing was written.
  bool Read(uint32_t address, uint8_t* value) const;
  void Clear();
  // Number of bytes written (each address counted once).
  size_t Size() const;
  bool Empty() const { return pages_.empty(); }
  // The written bytes as runs in address order; neighbouring runs join.
  std::vector<MemorySegment> Segments() const;

  bool operator==(const SparseMemory& other) const;
  bool operator!=(const SparseMemory& other) const { return !(*this == other); }

 private:
  static constexpr uint32_t kPageBits = 12;
  static constexpr uint32_t kPageSize = 1u << kPageBits;
  static constexpr uint32_t kWords = kPageSize / 64;
  struct Page {
    uint8_t bytes[kPageSize];
    uint64_t present[kWords];  // bit i of word w: byte 64 * w + i was written
    bool Has(uint32_t offset) const { return (present[offset / 64] >> (offset % 64)) & 1; }
  };
  Page* PageFor(uint32_t index);

  std::map<uint32_t, std::unique_ptr<Page>> pages_;
  // The page written last: records arrive in address order within a frame,
  // so most writes land where the previous one did.
  uint32_t lastIndex_ = 0;
  Page* lastPage_ = nullptr;
};

// Describes the first address at which the two memories differ ("" when
// they are equal), e.g. "0x1D00B190: unit 0x12, package none".
std::string FirstDifference(const SparseMemory& unit, const SparseMemory& package, const char* unitName = "unit",
                            const char* packageName = "package");

}  // namespace sim
