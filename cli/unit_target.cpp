#include "cli/unit_target.h"

#include <cstring>
#include <vector>

#include "cli/text.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <climits>
#include <cstdlib>
#endif

namespace cli {

namespace {

constexpr int kBootloaderBitRate = 115200;

bool ParseDecimal(const std::string& text, unsigned long limit, unsigned long* value) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + unsigned(c - '0');
  }
  if (number > limit) return false;
  *value = number;
  return true;
}

bool IsLocalBroadcast(uint32_t address) {
  std::vector<platform::InterfaceAddress> rows;
  if (!platform::ReadInterfaceTable(rows)) return false;
  for (const platform::InterfaceAddress& row : rows) {
    // A /32 or /31 row has no broadcast address of its own.
    if (row.mask == 0xFFFFFFFFu) continue;
    if (address == ((row.address & row.mask) | ~row.mask)) return true;
  }
  return false;
}

}  // namespace

bool ParseIpv4(const std::string& text, uint32_t* address) {
  uint8_t octets[4];
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? text.find('.', start) : text.size();
    if (dot == std::string::npos) return false;
    const std::string piece = text.substr(start, dot - start);
    unsigned long value;
    if (piece.size() > 3 || !ParseDecimal(piece, 255, &value)) return false;
    octets[part] = static_cast<uint8_t>(value);
    start = dot + 1;
  }
  std::memcpy(address, octets, sizeof octets);
  return true;
}

bool ParseNetworkTarget(const std::string& text, UnitTarget* target, std::string* error) {
  std::string host = text;
  uint16_t port = kBootloaderUdpPort;
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    unsigned long value;
    if (!ParseDecimal(text.substr(colon + 1), 65535, &value) || value == 0) {
      *error = "'" + text + "': the port after the colon must be a number from 1 to 65535";
      return false;
    }
    port = static_cast<uint16_t>(value);
  }
  uint32_t address;
  if (!ParseIpv4(host, &address)) {
    *error = "'" + text + "' is not an IPv4 address (four numbers from 0 to 255, such as 192.168.1.20)";
    return false;
  }
  uint8_t octets[4];
  std::memcpy(octets, &address, sizeof octets);
  const bool everyone = address == 0 || address == 0xFFFFFFFFu;
  const bool multicast = octets[0] >= 224 && octets[0] <= 239;
  if (everyone || multicast || IsLocalBroadcast(address)) {
    *error = "'" + host + "' is not the address of one unit (it is a broadcast or multicast address)";
    return false;
  }
  target->kind = UnitTarget::kNetwork;
  target->address = address;
  target->bootloaderPort = port;
  target->portName.clear();
  target->label = port == kBootloaderUdpPort ? host : text;
  return true;
}

bool ParseSerialTarget(const std::string& text, UnitTarget* target, std::string* error) {
  if (text.empty()) {
    *error = "the serial port name is empty";
    return false;
  }
  std::wstring name;
#ifdef _WIN32
  // "COM3" as the user knows it; the device path as the link opens it.
  name = Wide(text);
  if (name.compare(0, 4, L"\\\\.\\") != 0) name = L"\\\\.\\" + name;
#else
  char resolved[PATH_MAX];
  if (!realpath(text.c_str(), resolved)) {
    *error = "serial port '" + text + "' does not exist";
    return false;
  }
  name = Wide(resolved);
#endif
  if (name.size() >= static_cast<size_t>(COMTransport::kNameSize)) {
    *error = "serial port '" + text + "': its device name '" + Utf8(name) + "' is longer than " +
             std::to_string(COMTransport::kNameSize - 1) + " characters, which the serial link cannot open";
    return false;
  }
  target->kind = UnitTarget::kSerial;
  target->address = 0;
  target->bootloaderPort = 0;
  target->portName = name;
  target->label = text;
  return true;
}

Transport* MakeBootloaderLink(const UnitTarget& target) {
  if (target.kind == UnitTarget::kSerial) return new COMTransport(target.portName.c_str(), kBootloaderBitRate);
  return new EthernetTransport(target.address, target.bootloaderPort);
}

}  // namespace cli
