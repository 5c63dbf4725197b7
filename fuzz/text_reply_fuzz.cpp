// The unit's text replies as the program reads them: the bootload-mode
// query into its 16-byte buffer (either reply form, the state letter), and
// the three-command enter-bootload sequence with the PIN, each reply
// arbitrary bytes in arbitrary reads.
//
// Checked: the letter is only ever read from inside the reply; the sequence
// stops at the first reply it does not accept (so the commands that went out
// are always a leading part of PIN, enable, restart); bootload mode is
// reported entered only when all three went out, and the message box says
// what the result says.
#include <cstring>
#include <string>
#include <vector>

#include "control/text_commands.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t flags = in.U8();
  const wchar_t* kind = flags & 1 ? L"TCP" : L"COM";
  const bool serial = !(flags & 1);

  // The query.
  {
    fuzz::ScriptedLink link(kind, false);
    link.afterWrite.push_back(fuzz::ReadChunks(in, 8, 64, 150));
    char reply[kQueryReplySize];
    const bool heard = link.Exchange(kQueryCommand, reply, sizeof reply, 250) != 0;
    FUZZ_CHECK(std::memchr(reply, 0, sizeof reply) != nullptr);
    if (heard) {
      const char letter = QueryReplyLetter(reply);
      const size_t length = std::strlen(reply);
      if (IsSpacedQueryReply(reply)) {
        FUZZ_CHECK(IsQueryReply(reply));
        FUZZ_CHECK(letter == (length > 10 ? reply[10] : '\0'));
      } else if (IsQueryReply(reply)) {
        FUZZ_CHECK(std::strncmp(reply, "<sy,bq=", 7) == 0);
        FUZZ_CHECK(letter == (length > 8 ? reply[8] : '\0'));
      } else {
        FUZZ_CHECK(letter == '\0');
      }
    }
  }

  // The enter-bootload sequence.
  {
    fuzz::ScriptedLink link(kind, false);
    const size_t commandWrites = serial ? 1 : 2;  // a network command is followed by CR LF
    for (int step = 0; step < 3; ++step) {
      link.afterWrite.push_back(fuzz::ReadChunks(in, 6, 40, 300));
      if (!serial) link.afterWrite.emplace_back();
    }
    static const wchar_t* const kPins[] = {L"1234", L"0000", L"", L"12345678901234567890123", L"12<4"};
    const wchar_t* pin = kPins[(flags >> 1) % 5];
    fuzz::MessageBoxes& boxes = fuzz::RecordMessageBoxes();
    const int before = boxes.count;
    const int entered = SendEnterBootloadCommands(nullptr, &link, pin);

    std::vector<std::string> commands;
    for (size_t i = 0; i < link.writes.size(); i += commandWrites) {
      commands.push_back(Text(link.writes[i]));
      if (!serial) FUZZ_CHECK(i + 1 < link.writes.size() && Text(link.writes[i + 1]) == "\r\n");
    }
    std::string pinText = "<SY,BU";
    for (const wchar_t* p = pin; *p; ++p) pinText += static_cast<char>(*p);
    pinText += "/>";
    const std::vector<std::string> sequence = {pinText, "<SY,BE/>", "<SY,BR/>"};
    FUZZ_CHECK(commands.size() <= sequence.size());
    for (size_t i = 0; i < commands.size(); ++i) FUZZ_CHECK(commands[i] == sequence[i]);
    // A PIN with a character that has no place in a command is never sent.
    if (std::wcschr(pin, L'<')) FUZZ_CHECK(commands.empty());
    FUZZ_CHECK(entered == 0 || commands.size() == 3);
    FUZZ_CHECK(boxes.count == before + 1);
    FUZZ_CHECK(boxes.type == (entered ? (MB_OK | MB_ICONINFORMATION) : (MB_OK | MB_ICONERROR)));
  }
  return 0;
}
