// The simulated unit on its lines: UDP answers go back to the sender, the
// pseudo-terminal answers only at the bootloader's rate and survives the
// host closing it, the mode decides who hears the bytes, line faults do what
// they say, and the dump matches what the unit holds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/package_images.h"
#include "sim/simulated_unit.h"
#include "sim/unit_dump.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A host socket on loopback that speaks raw frames to the unit.
class UdpHost {
 public:
  explicit UdpHost(uint16_t unitPort) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    unit_.sin_family = AF_INET;
    unit_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unit_.sin_port = htons(unitPort);
  }
  ~UdpHost() { close(fd_); }
  void Send(const Bytes& body) {
    const Bytes wire = sim::EncodeFrame(body);
    sendto(fd_, wire.data(), wire.size(), 0, reinterpret_cast<sockaddr*>(&unit_), sizeof unit_);
  }
  // The next datagram, or empty after `ms` without one.
  Bytes Receive(int ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    uint8_t buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
  }

 private:
  int fd_;
  sockaddr_in unit_{};
};

// The host's end of the unit's pseudo-terminal.
class SerialHost {
 public:
  SerialHost(const std::string& path, speed_t speed) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~SerialHost() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd_, bytes.data(), bytes.size()));
  }
  void Send(const Bytes& body) { Write(sim::EncodeFrame(body)); }
  // Bytes until `count` arrived or `quietMs` passed without any.
  Bytes Receive(size_t count, int quietMs = 1500) {
    Bytes got;
    while (got.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, quietMs) <= 0) break;
      uint8_t buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

sim::UnitOptions LoopbackOptions() {
  sim::UnitOptions o;
  o.udpPort = 0;
  o.serial = false;
  return o;
}

TEST(SimulatedUnitUdpTest, AnswersTheSenderUntilItLeavesTheBootloader) {
  sim::SimulatedUnit unit(LoopbackOptions());
  std::atomic<int> toApplication{0};
  unit.AddModeChangeHandler([&](sim::UnitMode mode) { toApplication += mode == sim::UnitMode::Application; });
  std::string error;
  ASSERT_TRUE(unit.Start(&error)) << error;
  ASSERT_NE(0, unit.UdpPort());
  UdpHost host(unit.UdpPort());
  host.Send({0x01});
  EXPECT_EQ(sim::EncodeFrame({0x01, 3, 1, 1}), host.Receive());
  host.Send({0x8B, 0, 0, 0, 1});
  EXPECT_EQ(sim::EncodeFrame({0x8B, 0, 0, 0, 1, 1}), host.Receive());
  EXPECT_EQ(sim::UnitMode::Application, unit.Mode());
  EXPECT_EQ(1, toApplication.load());

  // The application does not listen on the bootloader's port.
  host.Send({0x01});
  EXPECT_TRUE(host.Receive(300).empty());
  EXPECT_EQ(1u, unit.Line().datagramsIgnored);
  EXPECT_EQ(2u, unit.Counters().framesReceived);
}

TEST(SimulatedUnitUdpTest, ReplyFaultsDoWhatTheySay) {
  sim::UnitOptions o = LoopbackOptions();
  o.outgoing.corrupt = 1.0;
  {
    sim::SimulatedUnit unit(o);
    ASSERT_TRUE(unit.Start());
    UdpHost host(unit.UdpPort());
    host.Send({0x09});
    const Bytes good = sim::EncodeFrame({0x09, 0xFF, 0xFF, 0xFF, 0xFF});
    const Bytes got = host.Receive();
    ASSERT_EQ(good.size(), got.size());
    int changed = 0;
    for (size_t i = 0; i < got.size(); ++i) changed += got[i] != good[i];
    EXPECT_EQ(1, changed);
  }
  o.outgoing = sim::FaultRates();
  o.outgoing.duplicate = 1.0;
  o.incoming.drop = 0;
  {
    sim::SimulatedUnit unit(o);
    ASSERT_TRUE(unit.Start());
    UdpHost host(unit.UdpPort());
    host.Send({0x07});
    EXPECT_EQ(sim::EncodeFrame({0x07, 1}), host.Receive());
    EXPECT_EQ(sim::EncodeFrame({0x07, 1}), host.Receive());
    EXPECT_EQ(1u, unit.Counters().framesExecuted);
  }
  o.outgoing = sim::FaultRates();
  o.incoming.drop = 1.0;
  {
    sim::SimulatedUnit unit(o);
    ASSERT_TRUE(unit.Start());
    UdpHost host(unit.UdpPort());
    host.Send({0x07});
    EXPECT_TRUE(host.Receive(300).empty());
    EXPECT_EQ(0u, unit.Counters().framesReceived);
    EXPECT_EQ(1u, unit.Line().droppedIn);
  }
}

// ------------------------------------------------------------ the pty ----

TEST(SimulatedUnitSerialTest, ApplicationModeHandsBytesToTheApplicationHalf) {
  sim::UnitOptions o;
  o.udpPort = -1;
  o.mode = sim::UnitMode::Application;
  sim::SimulatedUnit unit(o);
  std::mutex m;
  std::string heard;
  unsigned heardRate = 0;
  unit.SetApplicationSerialHandler([&](const uint8_t* data, size_t length, unsigned rate) {
    std::lock_guard<std::mutex> g(m);
    heard.append(reinterpret_cast<const char*>(data), length);
    heardRate = rate;
    if (heard.find("/>") != std::string::npos) {
      const std::string answer = "<sy,bq = ud/>";
      unit.WriteSerial(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    }
  });
  ASSERT_TRUE(unit.Start());
  SerialHost host(unit.SerialPath(), B19200);
  host.Write(Bytes{'<', 'S', 'Y', ',', 'B', 'Q', '/', '>'});
  const Bytes answer = host.Receive(13);
  EXPECT_EQ("<sy,bq = ud/>", std::string(answer.begin(), answer.end()));
  {
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ("<SY,BQ/>", heard);
    EXPECT_EQ(19200u, heardRate);
  }
  // Written from another thread, the bytes still arrive.
  const std::string extra = "<x>";
  unit.WriteSerial(reinterpret_cast<const uint8_t*>(extra.data()), extra.size());
  const Bytes more = host.Receive(3);
  EXPECT_EQ(extra, std::string(more.begin(), more.end()));
  // Bytes put off for a while leave after those written meanwhile.
  unit.WriteSerial(reinterpret_cast<const uint8_t*>("<late>"), 6, std::chrono::milliseconds(300));
  unit.WriteSerial(reinterpret_cast<const uint8_t*>("<now>"), 5);
  const Bytes both = host.Receive(11);
  EXPECT_EQ("<now><late>", std::string(both.begin(), both.end()));
  EXPECT_EQ(0u, unit.Counters().framesReceived);
}

// ------------------------------------------------------------ the dump ----

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tq-sim-dumpXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir = pattern;
    // A tiny package: two data records behind an extended address, and a
    // flash image of 70 bytes.
    std::ofstream(dir + "/application.hex", std::ios::binary)
        << ":020000041D00DD\r\n:03B18000010203C6\r\n:00000001FF\r\n";
    std::string flash;
    for (int i = 0; i < 70; ++i) flash += static_cast<char>(i * 3);
    std::ofstream(dir + "/flash.bin", std::ios::binary) << flash;
    flashImage.assign(flash.begin(), flash.end());
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

  // Programs the tiny package into the unit as a host would.
  void Program(UdpHost& host) {
    host.Send({0x02});
    host.Receive();
    Bytes records{0x03, 0x02, 0x00, 0x00, 0x04, 0x1D, 0x00, 0xDD, 0x03, 0xB1, 0x80,
                  0x00, 0x01, 0x02, 0x03, 0xC6, 0x00, 0x00, 0x00, 0x01, 0xFF};
    host.Send(records);
    host.Receive();
    host.Send({0x08, 8, 0, 1, 0});
    host.Receive();
    host.Send({0x05});
    host.Receive();
    for (uint32_t at = 0; at < flashImage.size(); at += 64) {
      const uint32_t address = sim::kFlashImageBase + at;
      const uint32_t count = std::min<uint32_t>(64, static_cast<uint32_t>(flashImage.size()) - at);
      Bytes block{0x06,
                  static_cast<uint8_t>(address),
                  static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address >> 16),
                  static_cast<uint8_t>(address >> 24),
                  static_cast<uint8_t>(count),
                  0,
                  0,
                  0};
      for (uint32_t i = 0; i < 64; ++i) block.push_back(i < count ? flashImage[at + i] : 0);
      host.Send(block);
      host.Receive();
    }
    host.Send({0x0C});
    host.Receive();
    host.Send({0x04});
    host.Receive();
  }

  std::string dir;
  Bytes flashImage;
};

TEST_F(DumpTest, DumpAfterEndUpdateEqualsThePackage) {
  // Declared before the unit, so they outlive its thread.
  const std::string dump = dir + "/unit.json";
  std::atomic<int> dumps{0};
  sim::SimulatedUnit unit(LoopbackOptions());
  unit.SetEndUpdateHandler([&unit, &dumps, dump] {
    std::string error;
    EXPECT_TRUE(sim::WriteDump(unit, dump, &error)) << error;
    ++dumps;
  });
  ASSERT_TRUE(unit.Start());
  UdpHost host(unit.UdpPort());
  Program(host);
  // The reply to EndUpdate goes out before the dump is written.
  for (int waited = 0; dumps.load() == 0 && waited < 5000; waited += 5) platform::SleepMs(5);
  unit.Stop();
  ASSERT_EQ(1, dumps.load());

  const std::string json = ReadText(dump);
  EXPECT_NE(std::string::npos, json.find("\"version_stamp\": \"08000100\"")) << json;
  EXPECT_NE(std::string::npos, json.find("\"application_version\": \"0x00010008\""));
  EXPECT_NE(std::string::npos, json.find("\"factory_defaults\": true"));
  EXPECT_NE(std::string::npos, json.find("\"updates_ended\": 1"));
  EXPECT_NE(std::string::npos, json.find("\"6\": {\"name\": \"FlashImageBlock\", \"received\": 2, \"executed\": 2}"));
  EXPECT_NE(std::string::npos, json.find("\"segments\": [\"0x1D00B180:3\"]"));
  // The flash side file is the image itself.
  const std::string flashBin = ReadText(dump + ".flash.bin");
  EXPECT_EQ(std::string(flashImage.begin(), flashImage.end()), flashBin);
  EXPECT_EQ("0x00040000:70\n", ReadText(dump + ".flash.map"));

  sim::SparseMemory back;
  std::string error;
  ASSERT_TRUE(sim::ReadDumpMemory(dump + ".program", &back, &error)) << error;
  EXPECT_TRUE(back == unit.Program());

  std::string message;
  EXPECT_EQ(0, sim::VerifyDump(dump, dir, sim::VerifyScope::Both, &message));
  EXPECT_EQ("memory equals package", message);

  // One changed byte in the unit's program memory is found and named.
  std::string program = ReadText(dump + ".program.bin");
  program[1] = 0x7F;
  std::ofstream(dump + ".program.bin", std::ios::binary) << program;
  EXPECT_EQ(1, sim::VerifyDump(dump, dir, sim::VerifyScope::Both, &message));
  EXPECT_EQ("program memory differs from the package at 0x1D00B181: unit 0x7F, package 0x02", message);
  EXPECT_EQ(0, sim::VerifyDump(dump, dir, sim::VerifyScope::Flash, &message));

  // The program's own compare tool says the same.
  const std::string command = std::string(TQ35B_SIM) + " --verify-dump " + dump + " --package " + dir;
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char line[256] = {};
  ASSERT_NE(nullptr, fgets(line, sizeof line, p));
  const int status = pclose(p);
  EXPECT_EQ("program memory differs from the package at 0x1D00B181: unit 0x7F, package 0x02\n", std::string(line));
  EXPECT_EQ(1, WEXITSTATUS(status));
}

// The program end to end: it says when it is ready, answers, and writes its
// dump when told to stop.
TEST_F(DumpTest, ProgramReportsReadyAndDumpsOnSigterm) {
  int out[2];
  ASSERT_EQ(0, pipe(out));
  const std::string dump = dir + "/prog.json";
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(TQ35B_SIM, TQ35B_SIM, "--udp-port", "0", "--no-pty", "--bootloader-version", "3.2", "--no-sequence", "--dump",
          dump.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string ready;
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (ready.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0 && read(out[0], &c, 1) == 1) ready += c;
  ASSERT_EQ(0u, ready.find("ready udp=127.0.0.1:")) << ready;
  EXPECT_NE(std::string::npos, ready.find(" pty=none"));
  const int port = std::atoi(ready.c_str() + std::strlen("ready udp=127.0.0.1:"));
  UdpHost host(static_cast<uint16_t>(port));
  host.Send({0x01});
  EXPECT_EQ(sim::EncodeFrame({0x01, 3, 2}), host.Receive());
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string json = ReadText(dump);
  EXPECT_NE(std::string::npos, json.find("\"received\": 1,")) << json;
  EXPECT_NE(std::string::npos, json.find("\"bootloader_version\": \"3.2\""));
  EXPECT_NE(std::string::npos, json.find("\"sequence_support\": false"));
}

}  // namespace
