#include "package/loadable_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "package/open_file.h"
#include "platform/platform.h"

namespace {

bool IsLineEnd(uint8_t byte) { return byte == '\r' || byte == '\n'; }

// The conversion of a line that the runtime refused as a whole: character by
// character, a byte that starts no valid sequence standing for itself, so a
// stray byte costs one character instead of the whole line.
size_t ConvertByCharacter(const char* text, size_t count, wchar_t* out) {
  std::mbstate_t state{};
  size_t written = 0;
  size_t i = 0;
  while (i < count) {
    wchar_t wide = 0;
    size_t used = std::mbrtowc(&wide, text + i, count - i, &state);
    if (used == 0) break;  // a NUL byte ends the text, as in the whole-line conversion
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
      wide = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
      used = 1;
      state = std::mbstate_t{};
    }
    out[written++] = wide;
    i += used;
  }
  return written;
}

}  // namespace

bool LoadableText::Reset() { return true; }

bool LoadableText::HandLine(const uint8_t* bytes, size_t count) {
  // A longer line is cut: no multibyte character is shorter than one byte,
  // so the converted text fits the line buffer.
  if (count > kMaxLineLength) count = kMaxLineLength;
  char text[kMaxLineLength + 1];
  std::memcpy(text, bytes, count);
  text[count] = '\0';
  // The resource texts are 8-bit, read in the code page of the user's locale.
  size_t written = std::mbstowcs(line_, text, kMaxLineLength);
  if (written == static_cast<size_t>(-1)) written = ConvertByCharacter(text, count, line_);
  line_[written] = L'\0';
  if (written == 0) return true;
  return ParseLine(line_);
}

bool LoadableText::ParseBytes(const uint8_t* data, size_t size, bool readLastLine) {
  size_t pos = 0;
  while (pos < size) {
    size_t start = pos;
    while (pos < size && !IsLineEnd(data[pos])) ++pos;
    if (pos == size && !readLastLine) break;
    size_t end = pos;
    while (pos < size && IsLineEnd(data[pos])) ++pos;
    if (!HandLine(data + start, end - start)) return false;
  }
  return true;
}

bool LoadableText::LoadFromResource(const wchar_t* name, const wchar_t* type) {
  if (!Reset()) return false;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform::FindModuleResource(name, type, &data, &size)) return false;
  return ParseBytes(data, size, false);
}

bool LoadableText::LoadFromFile(const wchar_t* path) {
  if (!Reset()) return false;
  std::FILE* file = package_io::OpenForReading(path);
  if (!file) return false;
  // Read whole, then split exactly like a resource: the same line rules
  // (CR, LF or both; the length limit) whichever way the text arrives.
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  bool readFailed = std::ferror(file) != 0;
  std::fclose(file);
  if (readFailed) return false;
  return ParseBytes(bytes.data(), bytes.size(), true);
}
