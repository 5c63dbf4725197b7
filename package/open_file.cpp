#include "package/open_file.h"

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace package_io {

std::FILE* OpenForReading(const wchar_t* path) {
  if (!path) return nullptr;
#ifdef _WIN32
  return _wfopen(path, L"rb");
#else
  size_t needed = std::wcstombs(nullptr, path, 0);
  if (needed == static_cast<size_t>(-1)) return nullptr;
  std::vector<char> narrow(needed + 1);
  std::wcstombs(narrow.data(), path, narrow.size());
  return std::fopen(narrow.data(), "rb");
#endif
}

}  // namespace package_io
