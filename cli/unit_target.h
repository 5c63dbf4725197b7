// A unit named on the command line: a network address (with the bootloader's
// UDP port, 6234 unless given) or a serial port, and the links to reach it.
#pragma once

#include <cstdint>
#include <string>

class Transport;

namespace cli {

struct UnitTarget {
  enum Kind { kNetwork, kSerial };
  Kind kind = kNetwork;
  uint32_t address = 0;         // network byte order
  uint16_t bootloaderPort = 0;  // UDP
  std::wstring portName;        // the device path the serial link opens
  std::string label;            // what the user typed, as the tables show it
};

// "A.B.C.D" or "A.B.C.D:PORT". Refuses the addresses that would send the
// bootloader's frames to many hosts at once: 0.0.0.0, 255.255.255.255,
// multicast, and the directed broadcast address of a local interface.
bool ParseNetworkTarget(const std::string& text, UnitTarget* target, std::string* error);

// A serial port: a terminal device path on Linux (links are followed, so a
// stable /dev/serial/by-id name works), "COM3" or "\\.\COM3" on Windows.
bool ParseSerialTarget(const std::string& text, UnitTarget* target, std::string* error);

// A dotted-quad IPv4 address, strictly: four decimal parts of 0 to 255.
bool ParseIpv4(const std::string& text, uint32_t* address);

// The bootloader link: UDP to the address, or the serial port at 115200 bit/s.
Transport* MakeBootloaderLink(const UnitTarget& target);

}  // namespace cli
