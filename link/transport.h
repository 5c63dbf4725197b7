// The device link: one abstract connection to a unit, with a serial, a UDP
// and a TCP kind. The bootloader protocol writes raw bytes and polls for
// bytes; the text command protocol uses Exchange.
#pragma once

#include <cstdint>

class Transport {
 public:
  virtual ~Transport() {}
  // Nonzero when the link is usable afterwards.
  virtual int Open() = 0;
  // Nonzero while the link holds an open port or socket.
  virtual int IsOpen() { return 0; }
  // Always 1.
  virtual int Close() { return 1; }
  // 1 accepted, 0 failed.
  virtual int Write(const uint8_t* data, int length) = 0;
  // Bytes placed in the buffer; 0 when none arrived within the kind's read
  // time-out, or on error. Never waits for a full buffer.
  virtual uint16_t Read(uint8_t* buffer, int capacity) = 0;
  // Sends a command and collects one reply "<...>" into the buffer as
  // NUL-terminated text. 1 when a reply was collected, else 0. The same for
  // every kind.
  int Exchange(const char* command, char* reply, unsigned capacity, unsigned timeoutMs);
  // "COM", "IP" or "TCP".
  virtual const wchar_t* Kind() = 0;
  // Bytes that have already arrived, taken without waiting for more: 0 at
  // once on a quiet line. For dropping what a unit said before a command;
  // a line that is still talking may hand over the rest of what it is
  // sending. A kind that cannot look without waiting falls back on Read.
  virtual uint16_t ReadPending(uint8_t* buffer, int capacity) { return Read(buffer, capacity); }
  // The reads of Exchange's reply: like Read, except that a kind whose Read
  // may come back early, with the first few bytes of a reply that is still
  // arriving, collects here until the buffer is full or its read time-out
  // has passed. Exchange charges every read the whole time since the
  // command went out, so a reply taken a few bytes per read would use up
  // the time allowed long before the nominal time-out.
  virtual uint16_t ReadText(uint8_t* buffer, int capacity) { return Read(buffer, capacity); }
  // Bytes that arrive within `waitUs` microseconds, handed over as soon as
  // there are any; 0 once the wait has passed on a quiet line. For watching
  // a line for a short while at a finer grain than the kind's own read
  // time-out. The kinds override it with a wait the system ends when bytes
  // arrive; this one looks with ReadPending until the time is up.
  virtual uint16_t ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs);
  // How long `bytes` take on the wire, in microseconds: their line time on
  // a serial port, 0 on a network.
  virtual uint32_t WireTimeUs(int /*bytes*/) { return 0; }
};
