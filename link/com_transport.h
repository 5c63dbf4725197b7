// The serial link: a unit on a serial port at a bit rate chosen by the
// caller, always 8 data bits, no parity, one stop bit.
#pragma once

#include <cstdint>

#include "link/transport.h"

class COMTransport : public Transport {
 public:
  // The name is copied (at most kNameSize - 1 characters); the port stays
  // closed until Open.
  COMTransport(const wchar_t* portName, int bitRate);
  ~COMTransport() override;
  COMTransport(const COMTransport&) = delete;
  COMTransport& operator=(const COMTransport&) = delete;

  // Opens the port exclusively and applies time-outs and line settings
  // afresh; nonzero when the port is open afterwards.
  int Open() override;
  int IsOpen() override;
  int Close() override;
  // Always 1; a failed write closes the port.
  int Write(const uint8_t* data, int length) override;
  // Returns once the buffer is full or about 5 ms have passed; on Linux also
  // once the line has fallen quiet after a byte (for two character times at
  // up to 19200 bit/s; at faster rates when no more bytes are there).
  uint16_t Read(uint8_t* buffer, int capacity) override;
  const wchar_t* Kind() override;
  // The bytes the driver already holds, at once; 0 at once when it holds none.
  uint16_t ReadPending(uint8_t* buffer, int capacity) override;
#ifndef _WIN32
  // Until the buffer is full or 5 ms have passed, whatever the rate: what a
  // Read gives on Windows. (There Read already is that read.)
  uint16_t ReadText(uint8_t* buffer, int capacity) override;
  // Bytes as soon as they arrive, collected as Read collects them, or 0
  // after `waitUs` microseconds.
  uint16_t ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) override;
#endif
  // Ten bit times a byte (8N1) at the port's rate.
  uint32_t WireTimeUs(int bytes) override;
  virtual const wchar_t* PortName();

  // "\\.\COM255" fits in 12 on Windows; a Linux device path such as
  // /dev/ttyUSB0 or /dev/ttyACM0 does not.
#ifdef _WIN32
  static constexpr int kNameSize = 12;
#else
  static constexpr int kNameSize = 64;
#endif

 private:
#ifdef _WIN32
  using PortHandle = void*;  // HANDLE
  static constexpr PortHandle kClosed = nullptr;
#else
  using PortHandle = int;  // file descriptor
  static constexpr PortHandle kClosed = -1;
#endif
  PortHandle port_ = kClosed;
  uint32_t lastReadCount_ = 0;
  int bitRate_;
  wchar_t portName_[kNameSize];
  // A name that did not fit is never opened: its shortened form could be
  // another port.
  bool nameTruncated_ = false;
};
