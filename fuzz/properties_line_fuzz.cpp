// The properties text: arbitrary bytes as the "UNIT" resource, loaded into a
// fresh container. Besides memory safety, the entries are compared with a
// plain model of the line rules whenever the text is 7-bit (so that the
// locale's conversion plays no part).
#include <cstring>
#include <cwchar>
#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "package/properties_container.h"

namespace {

constexpr size_t kLine = 1023;
constexpr size_t kText = PropertiesContainer::kMaxTextLength;

bool IsBlank(wchar_t c) { return c == L'\t' || c == L' '; }

std::wstring Trimmed(std::wstring s) {
  while (!s.empty() && IsBlank(s.back())) s.pop_back();
  size_t start = 0;
  while (start < s.size() && IsBlank(s[start])) ++start;
  return s.substr(start);
}

// Key and value of one line, the way the package's texts are meant: key up
// to the first "=", "\n" the only escape, blanks trimmed, each cut to the
// text limit (leading blanks do not count against it).
void ModelLine(const std::wstring& line, std::wstring* key, std::wstring* value) {
  size_t at = 0;
  while (at < line.size() && IsBlank(line[at])) ++at;
  std::wstring k;
  while (at < line.size() && line[at] != L'=') {
    if (k.size() < kText) k += line[at];
    ++at;
  }
  std::wstring v;
  if (at < line.size()) {
    ++at;
    while (at < line.size() && IsBlank(line[at])) ++at;
    while (at < line.size()) {
      wchar_t c = line[at++];
      if (c == L'\\' && at < line.size() && line[at] == L'n') {
        c = L'\n';
        ++at;
      }
      if (v.size() < kText) v += c;
    }
  }
  *key = Trimmed(k);
  *value = Trimmed(v);
}

// Lines as the resource loader cuts them: runs of CR and LF end a line, the
// bytes after the last line end are not read, a line is cut to 1023 bytes
// and ends at a NUL byte; empty lines are skipped.
std::map<std::wstring, std::wstring> Model(const uint8_t* data, size_t size) {
  std::map<std::wstring, std::wstring> entries;
  size_t pos = 0;
  while (pos < size) {
    const size_t start = pos;
    while (pos < size && data[pos] != '\r' && data[pos] != '\n') ++pos;
    if (pos == size) break;
    size_t end = pos;
    while (pos < size && (data[pos] == '\r' || data[pos] == '\n')) ++pos;
    if (end - start > kLine) end = start + kLine;
    std::wstring line;
    for (size_t i = start; i < end && data[i] != 0; ++i) line += static_cast<wchar_t>(data[i]);
    if (line.empty()) continue;
    std::wstring key, value;
    ModelLine(line, &key, &value);
    entries.emplace(key, value);  // the first definition wins
  }
  return entries;
}

bool SevenBit(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (data[i] >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzResource resource(L"UNIT", L"PROPERTIES", data, size);
  PropertiesContainer properties;
  FUZZ_CHECK(properties.LoadFromResource(L"UNIT"));

  // Lookups never fail and never hand back null.
  for (const wchar_t* key : {L"model", L"announce-model", L"server-fw-version", L"", L"=", L"absent key"}) {
    const wchar_t* value = properties.Get(key);
    FUZZ_CHECK(value != nullptr);
    FUZZ_CHECK(std::wcslen(value) <= kText);
    const wchar_t* found = properties.Find(key);
    FUZZ_CHECK(found == nullptr || found == value);
  }

  if (SevenBit(data, size)) {
    for (const auto& entry : Model(data, size)) {
      const wchar_t* found = properties.Find(entry.first.c_str());
      FUZZ_CHECK(found != nullptr);
      FUZZ_CHECK(entry.second == found);
    }
  }

  // A second load adds to what is there and keeps the first values.
  const std::wstring model = properties.Get(L"model");
  FUZZ_CHECK(properties.LoadFromResource(L"UNIT"));
  FUZZ_CHECK(model == properties.Get(L"model"));
  return 0;
}
