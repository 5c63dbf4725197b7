// The bootloader frame engine: a few commands in a row, each answered by an
// arbitrary byte stream cut into reads at arbitrary points, with arbitrary
// delays between the reads.
//
// Checked on every command: the request frame on the wire is well formed
// (SOH, escaped body, EOT, good CRC, the right command and sequence number),
// resends repeat it byte for byte and never exceed the tries, and an accepted
// reply is a frame for this command with a good CRC that lies within the
// session's buffers.
#include <cstring>
#include <vector>

#include "boot/bootloader_session.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr uint8_t SOH = 0x01, EOT = 0x04, DLE = 0x10;

// The body of a request frame as the unit would read it; false when the
// frame is not SOH, a correctly escaped body and EOT.
bool Unframe(const std::vector<uint8_t>& wire, std::vector<uint8_t>* body) {
  if (wire.size() < 2 || wire.front() != SOH || wire.back() != EOT) return false;
  body->clear();
  for (size_t i = 1; i + 1 < wire.size(); ++i) {
    uint8_t b = wire[i];
    if (b == SOH || b == EOT) return false;
    if (b == DLE) {
      if (i + 2 >= wire.size()) return false;
      b = wire[++i];
      if (b != SOH && b != EOT && b != DLE) return false;  // only control bytes are escaped
    }
    body->push_back(b);
  }
  return true;
}

// The CRC worked out bit by bit, independently of the engine's table-driven
// one (polynomial 0x1021, start 0, no reflection, no final XOR).
uint16_t BitwiseCrc(const uint8_t* data, size_t length) {
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

bool CrcGood(const uint8_t* body, size_t length) {
  if (length < 3) return false;
  const uint16_t crc = BitwiseCrc(body, length - 2);
  FUZZ_CHECK(crc == Crc16(body, static_cast<int>(length - 2)));
  return body[length - 2] == static_cast<uint8_t>(crc) && body[length - 1] == static_cast<uint8_t>(crc >> 8);
}

size_t PayloadSize(uint8_t code, int length, const uint8_t* data) {
  switch (code) {
    case TextString:
      return std::strlen(reinterpret_cast<const char*>(data)) + 1;
    case ApplicationRecords:
      return static_cast<size_t>(length);
    case FlashImageBlock:
      return 72;
    case WriteApplicationVersion:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  auto* link = new fuzz::ScriptedLink(in.U8() & 1 ? L"COM" : L"IP", false);
  BootloaderSession session;
  session.SetTransport(link);
  uint32_t sequence = 0;  // what the session's counter must be

  for (int round = 0; round < 4 && in.Left() > 0; ++round) {
    const uint8_t command = in.U8();
    const uint16_t tries = in.U8() % 6;
    const uint16_t timeout = in.U16() % 400;
    const int length = in.U16() % 2100;
    // Payload storage of exactly the size the command reads, so that any
    // read beyond it is caught.
    std::vector<uint8_t> payload = in.Take(static_cast<size_t>(length));
    payload.resize(std::max<size_t>(static_cast<size_t>(length), 72));
    payload.push_back(0);  // a text payload ends somewhere
    link->afterWrite.clear();
    link->afterWrite.push_back(fuzz::ReadChunks(in, 24, 2200, 60));
    for (int resend = 0; resend < 2; ++resend) link->afterWrite.push_back(fuzz::ReadChunks(in, 4, 300, 60));
    link->writes.clear();
    link->pending.clear();

    const bool ok = session.SendCommand(command, payload.data(), length, tries, timeout);
    const uint8_t code = command & 0x7F;
    const bool known = code >= 1 && code <= 13;

    if (link->writes.empty()) {
      FUZZ_CHECK(!ok);  // nothing sent, nothing accepted
      continue;
    }
    // The end and exit commands always get exactly one try, whatever was asked.
    const uint16_t allowed = (code == EndUpdate || code == ExitBootloader) ? 1 : tries;
    FUZZ_CHECK(known && allowed > 0);
    FUZZ_CHECK(link->writes.size() <= allowed);
    for (const auto& w : link->writes) FUZZ_CHECK(w == link->writes.front());

    std::vector<uint8_t> body;
    FUZZ_CHECK(Unframe(link->writes.front(), &body));
    FUZZ_CHECK(CrcGood(body.data(), body.size()));
    FUZZ_CHECK(body[0] == command);
    if (code == ReadBootloaderVersion) sequence = 0;
    size_t header = 1;
    if (command & 0x80) {
      if (++sequence == 0) sequence = 1;
      FUZZ_CHECK(body.size() >= 7);
      const uint32_t sent = static_cast<uint32_t>(body[1]) << 24 | static_cast<uint32_t>(body[2]) << 16 |
                            static_cast<uint32_t>(body[3]) << 8 | body[4];
      FUZZ_CHECK(sent == sequence);
      header = 5;
    }
    FUZZ_CHECK(body.size() == header + PayloadSize(code, length, payload.data()) + 2);

    if (ok) {
      const uint16_t replyLength = session.ReplyLength();
      FUZZ_CHECK(replyLength >= 3 && replyLength <= 2045);
      FUZZ_CHECK(session.ReplyData()[0] == code);
      FUZZ_CHECK(CrcGood(session.ReplyData(), replyLength));
      // Every accepted reply came off the link: at least its bytes did.
      FUZZ_CHECK(link->delivered.size() >= replyLength);
    }
  }
  return 0;
}
