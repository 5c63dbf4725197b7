// A simulated unit in this process, with its bootloader on loopback UDP and
// on a pseudo-terminal, and its text half on loopback TCP and on the same
// pseudo-terminal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/text_parser.h"

struct TestUnitOptions {
  TextParserOptions text;
  bool tcp = true;
  bool startInBootloader = false;
  uint8_t bootloaderMajor = 3;
  uint8_t bootloaderMinor = 1;
  uint32_t applicationVersion = 0x00010008;  // 1.8
};

class TestUnit {
 public:
  explicit TestUnit(const TestUnitOptions& options = TestUnitOptions());
  ~TestUnit();
  TestUnit(const TestUnit&) = delete;
  TestUnit& operator=(const TestUnit&) = delete;

  // The pseudo-terminal as a serial port device name.
  const wchar_t* SerialPort() const { return serialPort_.c_str(); }
  uint16_t UdpPort() const;
  uint16_t TcpPort() const;
  bool InBootloader() const;
  TextParser& Text();
  // Bootloader commands the unit has carried out, in order.
  std::vector<uint8_t> BootloaderCommands() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
  std::wstring serialPort_;
};

// 127.0.0.1 in network byte order.
uint32_t LoopbackAddress();
// A loopback TCP port that nothing listens on (just released).
uint16_t ClosedTcpPort();
