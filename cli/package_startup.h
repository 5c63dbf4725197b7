// Loading the package that the program carries, as the windowed program does
// at start-up: the locale, the user-interface texts, the two properties
// texts and the images.
#pragma once

#include <string>

namespace cli {

// The texts and what the package holds. False when the package holds no
// image at all; *problem then has the package's own text for it.
bool LoadPackage(std::string* problem);
// The images themselves, for the commands that write them or show their
// figures; a worker that only asks a unit something does without.
void LoadPackageImages();

// The step name of a status line "Progress: <step>".
std::wstring StepOfStatus(const std::wstring& status);

}  // namespace cli

#include <cstdint>
#include <vector>

namespace cli {

// What the application image holds, read by walking its records once. The
// walk moves the image's cursor, so it must not run while a worker uses the
// image; it rewinds the image when done.
struct ApplicationFigures {
  std::vector<uint16_t> recordBytes;  // the size of each record as it goes to the unit
  uint32_t dataRecords = 0;
  uint64_t dataBytes = 0;    // program bytes carried by the data records
  uint64_t recordTotal = 0;  // sum of recordBytes
};
ApplicationFigures ReadApplicationFigures();

}  // namespace cli
