// Putting a running unit into bootload mode: find it through the link the
// main window made, then send the PIN, the enable and the restart command.
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "control/text_commands.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "resources/resource.h"

namespace {

constexpr unsigned kCommandSize = 32;
constexpr char kPinCommandStart[] = "<SY,BU";
constexpr char kPinCommandEnd[] = "/>";

const char* const kPinReplies[] = {"<sy,bu = ud/>", "<sy,bu=ud/>", "<sy,bu = ue/>", "<sy,bu=ue/>", nullptr};
const char* const kEnableReplies[] = {"<sy,be = ue/>", "<sy,be=ue/>", nullptr};
const char* const kRestartReplies[] = {"<sy,br/>", nullptr};

// Plain stores to a buffer that is never read again may be dropped by the
// compiler; these are not.
void WipeBytes(void* data, size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *bytes++ = 0;
}

// A PIN character that can go into the command as it is: printable 7-bit,
// and neither "<" nor ">", which would end the command early or start
// another one on the unit's side.
bool IsCommandCharacter(wchar_t c) { return c >= 0x20 && c < 0x7F && c != L'<' && c != L'>'; }

// "<SY,BU" + PIN + "/>". False, with nothing formatted, when the PIN is
// missing, holds a character that has no place in a command, or would not
// fit the buffer with its terminator.
bool FormatPinCommand(const wchar_t* pin, char (&command)[kCommandSize]) {
  command[0] = '\0';
  if (pin == nullptr) return false;
  const size_t fixed = std::strlen(kPinCommandStart) + std::strlen(kPinCommandEnd);
  const size_t length = std::wcslen(pin);
  if (length > kCommandSize - 1 - fixed) return false;
  for (size_t i = 0; i < length; ++i)
    if (!IsCommandCharacter(pin[i])) return false;

  size_t at = 0;
  for (const char* p = kPinCommandStart; *p; ++p) command[at++] = *p;
  for (size_t i = 0; i < length; ++i) command[at++] = static_cast<char>(pin[i]);
  for (const char* p = kPinCommandEnd; *p; ++p) command[at++] = *p;
  command[at] = '\0';
  return true;
}

bool IsAccepted(const char* reply, const char* const* accepted) {
  for (; *accepted != nullptr; ++accepted)
    if (std::strcmp(reply, *accepted) == 0) return true;
  return false;
}

// One command, and whether the unit's whole reply is one we accept.
bool ExchangeAccepted(Transport* link, const char* command, const char* const* accepted) {
  char reply[kCommandReplySize];
  const bool ok = link->Exchange(command, reply, sizeof reply, kTextCommandTimeoutMs) != 0 &&
                  IsAccepted(reply, accepted);
  WipeBytes(reply, sizeof reply);  // a unit may echo what it was sent
  return ok;
}

bool RunEnterSequence(Transport* link, const wchar_t* pin) {
  if (link == nullptr) return false;
  char command[kCommandSize];
  bool ok = FormatPinCommand(pin, command) && ExchangeAccepted(link, command, kPinReplies);
  WipeBytes(command, sizeof command);  // the PIN lives no longer than the call
  ok = ok && ExchangeAccepted(link, "<SY,BE/>", kEnableReplies);
  ok = ok && ExchangeAccepted(link, "<SY,BR/>", kRestartReplies);
  return ok;
}

void EndPinDialog(platform::WindowRef dialog, EnterBootloadResult result) {
#ifdef _WIN32
  EndDialog(dialog, result);
#else
  (void)dialog;  // no dialog here: the caller reads the result instead
  (void)result;
#endif
}

}  // namespace

int SendEnterBootloadCommands(platform::WindowRef owner, Transport* link, const wchar_t* pin) {
  const bool entered = RunEnterSequence(link, pin);
  if (entered) platform::SleepMs(kBootloadRestartMs);
  platform::ShowMessageBox(owner, UiText(entered ? IDS_BOOTLOAD_ENABLED : IDS_BOOTLOAD_FAILED),
                           UiText(IDS_BOOTLOAD_MODE), MB_OK | (entered ? MB_ICONINFORMATION : MB_ICONERROR));
  return entered ? 1 : 0;
}

int EnterBootload(platform::WindowRef dialog, Transport* link, const wchar_t* pin, EnterBootloadResult* result) {
  EnterBootloadResult outcome = kEnterBootloadNoAnswer;
  // Any unit that answers the query gets the sequence, whatever its letter.
  const ProbeAnswered send = [&](Transport& unit, const char*) {
    outcome = SendEnterBootloadCommands(dialog, &unit, pin) ? kEnterBootloadEntered : kEnterBootloadFailed;
  };

  const wchar_t* kind = link != nullptr ? link->Kind() : L"";
  if (std::wcscmp(kind, L"COM") == 0) {
    if (auto* serial = dynamic_cast<COMTransport*>(link))
      ProbeSerialUnit(serial->PortName(), kTextCommandTimeoutMs, IsQueryReply, send);
  } else if (std::wcscmp(kind, L"IP") == 0) {
    if (auto* network = dynamic_cast<EthernetTransport*>(link))
      QueryNetworkUnit(network->Address(), appState.parserPort, kTextCommandTimeoutMs, send);
  }

  // A unit that never answered the query leaves the dialog open for
  // another try; nothing is shown.
  if (outcome != kEnterBootloadNoAnswer) EndPinDialog(dialog, outcome);
  if (result != nullptr) *result = outcome;
  return 1;
}
