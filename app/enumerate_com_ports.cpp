#include <cstring>
#include <cwchar>

#include "app/app_state.h"

#ifdef _WIN32

// A port is listed when it can be opened right now; one held by another
// program stays out of the list until the next search.
void EnumerateComPorts() {
  std::memset(appState.SerialPortTable, 0, sizeof appState.SerialPortTable);
  int next = 0;
  for (unsigned n = 1; n <= 255 && next < kSerialPortCount; ++n) {
    wchar_t path[kSerialPortNameSize];
    swprintf(path, kSerialPortNameSize, L"\\\\.\\COM%u", n);
    HANDLE port = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (port == INVALID_HANDLE_VALUE) continue;
    ::CloseHandle(port);
    wcsncpy(appState.SerialPortTable[next++], path, kSerialPortNameSize - 1);
  }
}

#else

// Linux has no numbered port names to probe, and probing the machine's own
// serial devices is not ours to do unasked: the terminal tool and the tests
// fill the table with the ports they are given.
void EnumerateComPorts() { std::memset(appState.SerialPortTable, 0, sizeof appState.SerialPortTable); }

#endif
