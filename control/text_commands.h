// The unit's text commands: the bootload-mode query, the PIN-guarded
// sequence that puts a running unit into bootload mode, and the search for a
// serial unit's text interface across the bit rates it may use.
#pragma once

#include <cstdint>
#include <functional>

#include "link/transport.h"
#include "platform/platform.h"

// The rates at which a serial unit's text interface is tried, slowest first,
// ended by 0.
extern const int ProbeBaudRates[7];

// The installer PIN as the unit takes it: exactly four digits, for every
// place that reads one (the PIN dialogs, the terminal).
template <typename Char>
bool IsInstallerPin(const Char* text) {
  for (int i = 0; i < 4; ++i)
    if (text[i] < Char('0') || text[i] > Char('9')) return false;
  return text[4] == Char(0);
}

constexpr char kQueryCommand[] = "<SY,BQ/>";
constexpr unsigned kQueryReplySize = 16;
constexpr unsigned kCommandReplySize = 32;
constexpr unsigned kTextCommandTimeoutMs = 1000;
// The unit restarts into its bootloader after "<SY,BR/>"; give it time
// before anyone talks to it again.
constexpr unsigned kBootloadRestartMs = 4000;

// A query reply in either form: "<sy,bq = " (spaced) or "<sy,bq=" (compact).
bool IsQueryReply(const char* reply);
bool IsSpacedQueryReply(const char* reply);
// The second letter of the query's two-letter value: 'd' when bootload mode
// is off, 'e' when it is on. '\0' when the reply is not a query reply or is
// too short to hold the letter.
char QueryReplyLetter(const char* reply);

using QueryReplyTest = bool (*)(const char* reply);
// Called at the rate that answered, with the link still open and the reply.
using ProbeAnswered = std::function<void(Transport& link, const char* reply)>;

// Tries the port's text interface at each rate of ProbeBaudRates with a new
// serial link until a reply to the query passes `test`, and then lets
// `answered` act on that link before it is closed. Every link it made is
// deleted before it returns. A null test takes any query reply. Returns the
// rate that answered, or 0.
int ProbeSerialUnit(const wchar_t* portName, unsigned timeoutMs, QueryReplyTest test, const ProbeAnswered& answered);

// The same over TCP: connects to the unit's text port (address in network
// byte order), sends the query and, if a query reply in either form comes
// back, lets `answered` act on the open link. True when the unit answered.
bool QueryNetworkUnit(uint32_t address, unsigned port, unsigned timeoutMs, const ProbeAnswered& answered);

// How EnterBootload ends the PIN dialog: the unit did not answer the query
// (the dialog stays open), bootload mode was entered, or the sequence failed.
enum EnterBootloadResult : int {
  kEnterBootloadNoAnswer = 0,
  kEnterBootloadEntered = 1,  // IDOK
  kEnterBootloadFailed = 2,   // IDCANCEL
};

// Finds the unit that `link` names (only its kind and endpoint are used;
// the link itself is never opened) and sends it the enter-bootload sequence
// with the PIN. On Windows it ends the PIN dialog `dialog` with 1 or 2 when
// the unit answered; the same value goes to *result when it is given.
// Always returns 1.
int EnterBootload(platform::WindowRef dialog, Transport* link, const wchar_t* pin,
                  EnterBootloadResult* result = nullptr);

// Sends the PIN, the enable and the restart command over an open link whose
// unit has answered the query, waits for the restart and shows the outcome
// in a message box owned by `owner`. 1 when bootload mode was entered.
int SendEnterBootloadCommands(platform::WindowRef owner, Transport* link, const wchar_t* pin);
