// The update package as the unit should hold it after a full update: the
// application HEX image decoded into program memory and the flash image at
// its flash address. Read from the program's own built-in package, or from
// a folder holding application.hex and flash.bin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sparse_memory.h"

namespace sim {

constexpr uint32_t kFlashImageBase = 0x40000;

struct PackageImages {
  SparseMemory program;
  SparseMemory flash;
  size_t hexRecords = 0;
  size_t flashSize = 0;
};

// directory "" means the built-in package. False with *error set when an
// image is missing or the HEX text does not decode.
bool LoadPackageImages(const std::string& directory, PackageImages* images, std::string* error);

}  // namespace sim
