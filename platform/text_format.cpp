#include "platform/platform.h"

namespace platform {

size_t FormatWithString(wchar_t* out, size_t capacity, const wchar_t* format, const wchar_t* value) {
  if (capacity == 0) return 0;
  size_t used = 0;
  bool substituted = false;
  auto put = [&](wchar_t c) {
    if (used + 1 < capacity) out[used++] = c;
  };
  for (const wchar_t* p = format; *p; ++p) {
    if (p[0] == L'%' && p[1] == L'%') {
      put(L'%');
      ++p;
    } else if (p[0] == L'%' && p[1] == L's' && !substituted) {
      for (const wchar_t* v = value ? value : L""; *v; ++v) put(*v);
      substituted = true;
      ++p;
    } else {
      put(*p);
    }
  }
  out[used] = 0;
  return used;
}

}  // namespace platform
