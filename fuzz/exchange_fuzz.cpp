// Exchange: one text command and its "<...>" reply, against a link whose
// reads are arbitrary bytes cut at arbitrary points, of any of the three
// kinds, with a reply buffer of any size and any time-out.
//
// Checked: nothing is written outside the buffer (it is a heap block of
// exactly the capacity); the result is always a terminated text inside it;
// an accepted reply runs from the first "<" that came after the command to
// a ">", byte for byte as it came off the link; the command goes out as it
// is, followed by CR LF on network links only.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const unsigned capacity = in.U16() % 300;
  const unsigned timeout = in.U16() % 3000;
  const uint8_t flags = in.U8();
  static const wchar_t* const kKinds[] = {L"COM", L"IP", L"TCP", L"COM"};
  const wchar_t* kind = kKinds[flags & 3];
  fuzz::ScriptedLink link(kind, (flags & 4) != 0);
  link.readTimeoutMs = 1 + (flags >> 4) % 100;
  link.refuseWrites = (flags & 8) != 0;
  for (auto& c : fuzz::ReadChunks(in, 6, 400, 0)) link.pending.push_back(std::move(c));  // stale bytes
  link.afterWrite.push_back(fuzz::ReadChunks(in, 40, 400, 120));

  const char* command = "<SY,BQ/>";
  std::unique_ptr<char[]> reply(new char[capacity ? capacity : 1]);
  std::memset(reply.get(), 0x5A, capacity ? capacity : 1);
  const int ok = link.Exchange(command, capacity ? reply.get() : nullptr, capacity, timeout);

  if (capacity == 0) {
    FUZZ_CHECK(ok == 0);
    return 0;
  }
  const void* terminator = std::memchr(reply.get(), 0, capacity);
  FUZZ_CHECK(terminator != nullptr);
  if (link.refuseWrites) {
    FUZZ_CHECK(ok == 0 && link.writes.empty());
    return 0;
  }

  // What went out: the command alone on a serial line, then CR LF elsewhere.
  const bool serial = std::wcscmp(kind, L"COM") == 0;
  FUZZ_CHECK(link.writes.size() == (serial ? 1u : 2u));
  FUZZ_CHECK(link.writes[0] == std::vector<uint8_t>(command, command + std::strlen(command)));
  if (!serial) FUZZ_CHECK(link.writes[1] == std::vector<uint8_t>({'\r', '\n'}));

  if (ok) {
    const size_t length = static_cast<const char*>(terminator) - reply.get();
    // The terminator is the one written after the ">": find the last
    // position a ">" sits before a NUL, from the start of the reply.
    FUZZ_CHECK(reply[0] == '<');
    size_t end = 0;
    for (size_t i = 1; i < capacity; ++i)
      if (reply[i] == '\0' && reply[i - 1] == '>') {
        end = i;
        break;
      }
    FUZZ_CHECK(end >= 1 && end >= length);
    // The reply is the stream from its first "<" after the command.
    std::vector<uint8_t> after(link.delivered.begin() + static_cast<long>(link.deliveredAtLastWrite),
                               link.delivered.end());
    size_t start = 0;
    while (start < after.size() && after[start] != '<') ++start;
    FUZZ_CHECK(start + end <= after.size());
    FUZZ_CHECK(std::memcmp(after.data() + start, reply.get(), end) == 0);
  }
  return 0;
}
