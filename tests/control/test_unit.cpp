#include "tests/control/test_unit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "link/com_transport.h"
#include "sim/simulated_unit.h"

struct TestUnit::Parts {
  sim::SimulatedUnit unit;
  std::unique_ptr<TextHalf> text;
  explicit Parts(const sim::UnitOptions& options) : unit(options) {}
  ~Parts() {
    unit.Stop();  // first: the unit calls into its text half
    if (text) text->Stop();
  }
};

namespace {

// Serial port names hold at most 11 characters; a pseudo-terminal with a
// long number is reached through a short link instead, unique to this
// process and unit.
std::string ShortLink() {
  static std::atomic<unsigned> counter{0};
  unsigned long id = static_cast<unsigned long>(getpid()) * 64 + (counter++ % 64);
  std::string name;
  for (int i = 0; i < 6; ++i, id /= 36) name += "0123456789abcdefghijklmnopqrstuvwxyz"[id % 36];
  return "/tmp/" + name;
}

}  // namespace

TestUnit::TestUnit(const TestUnitOptions& options) {
  sim::UnitOptions unit;
  unit.udpPort = 0;
  unit.mode = options.startInBootloader ? sim::UnitMode::Bootload : sim::UnitMode::Application;
  unit.bootloader.versionMajor = options.bootloaderMajor;
  unit.bootloader.versionMinor = options.bootloaderMinor;
  unit.bootloader.applicationVersion = options.applicationVersion;
  parts_.reset(new Parts(unit));

  TextHalfOptions text;
  text.parser = options.text;
  text.tcp = options.tcp;
  text.tcpPort = 0;
  parts_->text = AttachTextHalf(parts_->unit, text);
  std::string error;
  if (!parts_->unit.Start(&error)) throw std::runtime_error("simulated unit: " + error);
  if (!parts_->text->Start(LoopbackAddress())) throw std::runtime_error("simulated unit: no text port");

  std::string path = parts_->unit.SerialPath();
  if (path.size() >= static_cast<size_t>(COMTransport::kNameSize)) {
    unit.ptyLink = ShortLink();
    parts_.reset(new Parts(unit));
    parts_->text = AttachTextHalf(parts_->unit, text);
    if (!parts_->unit.Start(&error)) throw std::runtime_error("simulated unit: " + error);
    if (!parts_->text->Start(LoopbackAddress())) throw std::runtime_error("simulated unit: no text port");
    path = parts_->unit.SerialPath();
  }
  serialPort_.assign(path.begin(), path.end());
}

TestUnit::~TestUnit() = default;

uint16_t TestUnit::UdpPort() const { return parts_->unit.UdpPort(); }

uint16_t TestUnit::TcpPort() const { return parts_->text->TcpPort(); }

bool TestUnit::InBootloader() const { return parts_->unit.Mode() == sim::UnitMode::Bootload; }

TextParser& TestUnit::Text() { return parts_->text->Parser(); }

std::vector<uint8_t> TestUnit::BootloaderCommands() const {
  std::vector<uint8_t> codes;
  for (const sim::FrameRecord& frame : parts_->unit.Log())
    if (frame.outcome == sim::FrameRecord::Outcome::Executed) codes.push_back(frame.code);
  return codes;
}

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

uint16_t ClosedTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = LoopbackAddress();
  socklen_t size = sizeof local;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0)
    port = ntohs(local.sin_port);
  if (fd >= 0) close(fd);
  return port;
}
