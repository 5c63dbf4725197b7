// The UDP and TCP links against peers on 127.0.0.1 that the test plays.
// Nothing here leaves the loopback interface.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "app/app_state.h"
#include "link/ethernet_transport.h"
#include "link_test_support.h"

using linktest::BoundSocket;
using linktest::Loopback;
using linktest::Readable;

namespace {

std::string ReceiveDatagram(int fd, sockaddr_in* from = nullptr, int waitMs = 1000) {
  if (!Readable(fd, waitMs)) return "<nothing>";
  char buffer[4096];
  socklen_t length = sizeof(sockaddr_in);
  const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from), from ? &length : nullptr);
  return n < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(n));
}

void SendDatagram(int fd, const sockaddr_in& to, const std::string& bytes) {
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Accepts one connection, or -1 after a second.
int Accept(int listener) {
  if (!Readable(listener, 1000)) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads from a stream until `count` bytes came or it went quiet.
std::string ReceiveStream(int fd, size_t count, int quietMs = 1000) {
  std::string got;
  char buffer[1024];
  while (got.size() < count && Readable(fd, quietMs)) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// --------------------------------------------------------------- UDP ----

class UdpLink : public ::testing::Test {
 protected:
  void SetUp() override {
    unit = BoundSocket(SOCK_DGRAM, 0, &unitPort);
    ASSERT_GE(unit, 0);
  }
  void TearDown() override { close(unit); }
  int unit = -1;
  uint16_t unitPort = 0;
};

TEST_F(UdpLink, WriteSendsOneDatagramAndReadTakesTheAnswer) {
  EthernetTransport link(Loopback(), unitPort);
  ASSERT_EQ(link.Open(), 1);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("\x01\x10\x01\x21\x10\x10\x04"), 7), 1);
  sockaddr_in from{};
  EXPECT_EQ(ReceiveDatagram(unit, &from), std::string("\x01\x10\x01\x21\x10\x10\x04", 7));

  SendDatagram(unit, from, "ninebytes");
  uint8_t buffer[2038];
  uint16_t n = 0;
  for (int i = 0; i < 50 && n == 0; ++i) n = link.Read(buffer, sizeof buffer);
  EXPECT_EQ(n, 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "ninebytes");
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);  // nothing more: an empty poll
}

// ReadPending brings one datagram that has arrived, and nothing on a quiet
// link: what the update drops before each command without a sequence number.
TEST_F(UdpLink, ReadPendingTakesADatagramThatHasArrived) {
  EthernetTransport link(Loopback(), unitPort);
  uint8_t buffer[2038];
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);  // not open yet
  ASSERT_EQ(link.Open(), 1);
  link.Write(reinterpret_cast<const uint8_t*>("hi"), 2);
  sockaddr_in from{};
  ASSERT_EQ(ReceiveDatagram(unit, &from), "hi");
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);
  SendDatagram(unit, from, "first");
  SendDatagram(unit, from, "second");
  std::vector<std::string> got;
  const uint32_t start = platform::TickCount();
  while (got.size() < 2 && platform::TickCount() - start < 2000) {
    const uint16_t n = link.ReadPending(buffer, sizeof buffer);
    if (n != 0)
      got.emplace_back(reinterpret_cast<char*>(buffer), n);
    else
      platform::SleepMs(5);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(link.ReadPending(buffer, sizeof buffer), 0);

  // ReadWithin watches the quiet link for the time given, and takes a
  // datagram the moment it arrives; the network takes no wire time.
  const auto quietFrom = std::chrono::steady_clock::now();
  EXPECT_EQ(link.ReadWithin(buffer, sizeof buffer, 3000), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - quietFrom, std::chrono::microseconds(3000));
  std::thread sender([&] {
    platform::SleepMs(20);
    SendDatagram(unit, from, "third");
  });
  const uint16_t n = link.ReadWithin(buffer, sizeof buffer, 5000000);
  sender.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "third");
  EXPECT_EQ(link.WireTimeUs(1000), 0u);
}

TEST_F(UdpLink, ShortBufferGetsThePartOfTheDatagramThatFits) {
  EthernetTransport link(Loopback(), unitPort);
  ASSERT_EQ(link.Open(), 1);
  link.Write(reinterpret_cast<const uint8_t*>("hi"), 2);
  sockaddr_in from{};
  ASSERT_EQ(ReceiveDatagram(unit, &from), "hi");
  SendDatagram(unit, from, "ninebytes");
  uint8_t buffer[8] = {};
  uint16_t n = 0;
  for (int i = 0; i < 50 && n == 0; ++i) n = link.Read(buffer, 4);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "nine");
  EXPECT_EQ(buffer[4], 0);
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);  // the rest of that datagram is gone
}

TEST_F(UdpLink, AnswersFromAnySenderAreTaken) {
  EthernetTransport link(Loopback(), unitPort);
  ASSERT_EQ(link.Open(), 1);
  link.Write(reinterpret_cast<const uint8_t*>("hi"), 2);
  sockaddr_in from{};
  ASSERT_EQ(ReceiveDatagram(unit, &from), "hi");
  const int stranger = BoundSocket(SOCK_DGRAM, 0);
  ASSERT_GE(stranger, 0);
  SendDatagram(stranger, from, "other");
  close(stranger);
  uint8_t buffer[64];
  uint16_t n = 0;
  for (int i = 0; i < 50 && n == 0; ++i) n = link.Read(buffer, sizeof buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "other");
}

TEST_F(UdpLink, WriteToAPortNobodyListensOnStillSucceeds) {
  uint16_t deadPort = 0;
  const int gone = BoundSocket(SOCK_DGRAM, 0, &deadPort);
  ASSERT_GE(gone, 0);
  close(gone);
  EthernetTransport link(Loopback(), deadPort);
  ASSERT_EQ(link.Open(), 1);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("abc"), 3), 1);
  uint8_t buffer[16];
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("abc"), 3), 1);
  EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(UdpLink, ExchangeSendsTheCommandThenCrLf) {
  EthernetTransport link(Loopback(), unitPort);
  ASSERT_EQ(link.Open(), 1);
  std::string first, second;
  std::thread peer([&] {
    sockaddr_in from{};
    first = ReceiveDatagram(unit, &from);
    second = ReceiveDatagram(unit);
    SendDatagram(unit, from, "<sy,br/>");
  });
  char reply[32];
  EXPECT_EQ(link.Exchange("<SY,BR/>", reply, sizeof reply, 1000), 1);
  peer.join();
  EXPECT_EQ(first, "<SY,BR/>");
  EXPECT_EQ(second, "\r\n");
  EXPECT_STREQ(reply, "<sy,br/>");
}

TEST_F(UdpLink, DefaultsKindAddressAndClosing) {
  EthernetTransport link(htonl(0x7F000102));
  EXPECT_STREQ(link.Kind(), L"IP");
  EXPECT_EQ(link.Address(), htonl(0x7F000102));
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.Close(), 1);  // never opened
  uint8_t buffer[4];
  EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);

  const int before = linktest::OpenDescriptorCount();
  ASSERT_EQ(link.Open(), 1);
  ASSERT_EQ(link.Open(), 1);  // a new socket, the old one released
  EXPECT_EQ(linktest::OpenDescriptorCount(), before + 1);
  EXPECT_EQ(link.Close(), 1);
  const int bystander = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(link.Close(), 1);
  EXPECT_NE(fcntl(bystander, F_GETFD), -1) << "second Close closed someone else's descriptor";
  close(bystander);
  EXPECT_EQ(linktest::OpenDescriptorCount(), before);
}

// --------------------------------------------------------------- TCP ----

class TcpLink : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = BoundSocket(SOCK_STREAM, 0, &port);
    ASSERT_GE(listener, 0);
  }
  void TearDown() override { close(listener); }
  int listener = -1;
  uint16_t port = 0;
};

TEST_F(TcpLink, ExchangeSendsTheCommandFollowedByCrLf) {
  EthernetTransportTCP link(Loopback(), port);
  ASSERT_EQ(link.Open(), 1);
  const int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  std::string received;
  std::thread unit([&] {
    received = ReceiveStream(peer, 10);
    send(peer, "<sy,bq", 6, MSG_NOSIGNAL);
    platform::SleepMs(20);
    send(peer, " = ue/>\r\n", 9, MSG_NOSIGNAL);
  });
  char reply[16];
  const int result = link.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
  unit.join();
  EXPECT_EQ(received, "<SY,BQ/>\r\n");
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(reply, "<sy,bq = ue/>");
  close(peer);
}

// Port 4999 is the simulated unit's default too, and other tests run at the
// same time: this one listens there only inside a network namespace of its
// own, in a child process, so that it can neither take the port from anyone
// nor answer anyone else's connection.
TEST(TcpDefaultPort, PortZeroMeansTheDefaultParserPort) {
  EthernetTransportTCP link(Loopback(), 0);
  EXPECT_EQ(link.Port(), 4999);

  enum : int { kConnected = 0, kNoNamespace = 10, kNoListener = 11, kNoConnect = 12, kNoAccept = 13 };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0 || !linktest::BringLoopbackUp()) _exit(kNoNamespace);
    const int standard = BoundSocket(SOCK_STREAM, 4999);
    if (standard < 0) _exit(kNoListener);
    EthernetTransportTCP defaultPort(Loopback(), 0);
    if (defaultPort.Open() != 1) _exit(kNoConnect);
    _exit(Accept(standard) >= 0 ? kConnected : kNoAccept);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoNamespace) GTEST_SKIP() << "no private network namespace (needs root)";
  EXPECT_EQ(WEXITSTATUS(status), kConnected);
}

TEST_F(TcpLink, ReadAfterThePeerClosedReturnsZeroAtOnce) {
  EthernetTransportTCP link(Loopback(), port);
  ASSERT_EQ(link.Open(), 1);
  const int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  send(peer, "last", 4, MSG_NOSIGNAL);
  close(peer);
  uint8_t buffer[64];
  uint16_t n = 0;
  for (int i = 0; i < 20 && n == 0; ++i) n = link.Read(buffer, sizeof buffer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n), "last");
  // Twenty reads that each waited out the 100 ms receive time-out would take
  // two seconds; after the peer's close they come back at once.
  const uint32_t start = platform::TickCount();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(link.Read(buffer, sizeof buffer), 0);
  const uint32_t elapsed = platform::TickCount() - start;
  EXPECT_LT(elapsed, 1000u) << "reads waited for the time-out on a closed connection";
}

TEST_F(TcpLink, WriteToAResetConnectionFailsWithoutEndingTheProgram) {
  EthernetTransportTCP link(Loopback(), port);
  ASSERT_EQ(link.Open(), 1);
  const int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  linger hard{1, 0};  // close with a reset
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(peer);
  int result = 1;
  for (int i = 0; i < 50 && result == 1; ++i) {
    result = link.Write(reinterpret_cast<const uint8_t*>("<SY,BQ/>"), 8);
    if (result == 1) platform::SleepMs(10);
  }
  EXPECT_EQ(result, 0);
  // Writing on after the failure would raise SIGPIPE, which must not end
  // the program.
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("<SY,BQ/>"), 8), 0);
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("<SY,BQ/>"), 8), 0);
}

TEST_F(TcpLink, RefusedConnectionFailsSilently) {
  uint16_t deadPort = 0;
  const int gone = BoundSocket(SOCK_STREAM, 0, &deadPort);
  ASSERT_GE(gone, 0);
  close(gone);
  linktest::BoxRecorder boxes;
  EthernetTransportTCP link(Loopback(), deadPort);
  EXPECT_EQ(link.Open(), 0);
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("x"), 1), 0);
  EXPECT_EQ(link.Close(), 1);
}

TEST_F(TcpLink, CloseTwiceClosesOnceAndDestroyingCloses) {
  auto link = std::make_unique<EthernetTransportTCP>(Loopback(), port);
  EXPECT_STREQ(link->Kind(), L"TCP");
  EXPECT_EQ(link->Address(), Loopback());
  EXPECT_EQ(link->Close(), 1);  // never opened
  ASSERT_EQ(link->Open(), 1);
  int peer = Accept(listener);
  ASSERT_GE(peer, 0);
  EXPECT_EQ(link->Close(), 1);
  const int bystander = open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(link->Close(), 1);
  EXPECT_NE(fcntl(bystander, F_GETFD), -1) << "second Close closed someone else's descriptor";
  close(bystander);
  EXPECT_EQ(link->IsOpen(), 0);
  EXPECT_EQ(ReceiveStream(peer, 1), "");  // the peer saw the connection end
  close(peer);

  ASSERT_EQ(link->Open(), 1);  // the same object opens again
  peer = Accept(listener);
  ASSERT_GE(peer, 0);
  link.reset();
  EXPECT_EQ(ReceiveStream(peer, 1), "");
  close(peer);
}

// --------------------------------------------------- set-up failures ----

// Makes every new descriptor fail with EMFILE while it lives.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowest = dup(0);
    if (lowest < 0) return;
    close(lowest);
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    active_ = setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~DescriptorsExhausted() { setrlimit(RLIMIT_NOFILE, &saved_); }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

TEST(LinkSocketErrors, SocketCreationFailureIsShownToTheUser) {
  LoadUiStrings(nullptr);
  linktest::BoxRecorder boxes;
  EthernetTransport udp(Loopback(), 6234);
  EthernetTransportTCP tcp(Loopback(), 4999);
  int udpResult = -1, tcpResult = -1;
  {
    DescriptorsExhausted limit;
    ASSERT_TRUE(limit.active());
    udpResult = udp.Open();
    tcpResult = tcp.Open();
  }
  EXPECT_EQ(udpResult, 0);
  EXPECT_EQ(tcpResult, 0);
  EXPECT_EQ(udp.IsOpen(), 0);
  EXPECT_EQ(tcp.IsOpen(), 0);
  ASSERT_EQ(boxes.boxes.size(), 2u);
  for (const linktest::RecordedBox& box : boxes.boxes) {
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.text, L"Socket creation failed.");
    EXPECT_EQ(box.caption, L"Socket Error");
    EXPECT_EQ(box.type & 0xF0u, MB_ICONERROR);
  }
}

}  // namespace
