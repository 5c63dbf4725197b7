// The parts of the serial link that are the same on every platform; the port
// itself is in com_transport_win32.cpp and com_transport_posix.cpp.
#include "link/com_transport.h"

COMTransport::COMTransport(const wchar_t* portName, int bitRate) : bitRate_(bitRate) {
  int length = 0;
  if (portName != nullptr)
    while (length < kNameSize - 1 && portName[length] != L'\0') {
      portName_[length] = portName[length];
      ++length;
    }
  portName_[length] = L'\0';
  nameTruncated_ = portName != nullptr && portName[length] != L'\0';
}

COMTransport::~COMTransport() { Close(); }

int COMTransport::IsOpen() { return port_ != kClosed ? 1 : 0; }

const wchar_t* COMTransport::Kind() { return L"COM"; }

const wchar_t* COMTransport::PortName() { return portName_; }

uint32_t COMTransport::WireTimeUs(int bytes) {
  if (bytes <= 0 || bitRate_ <= 0) return 0;
  return static_cast<uint32_t>(uint64_t(bytes) * 10u * 1000000u / uint64_t(bitRate_));
}
