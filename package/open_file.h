// Opening a file named by a wide path with the C runtime, on both platforms.
#pragma once

#include <cstdio>

namespace package_io {

// Opens `path` for binary reading. Windows takes the wide path as it is;
// elsewhere it is converted to the multibyte form of the current locale.
// Returns null when the path is null, cannot be converted or cannot be opened.
std::FILE* OpenForReading(const wchar_t* path);

}  // namespace package_io
