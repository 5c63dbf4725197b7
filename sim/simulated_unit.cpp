#include "sim/simulated_unit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

// How often a hung-up pseudo-terminal is looked at again. The master
// reports a hang-up at once and for as long as no host has the slave open,
// so it cannot wait in poll; a short sleep instead of a spin.
constexpr int kHangupRecheckMs = 20;
// When paced, bytes reach the host's end in chunks of about a millisecond
// and a half of line time, as a serial driver hands them over: 16 bytes at
// 115200 bit/s, one byte at a time at 9600 bit/s and below.
constexpr size_t kPacedChunkMax = 16;
constexpr unsigned kPacedChunkRate = 115200 / kPacedChunkMax;

unsigned RateOf(speed_t speed) {
  static const struct {
    speed_t constant;
    unsigned rate;
  } kRates[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},   {B4800, 4800},
      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
      {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
  };
  for (const auto& r : kRates)
    if (r.constant == speed) return r.rate;
  return 0;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

bool ParseVersion(const std::string& text, uint8_t* major, uint8_t* minor) {
  unsigned a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u%c", &a, &b, &tail) != 2 || a > 255 || b > 255) return false;
  *major = static_cast<uint8_t>(a);
  *minor = static_cast<uint8_t>(b);
  return true;
}

SimulatedUnit::SimulatedUnit(const UnitOptions& options)
    : options_(options),
      mode_(options.mode),
      bootloader_(options.bootloader),
      incomingFaults_(options.seed, 1, options.incoming),
      outgoingFaults_(options.seed, 2, options.outgoing),
      jitter_(options.seed * 0x9E3779B97F4A7C15ULL + 3) {}

SimulatedUnit::~SimulatedUnit() { Stop(); }

bool SimulatedUnit::OpenUdp(std::string* error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.udpPort));
  if (inet_pton(AF_INET, options_.bindAddress.c_str(), &address.sin_addr) != 1) {
    SetError(error, "not an IPv4 address: " + options_.bindAddress);
    return false;
  }
  udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (udp_ < 0 || bind(udp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, "cannot listen on UDP " + options_.bindAddress + ":" + std::to_string(options_.udpPort) + ": " +
                        std::strerror(errno));
    return false;
  }
  socklen_t size = sizeof address;
  getsockname(udp_, reinterpret_cast<sockaddr*>(&address), &size);
  udpPort_ = ntohs(address.sin_port);
  return true;
}

bool SimulatedUnit::OpenPty(std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
    SetError(error, std::string("cannot make a pseudo-terminal: ") + std::strerror(errno));
    return false;
  }
  slavePath_ = name;
  // Start the line raw, as a serial port's bytes are: a freshly made
  // terminal would echo and cook them until the host sets its own mode.
  // The rate stays the system's default until the host picks one.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) {
    termios t{};
    if (tcgetattr(slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
    close(slave);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (!options_.ptyLink.empty()) {
    // Replace a stale link from an earlier run, never anything else.
    struct stat st {};
    if (lstat(options_.ptyLink.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(options_.ptyLink.c_str());
    if (symlink(name, options_.ptyLink.c_str()) != 0) {
      SetError(error, "cannot link " + options_.ptyLink + ": " + std::strerror(errno));
      return false;
    }
    linkMade_ = true;
  }
  return true;
}

bool SimulatedUnit::Start(std::string* error) {
  if (thread_.joinable()) return true;
  stop_ = false;
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    SetError(error, "cannot make an event");
    return false;
  }
  if ((options_.udpPort >= 0 && !OpenUdp(error)) || (options_.serial && !OpenPty(error))) {
    Stop();
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SimulatedUnit::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    Wake();
    thread_.join();
  }
  if (udp_ >= 0) close(udp_);
  if (master_ >= 0) close(master_);
  if (wake_ >= 0) close(wake_);
  udp_ = master_ = wake_ = -1;
  if (linkMade_) unlink(options_.ptyLink.c_str());
  linkMade_ = false;
  timers_.clear();
}

void SimulatedUnit::Wake() {
  if (wake_ < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = write(wake_, &one, sizeof one);
  (void)ignored;
}

unsigned SimulatedUnit::HostBitRate() const {
  if (master_ < 0) return 0;
  termios t{};
  // On Linux the master reports the terminal settings of the slave side,
  // which is the side the host sets up.
  if (tcgetattr(master_, &t) != 0) return 0;
  return RateOf(cfgetospeed(&t));
}

void SimulatedUnit::SetMode(UnitMode mode) {
  const UnitMode old = mode_.exchange(mode);
  if (old == mode) return;
  for (const auto& handler : modeHandlers_) handler(mode);
}

// ------------------------------------------------------------ the loop ----

void SimulatedUnit::At(Clock::time_point when, std::function<void()> action) {
  timers_.emplace(when, std::move(action));
}

// Paced bytes are due at exact moments; a wait rounded to whole
// milliseconds would make every delivery up to a millisecond late, which over
// thousands of exchanges shows as a slower line than the bit rate gives.
// With no timer and a line that is not hung up there is nothing to wait
// for but the lines and the wake event (Stop and posted work write to it):
// false, and the poll sleeps until one of them has something.
bool SimulatedUnit::PollTimeout(timespec* timeout) const {
  if (timers_.empty() && !hungUp_) return false;
  auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(kHangupRecheckMs));
  if (!timers_.empty()) {
    const auto due = std::chrono::duration_cast<std::chrono::nanoseconds>(timers_.begin()->first - Clock::now());
    wait = std::max(std::chrono::nanoseconds(0), hungUp_ ? std::min(wait, due) : due);
  }
  const long long ns = wait.count();
  *timeout = timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
  return true;
}

void SimulatedUnit::Run() {
  threadId_ = std::this_thread::get_id();
  // The unit's timers (paced bytes, handling times) are due at exact
  // moments; the usual 50 us of slack on every wait would blur a handling
  // time of a fraction of a millisecond.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  while (!stop_) {
    pollfd fds[3];
    int n = 0;
    fds[n++] = {wake_, POLLIN, 0};
    const int udpIndex = udp_ >= 0 ? n : -1;
    if (udp_ >= 0) fds[n++] = {udp_, POLLIN, 0};
    const int ptyIndex = master_ >= 0 && !hungUp_ ? n : -1;
    if (ptyIndex >= 0) fds[n++] = {master_, POLLIN, 0};

    timespec timeout{};
    const int ready = ppoll(fds, static_cast<nfds_t>(n), PollTimeout(&timeout) ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      ssize_t ignored = read(wake_, &count, sizeof count);
      (void)ignored;
    }
    RunPosted();
    if (udpIndex >= 0 && (fds[udpIndex].revents & POLLIN)) ReadDatagrams();
    if (ptyIndex >= 0 && fds[ptyIndex].revents) ReadSerial();
    if (hungUp_) CheckHangup();
    RunDueTimers();
  }
}

void SimulatedUnit::RunDueTimers() {
  while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
    auto action = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    action();
  }
}

void SimulatedUnit::RunPosted() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> guard(postedLock_);
    work.swap(posted_);
  }
  for (auto& f : work) f();
}

// ------------------------------------------------------------ receiving ----

// One datagram per pass of the loop: the poll that follows tells at once
// whether another is waiting, so a busy line costs no more calls, and the
// usual lone frame saves a read that would only have found nothing.
void SimulatedUnit::ReadDatagrams() {
  uint8_t buffer[65536];
  sockaddr_in from{};
  socklen_t size = sizeof from;
  const ssize_t n = recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
  if (n < 0) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++line_.datagrams;
    // The application does not listen on the bootloader's port at all.
    if (mode_ != UnitMode::Bootload) {
      ++line_.datagramsIgnored;
      return;
    }
  }
  FeedBootloader(Peer{Channel::Udp, from}, buffer, static_cast<size_t>(n), &udpFramer_);
}

void SimulatedUnit::ReadSerial() {
  uint8_t buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    // EIO: the host closed its end. The master stays ours, so the host can
    // open the slave again whenever it likes.
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      hungUp_ = true;
      serialFramer_.Reset();
      std::lock_guard<std::mutex> guard(lock_);
      ++line_.serialHangups;
    }
    return;
  }
  const unsigned rate = HostBitRate();
  std::vector<uint8_t> bytes(buffer, buffer + n);
  auto deliver = [this, bytes, rate] {
    {
      std::lock_guard<std::mutex> guard(lock_);
      line_.serialBytes += static_cast<uint32_t>(bytes.size());
    }
    if (mode_ == UnitMode::Application) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        line_.serialBytesToApplication += static_cast<uint32_t>(bytes.size());
      }
      if (serialHandler_) serialHandler_(bytes.data(), bytes.size(), rate);
      return;
    }
    if (rate != options_.bootloaderBitRate) {
      std::lock_guard<std::mutex> guard(lock_);
      line_.serialBytesWrongRate += static_cast<uint32_t>(bytes.size());
      return;
    }
    FeedBootloader(Peer{Channel::Serial, {}}, bytes.data(), bytes.size(), &serialFramer_);
  };
  if (!options_.pace) {
    deliver();
    return;
  }
  // The bytes reach the unit only once the line has carried them.
  const auto now = Clock::now();
  serialInFree_ = std::max(now, serialInFree_) + LineTime(bytes.size());
  At(serialInFree_, deliver);
}

void SimulatedUnit::CheckHangup() {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) hungUp_ = false;
}

void SimulatedUnit::FeedBootloader(const Peer& peer, const uint8_t* data, size_t length, RawFramer* framer) {
  for (size_t i = 0; i < length;) {
    bool ended = false;
    i += framer->Feed(data + i, length - i, &ended);
    if (!ended) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++line_.rawFrames;
    }
    uint32_t number;
    {
      std::lock_guard<std::mutex> guard(lock_);
      number = line_.rawFrames;
    }
    if (frameHook_) frameHook_(peer.channel, framer->Frame());
    Incoming(peer, framer->Frame(), number);
  }
}

// Line faults on the way in, then the bootloader.
void SimulatedUnit::Incoming(const Peer& peer, const std::vector<uint8_t>& arrived, uint32_t number) {
  FaultDecision d = incomingFaults_.Decide(arrived.size());
  if (number == options_.placed.loseFrame) d.drop = true;
  if (number == options_.placed.duplicateFrame) d.duplicate = true;
  if (d.drop || d.corrupt || d.duplicate || d.delay) {
    std::lock_guard<std::mutex> guard(lock_);
    if (d.drop) {
      ++line_.droppedIn;
      return;
    }
    if (d.corrupt) ++line_.corruptedIn;
    if (d.duplicate) ++line_.duplicatedIn;
    if (d.delay) ++line_.delayedIn;
  }
  // A frame the line leaves alone is handled where it lies; only a
  // corrupted one needs a copy of its own.
  std::vector<uint8_t> corrupted;
  if (d.corrupt) {
    corrupted = arrived;
    FaultInjector::Corrupt(d, &corrupted);
  }
  const std::vector<uint8_t>& raw = d.corrupt ? corrupted : arrived;
  const int copies = d.duplicate ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    if (d.delay)
      At(Clock::now() + std::chrono::milliseconds(incomingFaults_.Rates().delayMs),
         [this, peer, raw, number] { Handle(peer, raw, number); });
    else
      Handle(peer, raw, number);
  }
}

// The unit works through its frames one at a time, each taking its
// handling time; without one it answers where the frame lies.
void SimulatedUnit::Handle(const Peer& peer, const std::vector<uint8_t>& raw, uint32_t number) {
  if (options_.handling.count() == 0 && options_.handlingJitter.count() == 0) {
    Process(peer, raw, number);
    return;
  }
  Clock::duration takes = options_.handling;
  if (options_.handlingJitter.count() > 0)
    takes += std::chrono::microseconds(jitter_() % static_cast<uint64_t>(options_.handlingJitter.count() + 1));
  busyUntil_ = std::max(Clock::now(), busyUntil_) + takes;
  At(busyUntil_, [this, peer, raw, number] { Process(peer, raw, number); });
}

void SimulatedUnit::Process(const Peer& peer, const std::vector<uint8_t>& raw, uint32_t number) {
  if (mode_ != UnitMode::Bootload) return;  // a late frame after the unit left
  std::vector<uint8_t>& body = frameBody_;
  FrameResult result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!DecodeRawFrame(raw, &body)) {
      ++line_.badFrames;
      return;
    }
    result = bootloader_.Handle(peer.channel, body.data(), body.size());
  }
  // Leave before the answer goes out: a host that hears it and asks again
  // at once must already find the application.
  if (result.leaveBootloader) SetMode(UnitMode::Application);
  if (result.answer && !(replyHook_ && replyHook_(peer.channel, body, result.replyBody, RawSenderFor(peer)))) {
    std::vector<uint8_t> wire = EncodeFrame(result.replyBody);
    if (number != 0 && number == options_.placed.repeatReply)
      At(Clock::now() + options_.placed.repeatLag, [this, peer, wire] { Transmit(peer, wire); });
    Reply(peer, std::move(wire));
  }
  if (result.updateEnded && endUpdateHandler_) endUpdateHandler_();
}

// ------------------------------------------------------------- replying ----

void SimulatedUnit::Reply(const Peer& peer, std::vector<uint8_t> wire) {
  const FaultDecision d = outgoingFaults_.Decide(wire.size());
  if (d.drop || d.corrupt || d.duplicate || d.delay) {
    std::lock_guard<std::mutex> guard(lock_);
    if (d.drop) {
      ++line_.droppedOut;
      return;
    }
    if (d.corrupt) ++line_.corruptedOut;
    if (d.duplicate) ++line_.duplicatedOut;
    if (d.delay) ++line_.delayedOut;
  }
  FaultInjector::Corrupt(d, &wire);
  const int copies = d.duplicate ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    if (d.delay)
      At(Clock::now() + std::chrono::milliseconds(outgoingFaults_.Rates().delayMs),
         [this, peer, wire] { Transmit(peer, wire); });
    else
      Transmit(peer, wire);
  }
}

void SimulatedUnit::Transmit(const Peer& peer, const std::vector<uint8_t>& wire) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++line_.repliesSent;
  }
  if (peer.channel == Channel::Udp) {
    if (udp_ >= 0)
      sendto(udp_, wire.data(), wire.size(), 0, reinterpret_cast<const sockaddr*>(&peer.address), sizeof peer.address);
    return;
  }
  TransmitSerial(wire);
}

SimulatedUnit::RawSender SimulatedUnit::RawSenderFor(const Peer& peer) {
  // Both ways are safe from any thread: a datagram goes straight out of the
  // unit's socket, serial bytes are handed to the unit's own thread.
  return [this, peer](const std::vector<uint8_t>& wire) {
    if (peer.channel == Channel::Udp)
      Transmit(peer, wire);
    else
      WriteSerial(wire.data(), wire.size());
  };
}

SimulatedUnit::Clock::duration SimulatedUnit::LineTime(size_t bytes) const {
  unsigned rate = HostBitRate();
  if (rate == 0) rate = options_.bootloaderBitRate;
  // 8N1: a start bit, eight data bits and a stop bit for every byte.
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 10 * 1000000000LL / rate);
}

void SimulatedUnit::TransmitSerial(const std::vector<uint8_t>& bytes) {
  if (master_ < 0 || bytes.empty()) return;
  if (!options_.pace) {
    // A host that is not listening loses the bytes, as on a real line.
    ssize_t ignored = write(master_, bytes.data(), bytes.size());
    (void)ignored;
    return;
  }
  // Hand the bytes over a few at a time, each chunk once the line has had
  // the time to carry it, so the host sees them trickle in.
  unsigned rate = HostBitRate();
  if (rate == 0) rate = options_.bootloaderBitRate;
  const size_t chunkSize = options_.pacedChunk != 0
                               ? options_.pacedChunk
                               : std::max<size_t>(1, std::min<size_t>(kPacedChunkMax, rate / kPacedChunkRate));
  auto start = std::max(Clock::now(), serialOutFree_);
  for (size_t at = 0; at < bytes.size(); at += chunkSize) {
    const size_t n = std::min(chunkSize, bytes.size() - at);
    std::vector<uint8_t> chunk(bytes.begin() + at, bytes.begin() + at + n);
    start += LineTime(n);
    At(start, [this, chunk] {
      ssize_t ignored = write(master_, chunk.data(), chunk.size());
      (void)ignored;
    });
  }
  serialOutFree_ = start;
}

void SimulatedUnit::WriteSerial(const uint8_t* data, size_t length, std::chrono::milliseconds after) {
  std::vector<uint8_t> bytes(data, data + length);
  // The delay counts from the call, not from when the unit's thread gets
  // to it; the timers belong to that thread.
  const Clock::time_point due = Clock::now() + after;
  auto transmit = [this, bytes, due, after] {
    if (after <= std::chrono::milliseconds::zero())
      TransmitSerial(bytes);
    else
      At(due, [this, bytes] { TransmitSerial(bytes); });
  };
  if (std::this_thread::get_id() == threadId_) {
    transmit();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(postedLock_);
    posted_.push_back(transmit);
  }
  Wake();
}

// ----------------------------------------------------------- inspection ----

BootloaderCounters SimulatedUnit::Counters() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.Counters();
}

LineCounters SimulatedUnit::Line() const {
  std::lock_guard<std::mutex> guard(lock_);
  return line_;
}

std::vector<FrameRecord> SimulatedUnit::Log() const {
  std::lock_guard<std::mutex> guard(lock_);
  return std::vector<FrameRecord>(bootloader_.Log().begin(), bootloader_.Log().end());
}

SparseMemory SimulatedUnit::Program() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.Program();
}

SparseMemory SimulatedUnit::Flash() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.Flash();
}

uint32_t SimulatedUnit::ApplicationVersion() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.ApplicationVersion();
}

std::vector<uint8_t> SimulatedUnit::VersionStamp() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.VersionStamp();
}

bool SimulatedUnit::FactoryDefaultsRestored() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.FactoryDefaultsRestored();
}

std::string SimulatedUnit::LastText() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.LastText();
}

BootloaderOptions SimulatedUnit::Options() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bootloader_.Options();
}

void SimulatedUnit::SetBootloaderOptions(const BootloaderOptions& options) {
  std::lock_guard<std::mutex> guard(lock_);
  bootloader_.SetOptions(options);
}

void SimulatedUnit::SetLineFaults(const FaultRates& incoming, const FaultRates& outgoing) {
  // The injectors belong to the unit's thread: swap them there.
  auto swap = [this, incoming, outgoing] {
    incomingFaults_ = FaultInjector(options_.seed, 1, incoming);
    outgoingFaults_ = FaultInjector(options_.seed, 2, outgoing);
  };
  if (!thread_.joinable() || std::this_thread::get_id() == threadId_) {
    swap();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(postedLock_);
    posted_.push_back(swap);
  }
  Wake();
}

void SimulatedUnit::Inspect(const std::function<void(const UnitBootloader&, const LineCounters&)>& f) const {
  std::lock_guard<std::mutex> guard(lock_);
  f(bootloader_, line_);
}

}  // namespace sim
