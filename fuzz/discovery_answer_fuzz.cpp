// Network discovery: an interface table, a model name and a run of answers
// of any length from any senders, through the search cycles exactly as the
// worker runs them (answers too long for the receive buffer fail the
// receive, as the socket does). Each report is compared with a plain model
// of the answer rules and of the sender classification.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/messages.h"
#include "discovery/ip_discover.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Answer {
  uint32_t sender;
  std::vector<uint8_t> bytes;
};

// Hands out the scripted answers; sets the stop flag when they run out.
class ScriptedSocket : public DiscoverySocket {
 public:
  ScriptedSocket(std::vector<Answer> answers, std::atomic<int>& stop) : answers_(std::move(answers)), stop_(stop) {}
  void SendTo(uint32_t, uint16_t port, const uint8_t* data, size_t length) override {
    FUZZ_CHECK(port == kDiscoveryPort);
    FUZZ_CHECK(length == kDiscoveryRequestLength && std::memcmp(data, kDiscoveryRequest, length) == 0);
    ++sends;
  }
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) override {
    FUZZ_CHECK(capacity == kDiscoveryBufferSize);
    if (next_ >= answers_.size()) {
      stop_.store(1);
      return -1;
    }
    const Answer& a = answers_[next_++];
    *sender = a.sender;
    if (a.bytes.size() > capacity) return -1;  // a datagram too long for the buffer
    if (!a.bytes.empty()) std::memcpy(buffer, a.bytes.data(), a.bytes.size());
    return static_cast<int>(a.bytes.size());
  }
  int sends = 0;

 private:
  std::vector<Answer> answers_;
  size_t next_ = 0;
  std::atomic<int>& stop_;
};

uint8_t Octet(uint32_t address, int i) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  return b[i];
}

// Whether the answer is reported, and in bootload mode.
bool ModelAnswer(const std::vector<uint8_t>& a, const std::string& match, bool* bootload) {
  size_t at = 0;
  int ends = 0;
  while (ends < 2 && at < a.size()) {
    if (a[at] == '\r' && at + 1 < a.size() && a[at + 1] == '\n') {
      ++ends;
      at += 2;
    } else {
      ++at;
    }
  }
  if (ends < 2) return false;
  if (a.size() - at < match.size() || std::memcmp(&a[at], match.data(), match.size()) != 0) return false;
  at += match.size();
  static const char kSuffix[] = " - Bootload\r\n";
  *bootload = a.size() - at >= 13 && std::memcmp(&a[at], kSuffix, 13) == 0;
  return true;
}

uint32_t ModelFlags(uint32_t sender, const std::vector<platform::InterfaceAddress>& table) {
  uint32_t flags = kUnitOtherSubnet;
  for (const auto& row : table) {
    if (Octet(row.address, 0) == 127 && Octet(row.address, 1) == 0 && Octet(row.address, 2) == 0 &&
        Octet(row.address, 3) == 1)
      continue;
    if ((sender & row.mask) == (row.address & row.mask)) {
      flags = 0;
      break;
    }
  }
  const unsigned host = Octet(sender, 2) * 256u + Octet(sender, 3);
  if (Octet(sender, 0) == 169 && Octet(sender, 1) == 254 && host >= 2 && host <= 0xFFFD) flags |= kUnitLinkLocal;
  return flags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  std::vector<platform::InterfaceAddress> table(in.U8() % 6);
  for (auto& row : table) {
    row.address = in.U32();
    row.mask = in.U32();
  }
  const std::vector<uint8_t> modelBytes = in.Take(in.U8() % 40);
  std::wstring model;
  for (uint8_t b : modelBytes) model += static_cast<wchar_t>(0x20 + b % 0x5F);  // printable 7-bit
  MatchString match;
  BuildMatchString(match, model.c_str());
  FUZZ_CHECK(match.usable);
  std::string narrow = "Varno ";
  for (wchar_t c : model) narrow += static_cast<char>(c);
  FUZZ_CHECK(match.narrowLength == narrow.size() && std::memcmp(match.narrow, narrow.data(), narrow.size()) == 0);

  std::vector<Answer> answers;
  while (in.Left() > 0 && answers.size() < 40) {
    Answer a;
    a.sender = in.U32();
    a.bytes = in.Take(in.U16() % 400);
    answers.push_back(std::move(a));
  }

  std::atomic<int> stop{0};
  ScriptedSocket socket(answers, stop);
  fuzz::RecordingWindow window;
  RunSearchCycles(socket, table, match, &window, stop, 1000);

  // The cycles stop at the first failed receive and start over, so every
  // answer is seen once; the reports must be those the model picks.
  std::vector<fuzz::RecordingWindow::Message> expected;
  for (const Answer& a : answers) {
    bool bootload = false;
    if (a.bytes.size() > kDiscoveryBufferSize || !ModelAnswer(a.bytes, narrow, &bootload)) continue;
    expected.push_back({UWM_NETWORK_UNIT_FOUND, ModelFlags(a.sender, table) | (bootload ? kUnitInBootload : 0u),
                        static_cast<platform::MessageLParam>(a.sender)});
  }
  FUZZ_CHECK(window.messages.size() == expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    FUZZ_CHECK(window.messages[i].id == expected[i].id);
    FUZZ_CHECK(window.messages[i].wParam == expected[i].wParam);
    FUZZ_CHECK(window.messages[i].lParam == expected[i].lParam);
  }
  // One request per row that is not the loopback row, in every cycle.
  size_t rows = 0;
  for (const auto& row : table) rows += row.address != Ipv4(127, 0, 0, 1);
  FUZZ_CHECK(rows == 0 ? socket.sends == 0 : socket.sends % rows == 0);

  // The answer parser on its own, over any length (the socket never gives
  // it more than the buffer, but nothing in it may depend on that).
  if (!answers.empty()) {
    bool bootload = false, modelBootload = false;
    const auto& a = answers.front().bytes;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[a.size() + 1]);
    if (!a.empty()) std::memcpy(exact.get(), a.data(), a.size());
    const bool reported = ParseDiscoveryAnswer(exact.get(), a.size(), match, &bootload);
    FUZZ_CHECK(reported == ModelAnswer(a, narrow, &modelBootload));
    if (reported) FUZZ_CHECK(bootload == modelBootload);
  }
  return 0;
}
