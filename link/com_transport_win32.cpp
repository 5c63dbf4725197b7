// The serial link on Windows: a COM port opened by its device name
// ("\\.\COMn") through the Win32 serial interface.
#include <windows.h>

#include "link/com_transport.h"

int COMTransport::Open() {
  if (IsOpen()) Close();
  if (nameTruncated_) return 0;
  HANDLE port = CreateFileW(portName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (port == INVALID_HANDLE_VALUE) return 0;
  port_ = port;

  // A read returns as soon as the bytes asked for are there, or after 5 ms
  // with whatever came; a write gives up after 500 ms plus 1 ms a byte.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 5;
  timeouts.WriteTotalTimeoutMultiplier = 1;
  timeouts.WriteTotalTimeoutConstant = 500;
  SetCommTimeouts(port, &timeouts);

  // Only the line format is ours; flow control and modem lines stay as the
  // driver has them.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(port, &dcb);
  dcb.BaudRate = static_cast<DWORD>(bitRate_);
  dcb.fParity = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(port, &dcb)) Close();
  return IsOpen();
}

int COMTransport::Close() {
  if (port_ != kClosed) CloseHandle(static_cast<HANDLE>(port_));
  port_ = kClosed;
  return 1;
}

int COMTransport::Write(const uint8_t* data, int length) {
  if (port_ == kClosed) return 1;
  DWORD written = 0;
  if (!WriteFile(static_cast<HANDLE>(port_), data, length > 0 ? static_cast<DWORD>(length) : 0, &written, nullptr))
    Close();  // the port is gone: report it closed from now on
  return 1;
}

uint16_t COMTransport::Read(uint8_t* buffer, int capacity) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  const DWORD wanted = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
  DWORD count = 0;
  if (!ReadFile(static_cast<HANDLE>(port_), buffer, wanted, &count, nullptr)) count = 0;
  lastReadCount_ = count;
  return static_cast<uint16_t>(lastReadCount_);
}

uint16_t COMTransport::ReadPending(uint8_t* buffer, int capacity) {
  lastReadCount_ = 0;
  if (port_ == kClosed || buffer == nullptr || capacity <= 0) return 0;
  // The driver's count of bytes in its input queue: asking ReadFile for no
  // more than those returns at once, where asking for more would wait out
  // the 5 ms read time-out.
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(static_cast<HANDLE>(port_), &errors, &status) || status.cbInQue == 0) return 0;
  const DWORD limit = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
  const DWORD wanted = status.cbInQue < limit ? status.cbInQue : limit;
  DWORD count = 0;
  if (!ReadFile(static_cast<HANDLE>(port_), buffer, wanted, &count, nullptr)) count = 0;
  lastReadCount_ = count;
  return static_cast<uint16_t>(lastReadCount_);
}
