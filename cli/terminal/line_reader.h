// One line of input, read a byte at a time so that nothing past the line
// end is taken from a pipe that others may read on. Shared by both
// platforms' terminals, which differ only in how a byte is read.
#pragma once

#include <cstddef>

#include "cli/terminal/terminal.h"

namespace cli {

// `readByte(&c)` gives false at the end of the input. The line goes into
// `buffer` without its line end (LF or CR LF), NUL-terminated; false when
// nothing was read or the line did not fit. Each byte is wiped once kept.
template <typename ReadByte>
bool ReadLineBytes(ReadByte readByte, char* buffer, size_t capacity) {
  size_t used = 0;
  bool overflow = false;
  bool any = false;
  for (;;) {
    char c;
    if (!readByte(&c)) break;
    any = true;
    if (c == '\n') break;
    if (used + 1 < capacity)
      buffer[used++] = c;
    else
      overflow = true;
    WipeMemory(&c, sizeof c);
  }
  if (used > 0 && buffer[used - 1] == '\r') --used;
  buffer[used] = '\0';
  return any && !overflow;
}

}  // namespace cli
