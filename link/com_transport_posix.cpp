// The serial link on Linux: the port device name is a path to a terminal
// device (a serial port, a pseudo-terminal, or a link to one).
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cwchar>

#include "link/com_transport.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadWaitMs = 5;
constexpr Clock::duration kReadWait = std::chrono::milliseconds(kReadWaitMs);
constexpr uint32_t kWriteConstantMs = 500;
constexpr uint32_t kWritePerByteMs = 1;

bool SpeedConstant(int bitRate, speed_t* speed) {
  static const struct {
    int rate;
    speed_t constant;
  } kRates[] = {
      {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000},
  };
  for (const auto& entry : kRates)
    if (entry.rate == bitRate) {
      *speed = entry.constant;
      return true;
    }
  return false;
}

// The Windows serial driver hands every byte through untouched: it has no
// line discipline. A terminal device does, and a freshly opened one (a
// pseudo-terminal above all) starts out cooking lines, echoing and mapping
// CR/LF, which would mangle a binary protocol. Raw mode is therefore what
// "the port's own settings" mean for the bytes; the line format is ours, and
// modem lines and hardware flow control stay as the port reports them.
void ApplyLineSettings(termios* t, speed_t speed) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  t->c_cflag |= CS8 | CREAD;  // a Windows port always receives
  // Reads never wait inside the driver; Read does its own 5 ms wait.
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
  cfsetispeed(t, speed);
  cfsetospeed(t, speed);
}

bool NarrowPath(const wchar_t* name, char* path, size_t capacity) {
  const size_t length = std::wcstombs(path, name, capacity);
  return length != static_cast<size_t>(-1) && length < capacity && length > 0;
}

}  // namespace

int COMTransport::Open() {
  if (IsOpen()) Close();
  if (nameTruncated_) return 0;
  speed_t speed;
  if (!SpeedConstant(bitRate_, &speed)) return 0;
  char path[PATH_MAX];
  if (!NarrowPath(portName_, path, sizeof path)) return 0;

  // Non-blocking, so that neither the open nor a write can hang on a line
  // that never comes ready; Read and Write bound their own waits with poll.
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;

  // Exclusive like a Windows port. TIOCEXCL keeps other programs out but not
  // a privileged one; the advisory lock also keeps our own second link out,
  // in this process or another, whoever runs it.
  termios settings{};
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &settings) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return 0;
  }
  ApplyLineSettings(&settings, speed);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    ioctl(fd, TIOCNXCL);
    close(fd);
    return 0;
  }
  port_ = fd;
  return IsOpen();
}

int COMTransport::Close() {
  if (port_ != kClosed) {
    // The exclusive flag belongs to the terminal, not to our descriptor, and
    // would outlive it while the far end (a pseudo-terminal's master) stays.
    ioctl(port_, TIOCNXCL);
    close(port_);  // releases the lock too
    port_ = kClosed;
  }
  return 1;
}

int COMTransport::Write(const uint8_t* data, int length) {
  if (port_ == kClosed || data == nullptr || length <= 0) return 1;
  // The same bound as the Windows write time-outs: 500 ms plus 1 ms a byte.
  // Running out of time is not a failure there either; the rest is dropped.
  const uint32_t start = platform::TickCount();
  const uint32_t allowed = kWriteConstantMs + kWritePerByteMs * static_cast<uint32_t>(length);
  int done = 0;
  while (done < length) {
    const ssize_t n = write(port_, data + done, static_cast<size_t>(length - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      Close();  // the port is gone: report it closed from now on
      return 1;
    }
    const uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= allowed) return 1;
    pollfd ready{port_, POLLOUT, 0};
    if (poll(&ready, 1, static_cast<int>(allowed - elapsed)) < 0 && errno != EINTR) {
      Close();
      return 1;
    }
    if (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      Close();
      return 1;
    }
  }
  return 1;
}

namespace {

// Whether the port has bytes to read within `wait` (zero: only those already
// there). Hang-ups and errors count as nothing to read.
bool WaitReadable(int fd, Clock::duration wait) {
  const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
  timeout.tv_nsec = static_cast<long>(ns % 1000000000);
  pollfd ready{fd, POLLIN, 0};
  return ppoll(&ready, 1, &timeout, nullptr) > 0 && (ready.revents & POLLIN);
}

// What a Windows port's read gives with our time-outs: bytes until the
// buffer is full or 5 ms have passed. The driver there hands over the bytes
// as they come in; a terminal device hands over whatever has come so far,
// often a byte or two. Bytes are therefore collected up to those bounds,
// and for the bootloader's polls also until the line has been quiet for
// `quiet` after the last byte: then the sender has paused, and a frame that
// is complete does not wait out the rest of the 5 ms.
size_t CollectBytes(int fd, uint8_t* buffer, size_t wanted, Clock::duration firstWait, Clock::duration quiet) {
  const Clock::time_point limit = Clock::now() + kReadWait;
  Clock::duration wait = firstWait;
  size_t got = 0;
  while (got < wanted && WaitReadable(fd, wait)) {
    const ssize_t n = read(fd, buffer + got, wanted - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    const Clock::time_point now = Clock::now();
    if (now >= limit) break;
    wait = std::min(quiet, limit - now);
  }
  return got;
}

// The quiet time that ends a poll: two character times (8N1, ten bits a
// character). Above about 20,000 bit/s two character times are shorter than
// a millisecond: a wait that short costs more in waking up than it gathers
// (the bytes come faster than the wait can tell them apart), and a frame
// there is whole within a few polls anyway. So at those rates only the
// bytes already there are added, without waiting.
constexpr Clock::duration kShortestQuietWait = std::chrono::milliseconds(1);

Clock::duration QuietWait(int bitRate) {
  const Clock::duration quiet = std::chrono::nanoseconds(2LL * 10 * 1000000000 / bitRate);
  return quiet < kShortestQuietWait ? Clock::duration::zero() : quiet;
}

size_t ReadSize(int capacity) { return capacity > 0xFFFF ? 0xFFFF : static_cast<size_t>(capacity); }

// A read that waits for its first byte up to the read time-out.
size_t TimedRead(int fd, uint8_t* buffer, int capacity, Clock::duration quiet) {
  const uint32_t start = platform::TickCount();
  const size_t got = CollectBytes(fd, buffer, ReadSize(capacity), kReadWait, quiet);
  if (got == 0) {
    // A hung-up line reports at once, with nothing to read; wait out the
    // rest of the poll so that callers looping on reads do not spin.
    const uint32_t elapsed = platform::TickCount() - start;
    if (elapsed < static_cast<uint32_t>(kReadWaitMs)) platform::SleepMs(kReadWaitMs - elapsed);
  }
  return got;
}

}  // namespace

uint16_t COMTransport::Read(uint8_t* buffer, int capacity) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  lastReadCount_ = static_cast<uint32_t>(TimedRead(port_, buffer, capacity, QuietWait(bitRate_)));
  return static_cast<uint16_t>(lastReadCount_);
}

// A text reply is taken as a Windows read takes it, for the whole 5 ms (or
// until the buffer is full): a unit's reply that trickles in over a few
// milliseconds then comes in one or two reads, not in one read for every
// few bytes. Exchange charges each read the whole time since its command,
// so the difference decides whether a unit that answers late is heard.
uint16_t COMTransport::ReadText(uint8_t* buffer, int capacity) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  lastReadCount_ = static_cast<uint32_t>(TimedRead(port_, buffer, capacity, kReadWait));
  return static_cast<uint16_t>(lastReadCount_);
}

uint16_t COMTransport::ReadPending(uint8_t* buffer, int capacity) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  lastReadCount_ = static_cast<uint32_t>(
      CollectBytes(port_, buffer, ReadSize(capacity), Clock::duration::zero(), QuietWait(bitRate_)));
  return static_cast<uint16_t>(lastReadCount_);
}

uint16_t COMTransport::ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  lastReadCount_ = static_cast<uint32_t>(
      CollectBytes(port_, buffer, ReadSize(capacity), std::chrono::microseconds(waitUs), QuietWait(bitRate_)));
  return static_cast<uint16_t>(lastReadCount_);
}
