// The serial link against a pseudo-terminal whose master side the test
// plays. No test here goes near the machine's own serial ports.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "link/com_transport.h"
#include "link_test_support.h"

using linktest::PseudoTerminal;

namespace {

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

// Reads from the link until `count` bytes came or a second passed.
std::string ReadFromLink(COMTransport& link, size_t count) {
  std::string got;
  const uint32_t start = platform::TickCount();
  uint8_t buffer[512];
  while (got.size() < count && platform::TickCount() - start < 1000) {
    const uint16_t n = link.Read(buffer, sizeof buffer);
    got.append(reinterpret_cast<char*>(buffer), n);
  }
  return got;
}

class ComLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.ok()) << "no pseudo-terminal"; }
  PseudoTerminal pty;
};

// ------------------------------------------------------------ line setup ----

TEST_F(ComLink, OpenSetsRateAndRawEightNOneSeenFromTheFarEnd) {
  const struct {
    int rate;
    speed_t constant;
  } rates[] = {{4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& r : rates) {
    COMTransport link(pty.widePath().c_str(), r.rate);
    ASSERT_EQ(link.Open(), 1) << r.rate;
    termios t{};
    ASSERT_TRUE(pty.Settings(&t));
    EXPECT_EQ(cfgetispeed(&t), r.constant) << r.rate;
    EXPECT_EQ(cfgetospeed(&t), r.constant) << r.rate;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    link.Close();
  }
}

TEST_F(ComLink, ReopenRestoresTheLineFormatAndKeepsTheRest) {
  COMTransport link(pty.widePath().c_str(), 57600);
  EXPECT_STREQ(link.Kind(), L"COM");
  EXPECT_EQ(std::wstring(link.PortName()), pty.widePath());
  ASSERT_EQ(link.Open(), 1);
  link.Close();

  // Someone reconfigures the port while we have it closed: two stop bits,
  // another rate, cooked input; plus settings that are not ours to change.
  termios t{};
  ASSERT_TRUE(pty.Settings(&t));
  t.c_cflag |= CSTOPB | CLOCAL | CRTSCTS;
  t.c_iflag |= IXOFF | ICRNL;
  t.c_lflag |= ICANON | ECHO;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);

  ASSERT_EQ(link.Open(), 1);
  termios after{};
  ASSERT_TRUE(pty.Settings(&after));
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B57600));
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B57600));
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(after.c_cflag & (PARENB | CSTOPB));
  EXPECT_FALSE(after.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(after.c_iflag & ICRNL);
  // Flow control and modem lines stay as the port has them.
  EXPECT_TRUE(after.c_cflag & CLOCAL);
  EXPECT_TRUE(after.c_cflag & CRTSCTS);
  EXPECT_TRUE(after.c_iflag & IXOFF);
}

TEST_F(ComLink, UnknownRateOrMissingPortFailsSilently) {
  linktest::BoxRecorder boxes;
  COMTransport oddRate(pty.widePath().c_str(), 12345);
  EXPECT_EQ(oddRate.Open(), 0);
  EXPECT_EQ(oddRate.IsOpen(), 0);
  COMTransport missing(L"/tmp/tqnone", 115200);
  EXPECT_EQ(missing.Open(), 0);
  EXPECT_EQ(missing.IsOpen(), 0);
  COMTransport notATerminal(L"/dev/null", 115200);
  EXPECT_EQ(notATerminal.Open(), 0);
  EXPECT_EQ(notATerminal.IsOpen(), 0);
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(ComLink, NameTooLongIsKeptShortenedButNeverOpened) {
  // An alias of our terminal as long as the link holds exists; the name one
  // character longer, whose start it is, must not open it.
  std::string alias = "/tmp/tq" + std::to_string(1000 + getpid() % 9000);
  alias.resize(COMTransport::kNameSize - 1, 'x');
  unlink(alias.c_str());
  ASSERT_EQ(symlink(pty.path().c_str(), alias.c_str()), 0);
  const std::wstring longName = std::wstring(alias.begin(), alias.end()) + L"9";
  COMTransport link(longName.c_str(), 115200);
  EXPECT_EQ(std::wstring(link.PortName()), longName.substr(0, COMTransport::kNameSize - 1));
  EXPECT_EQ(link.Open(), 0);
  EXPECT_EQ(link.IsOpen(), 0);

  COMTransport exact(std::wstring(alias.begin(), alias.end()).c_str(), 115200);
  EXPECT_EQ(exact.Open(), 1);
  unlink(alias.c_str());
}

// ---------------------------------------------------------------- bytes ----

TEST_F(ComLink, EveryByteValuePassesUnchangedBothWays) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  const std::string all = AllByteValues();
  ASSERT_TRUE(pty.Send(all));
  EXPECT_EQ(ReadFromLink(link, all.size()), all);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>(all.data()), static_cast<int>(all.size())), 1);
  EXPECT_EQ(pty.Receive(all.size()), all);
}

TEST_F(ComLink, ReadGivesWhatIsThereUpToTheCapacity) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  uint8_t buffer[64] = {};
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);
  ASSERT_TRUE(pty.Send("0123456789"));
  platform::SleepMs(20);
  ASSERT_EQ(link.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "0123");
  ASSERT_EQ(link.Read(buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "456789");
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);
}

// What a unit said before a command is dropped with ReadPending: it must
// bring what the line holds, a capacity at a time, and nothing on a quiet
// line; a closed link has nothing.
TEST_F(ComLink, ReadPendingTakesWhatTheLineHolds) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  uint8_t buffer[64] = {};
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);
  ASSERT_TRUE(pty.Send("0123456789"));
  std::string got;
  const uint32_t start = platform::TickCount();
  while (got.size() < 10 && platform::TickCount() - start < 2000) {
    const uint16_t n = link.ReadPending(buffer, 4);
    ASSERT_LE(n, 4);
    got.append(reinterpret_cast<char*>(buffer), n);
    if (n == 0) platform::SleepMs(5);
  }
  EXPECT_EQ(got, "0123456789");
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);
  link.Close();
  ASSERT_TRUE(pty.Send("late"));
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);
}

// ReadWithin watches a quiet line for the whole time it is given, and hands
// over what arrives as soon as it does; the wire time it reports is ten bit
// times a byte.
TEST_F(ComLink, ReadWithinWaitsItsTimeAndTakesWhatArrives) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  uint8_t buffer[64] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.ReadWithin(buffer, sizeof buffer, 3000), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(3000));
  std::thread sender([&] {
    platform::SleepMs(20);
    pty.Send("reply");
  });
  const uint16_t n = link.ReadWithin(buffer, sizeof buffer, 5000000);
  sender.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n).substr(0, 1), "r");
  EXPECT_EQ(link.WireTimeUs(1152), 100000u);
  EXPECT_EQ(COMTransport(pty.widePath().c_str(), 9600).WireTimeUs(96), 100000u);
}

TEST_F(ComLink, LargeWriteArrivesWholeAndInOrder) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  std::string data(256 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  std::string received;
  std::thread reader([&] { received = pty.Receive(data.size(), 3000); });
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size())), 1);
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
  EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(ComLink, WriteThatRunsOutOfTimeKeepsThePortOpen) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  // Fill the line's output queue through a second descriptor while nobody
  // reads the far end, so that the link's write cannot get through.
  const int filler = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(filler, 0);
  const std::string block(4096, 'f');
  size_t queued = 0;
  for (int i = 0; i < 10000; ++i) {
    const ssize_t n = write(filler, block.data(), block.size());
    if (n <= 0) break;
    queued += static_cast<size_t>(n);
  }
  close(filler);
  ASSERT_GT(queued, 0u);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("abc"), 3), 1);  // gives up after about 0.5 s
  EXPECT_EQ(link.IsOpen(), 1);
  std::string drained = pty.Receive(queued + 3, 200);
  EXPECT_GE(drained.size(), queued);
}

// ----------------------------------------------------------- exchanging ----

TEST_F(ComLink, ExchangeSendsExactlyTheCommandAndCollectsTheReply) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  ASSERT_TRUE(pty.Send("<stale/>"));  // drained before the command goes out
  platform::SleepMs(20);
  std::string command;
  std::thread unit([&] {
    command = pty.Receive(8);
    pty.Send("\r\n<sy,bq = ud/>\r\n");
  });
  char reply[16];
  const int result = link.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
  unit.join();
  EXPECT_EQ(command, "<SY,BQ/>");
  EXPECT_EQ(pty.Receive(1, 100), "");  // nothing after the command
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(reply, "<sy,bq = ud/>");
}

// ------------------------------------------------- exclusive use, closing ----

TEST_F(ComLink, SecondOpenFailsAndLeavesTheFirstWorking) {
  COMTransport first(pty.widePath().c_str(), 115200);
  ASSERT_EQ(first.Open(), 1);

  COMTransport second(pty.widePath().c_str(), 9600);
  EXPECT_EQ(second.Open(), 0);
  EXPECT_EQ(second.IsOpen(), 0);

  // Another process fares no better.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    COMTransport other(pty.widePath().c_str(), 9600);
    _exit(other.Open() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process opened the port";

  // The first link still talks, at its own rate.
  termios t{};
  ASSERT_TRUE(pty.Settings(&t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(first.Write(reinterpret_cast<const uint8_t*>("ping"), 4), 1);
  EXPECT_EQ(pty.Receive(4), "ping");
  ASSERT_TRUE(pty.Send("pong"));
  EXPECT_EQ(ReadFromLink(first, 4), "pong");

  // Once it is closed the port is free again.
  first.Close();
  EXPECT_EQ(second.Open(), 1);
}

TEST_F(ComLink, ExclusiveFlagIsDroppedOnClose) {
  const int observer = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(observer, 0);
  int exclusive = -1;
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  if (ioctl(observer, TIOCGEXCL, &exclusive) != 0) {
    close(observer);
    GTEST_SKIP() << "TIOCGEXCL not available";
  }
  EXPECT_EQ(exclusive, 1);
  link.Close();
  ASSERT_EQ(ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);  // other programs may open the port again
  close(observer);
}

TEST_F(ComLink, FailedWriteClosesTheLink) {
  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  pty.CloseMaster();  // the far end hangs up
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("x"), 1), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  uint8_t buffer[8];
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("x"), 1), 1);
  EXPECT_EQ(link.Close(), 1);
}

TEST_F(ComLink, CloseIsHarmlessWhenClosedAndClosesOnlyOnce) {
  COMTransport never(pty.widePath().c_str(), 115200);
  EXPECT_EQ(never.Close(), 1);
  EXPECT_EQ(never.IsOpen(), 0);

  COMTransport link(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link.Open(), 1);
  EXPECT_EQ(link.Close(), 1);
  // The freed descriptor number goes to someone else; a second Close must
  // not take it away from them.
  const int bystander = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(bystander, 0);
  EXPECT_EQ(link.Close(), 1);
  EXPECT_NE(fcntl(bystander, F_GETFD), -1);
  close(bystander);
  EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(ComLink, DestroyingAnOpenLinkReleasesThePort) {
  const int before = linktest::OpenDescriptorCount();
  auto link = std::make_unique<COMTransport>(pty.widePath().c_str(), 115200);
  ASSERT_EQ(link->Open(), 1);
  EXPECT_EQ(link->Open(), 1);  // reopening closes the old descriptor first
  EXPECT_EQ(linktest::OpenDescriptorCount(), before + 1);
  link.reset();
  EXPECT_EQ(linktest::OpenDescriptorCount(), before);
  COMTransport next(pty.widePath().c_str(), 115200);
  EXPECT_EQ(next.Open(), 1);
}

}  // namespace
