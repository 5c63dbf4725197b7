// Decoding of Intel HEX records, in binary (as the bootloader receives them
// in a programming frame) and as text (the package file), into a sparse
// memory. Extended linear (type 04) and extended segment (type 02) addresses
// carry over from one record, and one frame, to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sparse_memory.h"

namespace sim {

// Where the next data record lands.
struct HexAddressState {
  enum class Kind { Linear, Segment };
  Kind kind = Kind::Linear;
  uint32_t base = 0;  // upper address (linear) or segment * 16
  bool operator==(const HexAddressState& o) const { return kind == o.kind && base == o.base; }
};

// Decodes binary records laid back to back: byte count, address high and
// low, type, data, checksum. Every record is checked first (length, type,
// checksum); only when all are sound are they applied, so a bad frame
// changes neither the memory nor the address state. Returns false and names
// the fault in *error otherwise. `memory` may be null to only check (the state
// then stays as it was).
bool DecodeHexRecords(const uint8_t* records, size_t length, HexAddressState* state, SparseMemory* memory,
                      std::string* error = nullptr);

// Decodes HEX text (":" lines, CR LF or LF) into memory; strict about digits,
// counts and checksums, since it is the reference the unit is compared with.
bool DecodeHexText(const char* text, size_t length, SparseMemory* memory, std::string* error = nullptr,
                   size_t* recordCount = nullptr);

}  // namespace sim
