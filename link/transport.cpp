// Exchange: one text command and one "<...>" reply, the same for every link.
#include "link/transport.h"

#include <chrono>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace {

// Read reports its count in 16 bits and takes an int capacity, so no single
// read may ask for more than both can carry.
int ReadSize(unsigned wanted) { return wanted > 0xFFFFu ? 0xFFFF : static_cast<int>(wanted); }

// Where the reply starts among the new bytes, or -1.
int FindFirst(const char* bytes, unsigned count, char wanted) {
  for (unsigned i = 0; i < count; ++i)
    if (bytes[i] == wanted) return static_cast<int>(i);
  return -1;
}

int FindLast(const char* bytes, unsigned count, char wanted) {
  for (unsigned i = count; i > 0; --i)
    if (bytes[i - 1] == wanted) return static_cast<int>(i - 1);
  return -1;
}

}  // namespace

int Transport::Exchange(const char* command, char* reply, unsigned capacity, unsigned timeoutMs) {
  // Without room for at least the terminator there is nothing we could hand
  // back, and capacity - 1 below would run far past the buffer.
  if (reply == nullptr || capacity == 0) return 0;
  uint8_t* buffer = reinterpret_cast<uint8_t*>(reply);

  // Whatever the unit said before our command is not the answer to it. A
  // line that never falls quiet must not keep the command from going out
  // (nor its caller waiting for ever): the drain ends once it has taken the
  // exchange's own time-out.
  const uint32_t drainStart = platform::TickCount();
  while (Read(buffer, ReadSize(capacity)) != 0) {
    if (platform::TickCount() - drainStart >= timeoutMs) break;
  }

  const size_t commandLength = command ? std::strlen(command) : 0;
  if (Write(reinterpret_cast<const uint8_t*>(command ? command : ""), static_cast<int>(commandLength)) == 0) {
    reply[0] = '\0';  // the drain left old bytes there; they are no reply
    return 0;
  }
  // Over the network a command is a line; on the serial line the unit takes
  // the command as it stands, with nothing after it.
  if (std::wcscmp(Kind(), L"COM") != 0) Write(reinterpret_cast<const uint8_t*>("\r\n"), 2);

  const uint32_t start = platform::TickCount();
  platform::SleepMs(10);

  unsigned fill = 0;
  bool begun = false;
  unsigned budget = timeoutMs;
  for (;;) {
    std::memset(buffer + fill, 0, capacity - fill);
    unsigned n = ReadText(buffer + fill, ReadSize(capacity - 1 - fill));
    if (n > capacity - 1 - fill) n = capacity - 1 - fill;  // a link that claims more than it was given
    if (n != 0) {
      if (!begun) {
        const int at = FindFirst(reply + fill, n, '<');
        if (at >= 0) {
          // Everything before the "<" is noise, also what earlier passes kept.
          const unsigned from = fill + static_cast<unsigned>(at);
          const unsigned kept = fill + n - from;
          std::memmove(buffer, buffer + from, kept);
          // Clear what the move left behind, so that a reply that never ends
          // reads back as exactly the bytes kept.
          std::memset(buffer + kept, 0, capacity - kept);
          fill = 0;
          n = kept;
          begun = true;
        }
      }
      if (begun) {
        const int end = FindLast(reply + fill, n, '>');
        if (end >= 0) {
          reply[fill + static_cast<unsigned>(end) + 1] = '\0';
          return 1;
        }
      }
      fill += n;
    }
    // The whole time since the start is charged again in every pass, so a
    // silent link gives up well before the nominal time-out.
    const uint32_t elapsed = platform::TickCount() - start;
    budget = elapsed < budget ? budget - elapsed : 0;
    if (budget == 0) return 0;
  }
}

uint16_t Transport::ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(waitUs);
  for (;;) {
    const uint16_t n = ReadPending(buffer, capacity);
    if (n != 0 || !IsOpen()) return n;
    const Clock::duration left = end - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Whole milliseconds are slept (the system's timer is no finer); the
    // last one is spent looking, giving the processor away between looks.
    if (left > std::chrono::milliseconds(2))
      platform::SleepMs(1);
    else
      platform::YieldThread();
  }
}
