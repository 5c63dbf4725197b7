// The links on Windows (run under Wine by the Wine tests): UDP and TCP
// against loopback peers played here, and the serial link against a second
// COM port that is the far end of the same pseudo-terminal pair.
//
//   win_link_test.exe [PORT FAR_END]    e.g.  \\.\COM5 \\.\COM6
//
// Without ports only the network cases run. Prints "N passed, N failed" and
// exits 0 when nothing failed.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "platform/platform.h"

namespace {

int passed = 0, failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what);
  }
}

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

SOCKET Bound(int type, u_short* port) {
  SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = Loopback();
  int length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && listen(s, 4) != 0) ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  *port = ntohs(address.sin_port);
  return s;
}

bool Readable(SOCKET s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &wait) > 0;
}

std::string ReceiveDatagram(SOCKET s, sockaddr_in* from) {
  if (!Readable(s, 1000)) return "<nothing>";
  char buffer[2048];
  int length = sizeof(sockaddr_in);
  const int n = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(from), from ? &length : nullptr);
  return n < 0 ? "<error>" : std::string(buffer, n);
}

uint16_t ReadSome(Transport& link, uint8_t* buffer, int capacity) {
  uint16_t n = 0;
  for (int i = 0; i < 50 && n == 0; ++i) n = link.Read(buffer, capacity);
  return n;
}

// ReadPending until it brings something, pausing between looks, for at
// most a second.
uint16_t PendingSome(Transport& link, uint8_t* buffer, int capacity) {
  uint16_t n = 0;
  for (int i = 0; i < 100 && n == 0; ++i) {
    n = link.ReadPending(buffer, capacity);
    if (n == 0) Sleep(10);
  }
  return n;
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Whether this system hands a plain UDP socket's next receive the
// unreachable-port report of an earlier send (as WSAECONNRESET).
bool ReportsUnreachablePorts(u_short deadPort) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  DWORD wait = 200;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
  sockaddr_in dead{};
  dead.sin_family = AF_INET;
  dead.sin_addr.s_addr = Loopback();
  dead.sin_port = htons(deadPort);
  sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&dead), sizeof dead);
  char byte;
  const bool reported = recvfrom(s, &byte, 1, 0, nullptr, nullptr) == SOCKET_ERROR &&
                        WSAGetLastError() == WSAECONNRESET;
  closesocket(s);
  return reported;
}

// The link writes to a port nobody listens on any more, which brings back
// an unreachable-port report; a peer then queues a datagram for the link.
// The datagram is read all the same, and a read on a quiet line still waits
// its time-out instead of returning at once with the report.
void UnreachablePortCases(EthernetTransport& link, u_short deadPort, const sockaddr_in& linkAddress) {
  std::printf("udp: this system %s unreachable ports to receives\n",
              ReportsUnreachablePorts(deadPort) ? "reports" : "does not report");
  u_short peerPort = 0, markPort = 0;
  SOCKET peer = Bound(SOCK_DGRAM, &peerPort), mark = Bound(SOCK_DGRAM, &markPort);
  sockaddr_in markAddress{};
  markAddress.sin_family = AF_INET;
  markAddress.sin_addr.s_addr = Loopback();
  markAddress.sin_port = htons(markPort);
  // The datagram goes out after the write, so it queues behind the write's
  // report; a second one sent after it to our own socket tells when it has
  // arrived.
  auto queue = [&](const char* text) {
    link.Write(reinterpret_cast<const uint8_t*>("abc"), 3);
    sendto(peer, text, static_cast<int>(std::strlen(text)), 0, reinterpret_cast<const sockaddr*>(&linkAddress),
           sizeof linkAddress);
    sendto(peer, "mark", 4, 0, reinterpret_cast<sockaddr*>(&markAddress), sizeof markAddress);
    return ReceiveDatagram(mark, nullptr) == "mark";
  };
  uint8_t buffer[64] = {};
  Check(queue("pending") && link.ReadPending(buffer, sizeof buffer) == 7 && std::memcmp(buffer, "pending", 7) == 0,
        "udp: ReadPending after an unreachable port takes the datagram queued behind the report");
  Check(queue("waiting") && link.Read(buffer, sizeof buffer) == 7 && std::memcmp(buffer, "waiting", 7) == 0,
        "udp: Read after an unreachable port takes the datagram queued behind the report");
  link.Write(reinterpret_cast<const uint8_t*>("abc"), 3);
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  const uint16_t quiet = link.Read(buffer, sizeof buffer);
  QueryPerformanceCounter(&end);
  const double waited = Milliseconds(start, end);
  std::printf("udp: quiet Read after an unreachable port waited %.1f ms\n", waited);
  // About 10 ms; a read that took the report for the end returns at once.
  Check(quiet == 0 && waited >= 5.0, "udp: quiet Read after an unreachable port waits its time-out");
  closesocket(peer);
  closesocket(mark);
}

void UdpCases() {
  u_short port = 0;
  SOCKET unit = Bound(SOCK_DGRAM, &port);
  Check(unit != INVALID_SOCKET, "udp: test peer bound");
  if (unit == INVALID_SOCKET) return;

  EthernetTransport link(Loopback(), port);
  Check(link.Open() == 1, "udp: Open");
  Check(link.Write(reinterpret_cast<const uint8_t*>("\x01\x10\x01\x21\x10\x10\x04"), 7) == 1, "udp: Write gives 1");
  sockaddr_in from{};
  Check(ReceiveDatagram(unit, &from) == std::string("\x01\x10\x01\x21\x10\x10\x04", 7), "udp: datagram bytes");

  sendto(unit, "ninebytes", 9, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  uint8_t buffer[2038] = {};
  const uint16_t n = ReadSome(link, buffer, sizeof buffer);
  Check(n == 9 && std::memcmp(buffer, "ninebytes", 9) == 0, "udp: Read returns the datagram's 9 bytes");
  Check(link.Read(buffer, sizeof buffer) == 0, "udp: empty Read gives 0");

  sendto(unit, "ninebytes", 9, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  std::memset(buffer, 0, sizeof buffer);
  Check(ReadSome(link, buffer, 4) == 4 && std::memcmp(buffer, "nine", 4) == 0 && buffer[4] == 0,
        "udp: short buffer gets the part that fits");

  Check(link.ReadPending(buffer, sizeof buffer) == 0, "udp: ReadPending on a quiet line gives 0");
  sendto(unit, "tenbytes!!", 10, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sendto(unit, "two", 3, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  std::memset(buffer, 0, sizeof buffer);
  Check(PendingSome(link, buffer, sizeof buffer) == 10 && std::memcmp(buffer, "tenbytes!!", 10) == 0,
        "udp: ReadPending takes a datagram that has arrived");
  Check(PendingSome(link, buffer, sizeof buffer) == 3 && std::memcmp(buffer, "two", 3) == 0,
        "udp: ReadPending takes the next datagram on its next call");
  Check(link.ReadPending(buffer, sizeof buffer) == 0, "udp: ... and only that one");

  std::string command, lineEnd;
  std::thread peer([&] {
    sockaddr_in source{};
    command = ReceiveDatagram(unit, &source);
    lineEnd = ReceiveDatagram(unit, nullptr);
    sendto(unit, "<sy,br/>", 8, 0, reinterpret_cast<sockaddr*>(&source), sizeof source);
  });
  char reply[32] = {};
  const int result = link.Exchange("<SY,BR/>", reply, sizeof reply, 1000);
  peer.join();
  Check(command == "<SY,BR/>" && lineEnd == "\r\n", "udp: Exchange sends the command, then CR LF");
  Check(result == 1 && std::strcmp(reply, "<sy,br/>") == 0, "udp: Exchange collects the reply");
  closesocket(unit);

  // Nobody listens on the port any more: the write still succeeds, and
  // nothing comes back.
  Check(link.Write(reinterpret_cast<const uint8_t*>("abc"), 3) == 1, "udp: Write to a dead port gives 1");
  Check(link.Read(buffer, sizeof buffer) == 0, "udp: Read after a dead port gives 0");
  UnreachablePortCases(link, port, from);
  Check(link.Close() == 1 && link.Close() == 1 && link.IsOpen() == 0, "udp: Close twice");
}

void TcpCases() {
  u_short port = 0;
  SOCKET listener = Bound(SOCK_STREAM, &port);
  Check(listener != INVALID_SOCKET, "tcp: test listener bound");
  if (listener == INVALID_SOCKET) return;

  EthernetTransportTCP link(Loopback(), port);
  Check(link.Open() == 1, "tcp: Open");
  SOCKET peer = Readable(listener, 1000) ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
  Check(peer != INVALID_SOCKET, "tcp: connection accepted");
  if (peer == INVALID_SOCKET) return;

  std::string received;
  std::thread unit([&] {
    char chunk[64];
    while (received.size() < 10 && Readable(peer, 1000)) {
      const int n = recv(peer, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      received.append(chunk, n);
    }
    send(peer, "<sy,bq", 6, 0);
    Sleep(20);
    send(peer, " = ue/>\r\n", 9, 0);
  });
  char reply[16] = {};
  const int result = link.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
  unit.join();
  Check(received == "<SY,BQ/>\r\n", "tcp: command arrives followed by CR LF");
  Check(result == 1 && std::strcmp(reply, "<sy,bq = ue/>") == 0, "tcp: Exchange joins the split reply");

  closesocket(peer);
  uint8_t buffer[64];
  uint16_t n = 1;
  const DWORD start = GetTickCount();
  for (int i = 0; i < 10 && n != 0; ++i) n = link.Read(buffer, sizeof buffer);
  for (int i = 0; i < 10; ++i) n = static_cast<uint16_t>(n + link.Read(buffer, sizeof buffer));
  Check(n == 0, "tcp: Read after the peer closed gives 0");
  Check(GetTickCount() - start < 1000, "tcp: ... and comes back at once");
  Check(link.Close() == 1 && link.Close() == 1 && link.IsOpen() == 0, "tcp: Close twice");

  closesocket(listener);
  EthernetTransportTCP refused(Loopback(), port);
  Check(refused.Open() == 0, "tcp: refused connection gives 0");
  Check(refused.Write(reinterpret_cast<const uint8_t*>("x"), 1) == 0, "tcp: Write without a connection gives 0");
  Check(EthernetTransportTCP(Loopback(), 0).Port() == 4999, "tcp: port 0 means 4999");
}

bool RunningOnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The far end of the serial line, opened with plain Win32 calls.
HANDLE OpenFarEnd(const wchar_t* name) {
  HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) return port;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = 50;
  SetCommTimeouts(port, &timeouts);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = 0;
  SetCommState(port, &dcb);
  return port;
}

std::string ReceiveFarEnd(HANDLE port, size_t count) {
  std::string got;
  for (int quiet = 0; got.size() < count && quiet < 20;) {
    char chunk[512];
    DWORD n = 0;
    if (!ReadFile(port, chunk, sizeof chunk, &n, nullptr) || n == 0) {
      ++quiet;
      continue;
    }
    got.append(chunk, n);
  }
  return got;
}

void SendFarEnd(HANDLE port, const std::string& bytes) {
  DWORD written = 0;
  WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void SerialCases(const wchar_t* name, const wchar_t* farName) {
  HANDLE farEnd = OpenFarEnd(farName);
  Check(farEnd != INVALID_HANDLE_VALUE, "com: far end opened");
  if (farEnd == INVALID_HANDLE_VALUE) return;

  COMTransport link(name, 115200);
  Check(std::wcscmp(link.Kind(), L"COM") == 0 && std::wcscmp(link.PortName(), name) == 0, "com: Kind and PortName");
  Check(link.Open() == 1, "com: Open");
  COMTransport second(name, 9600);
  const int secondOpened = second.Open();
  if (RunningOnWine()) {
    // Wine's serial ports do not enforce the exclusive share mode.
    std::printf("com: exclusive open not checked under Wine\n");
    second.Close();
  } else {
    Check(secondOpened == 0, "com: second link to an open port fails");
  }

  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  Check(link.Write(reinterpret_cast<const uint8_t*>(all.data()), static_cast<int>(all.size())) == 1, "com: Write");
  Check(ReceiveFarEnd(farEnd, all.size()) == all, "com: every byte value arrives unchanged");
  SendFarEnd(farEnd, all);
  std::string back;
  uint8_t buffer[512];
  for (int i = 0; i < 200 && back.size() < all.size(); ++i) {
    const uint16_t n = link.Read(buffer, sizeof buffer);
    back.append(reinterpret_cast<char*>(buffer), n);
  }
  Check(back == all, "com: every byte value is read unchanged");

  Check(link.ReadPending(buffer, sizeof buffer) == 0, "com: ReadPending on a quiet line gives 0");
  SendFarEnd(farEnd, "0123456789");
  std::string pending;
  for (int i = 0; i < 100 && pending.size() < 10; ++i) {
    const uint16_t n = link.ReadPending(buffer, 4);
    pending.append(reinterpret_cast<char*>(buffer), n);
    if (n == 0) Sleep(10);
  }
  Check(pending == "0123456789", "com: ReadPending takes the queued bytes, a capacity at a time");

  std::string command;
  std::thread unit([&] {
    command = ReceiveFarEnd(farEnd, 8);
    SendFarEnd(farEnd, "\r\n<sy,bq = ud/>\r\n");
  });
  char reply[16] = {};
  const int result = link.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
  unit.join();
  Check(command == "<SY,BQ/>", "com: exactly the command arrives");
  Check(ReceiveFarEnd(farEnd, 1).empty(), "com: nothing follows the command");
  Check(result == 1 && std::strcmp(reply, "<sy,bq = ud/>") == 0, "com: Exchange collects the reply");

  // Reopening applies the settings afresh, and the link still talks.
  Check(link.Close() == 1 && link.Close() == 1 && link.IsOpen() == 0, "com: Close twice");
  Check(second.Open() == 1, "com: the port opens again once closed");
  second.Close();
  Check(link.Open() == 1, "com: reopen");
  link.Write(reinterpret_cast<const uint8_t*>("ping"), 4);
  Check(ReceiveFarEnd(farEnd, 4) == "ping", "com: reopened link writes");
  CloseHandle(farEnd);

  COMTransport missing(L"\\\\.\\COM250", 115200);
  Check(missing.Open() == 0 && missing.IsOpen() == 0, "com: missing port fails");
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  UdpCases();
  TcpCases();
  if (argc >= 3)
    SerialCases(Widen(argv[1]).c_str(), Widen(argv[2]).c_str());
  else
    std::printf("serial cases skipped: no ports given\n");
  WSACleanup();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
