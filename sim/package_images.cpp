#include "sim/package_images.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/platform.h"
#include "sim/hex_records.h"

namespace sim {

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool BuiltIn(const wchar_t* name, const wchar_t* type, std::vector<uint8_t>* bytes) {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform::FindModuleResource(name, type, &data, &size)) return false;
  bytes->assign(data, data + size);
  return true;
}

}  // namespace

bool LoadPackageImages(const std::string& directory, PackageImages* images, std::string* error) {
  std::vector<uint8_t> hex, flash;
  const bool builtIn = directory.empty();
  const bool haveHex = builtIn ? BuiltIn(L"P32_APPLICATION", L"HEX", &hex)
                               : ReadFile(directory + "/application.hex", &hex);
  const bool haveFlash = builtIn ? BuiltIn(L"P32_FLASH", L"BIN", &flash) : ReadFile(directory + "/flash.bin", &flash);
  if (!haveHex || !haveFlash) {
    *error = !haveHex ? "no application image in the package" : "no flash image in the package";
    return false;
  }
  images->program.Clear();
  images->flash.Clear();
  std::string fault;
  if (!DecodeHexText(reinterpret_cast<const char*>(hex.data()), hex.size(), &images->program, &fault,
                     &images->hexRecords)) {
    *error = "application image: " + fault;
    return false;
  }
  images->flash.Write(kFlashImageBase, flash.data(), flash.size());
  images->flashSize = flash.size();
  return true;
}

}  // namespace sim
