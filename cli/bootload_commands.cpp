// enter-bootload and exit-bootload: the two mode switches of the main window.
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/exit_bootload_thread.h"
#include "cli/commands.h"
#include "cli/console_message_boxes.h"
#include "cli/console_window.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "control/text_commands.h"
#include "link/transport.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace cli {

namespace {

constexpr size_t kPinDigits = kInstallerPinDigits;

void Report(bool json, const char* event, const UnitTarget& target, const char* result, int exitCode,
            const std::string& text) {
  if (json) {
    const Json object{
        {"event", event}, {"unit", target.label}, {"result", result}, {"exit_code", exitCode}, {"text", text}};
    WriteOut(JsonLine(object) + "\n");
  } else {
    (exitCode == kExitSuccess ? WriteOut : WriteErr)(target.label + ": " + text + "\n");
  }
}

// Only the kind and the endpoint of this link are used; it is never opened.
Transport* MakeTextLink(const UnitTarget& target) { return MakeBootloaderLink(target); }

class ExitWatcher : public MessageHandler {
 public:
  void OnMessage(uint32_t message, platform::MessageWParam, platform::MessageLParam) override {
    if (message == UWM_BOOTLOAD_EXITED || message == UWM_NO_RESPONSE || message == UWM_WRONG_RESPONSE) {
      outcome = message;
      done = true;
    }
  }
  void OnStatus(const std::wstring&) override {}
  uint32_t outcome = 0;
  bool done = false;
};

}  // namespace

bool ReadInstallerPinLine(char (&line)[kInstallerPinLineSize]) {
  const bool read = ReadSecretLine("Installer PIN: ", line, sizeof line);
  return read && IsInstallerPin(line);
}

// The PIN dialog's rule: exactly four decimal digits. The PIN lives only in
// these two buffers, both wiped before this returns.
bool ReadInstallerPin(wchar_t (&pin)[kInstallerPinDigits + 1]) {
  char line[kInstallerPinLineSize];
  const bool valid = ReadInstallerPinLine(line);
  for (size_t i = 0; i <= kPinDigits; ++i) pin[i] = valid && i < kPinDigits ? static_cast<wchar_t>(line[i]) : L'\0';
  WipeMemory(line, sizeof line);
  return valid;
}

EnterBootloadResult EnterBootloadMode(const UnitTarget& target, const wchar_t* pin, std::string* outcomeText) {
  EnterBootloadResult result = kEnterBootloadNoAnswer;
  // The outcome box of the sequence becomes the text we report.
  const ConsoleMessageBoxes boxes([&](const ShownMessage& shown) { *outcomeText = shown.text; });
  Transport* link = MakeTextLink(target);
  EnterBootload(nullptr, link, pin, &result);
  delete link;
  if (outcomeText->empty() && result != kEnterBootloadNoAnswer)
    *outcomeText = Utf8(UiText(result == kEnterBootloadEntered ? IDS_BOOTLOAD_ENABLED : IDS_BOOTLOAD_FAILED));
  if (result == kEnterBootloadNoAnswer) *outcomeText = TextInterfaceSilentText(target);
  return result;
}

std::string TextInterfaceSilentText(const UnitTarget& target) {
  return "The unit's text interface did not answer " +
         std::string(target.kind == UnitTarget::kNetwork ? "on TCP port " + std::to_string(appState.parserPort) + "."
                                                         : "at any bit rate.");
}

int RunEnterBootloadCommand(const UnitTarget& target, bool json) {
  wchar_t pin[kPinDigits + 1];
  if (!ReadInstallerPin(pin)) {
    WipeMemory(pin, sizeof pin);
    WriteErr("tq35b: the installer PIN must be exactly four digits, on one line\n");
    return kExitUsage;
  }
  std::string boxText;
  const EnterBootloadResult result = EnterBootloadMode(target, pin, &boxText);
  WipeMemory(pin, sizeof pin);

  switch (result) {
    case kEnterBootloadEntered:
      Report(json, "enter-bootload", target, "entered", kExitSuccess, boxText);
      return kExitSuccess;
    case kEnterBootloadFailed:
      Report(json, "enter-bootload", target, "failed", kExitFailed, boxText);
      return kExitFailed;
    case kEnterBootloadNoAnswer:
      break;
  }
  Report(json, "enter-bootload", target, "no-response", kExitNoResponse, boxText);
  return kExitNoResponse;
}

int ExitBootloaderMode(const UnitTarget& target, std::string* outcomeText) {
  ExitWatcher watcher;
  {
    ConsoleWindow window(watcher);
    if (!window.Ready()) {
      *outcomeText = "the program could not make its message window";
      return kExitFailed;
    }
    appState.workerRequest = WorkerRequest{window.Ref(), MakeBootloaderLink(target)};
    platform::Thread worker = platform::StartThread(exit_bootload_thread, &appState.workerRequest);
    if (!worker) {
      delete appState.workerRequest.link;
      appState.workerRequest = {};
      *outcomeText = "the exit worker could not be started";
      return kExitFailed;
    }
    window.RunUntil([&] { return watcher.done; });
    platform::WaitThread(worker);
    platform::CloseThread(worker);
    appState.workerRequest = {};
  }
  switch (watcher.outcome) {
    case UWM_BOOTLOAD_EXITED:
      *outcomeText = Utf8(UiText(IDS_BOOTLOAD_EXITED));
      return kExitSuccess;
    case UWM_WRONG_RESPONSE:
      *outcomeText = Utf8(updaterProperties.Get(L"error-message.WrongResponse"));
      return kExitWrongResponse;
    default:
      *outcomeText = Utf8(updaterProperties.Get(L"error-message.NoResponse"));
      return kExitNoResponse;
  }
}

int RunExitBootloadCommand(const UnitTarget& target, bool json) {
  std::string text;
  const int exitCode = ExitBootloaderMode(target, &text);
  const char* result = exitCode == kExitSuccess         ? "exited"
                       : exitCode == kExitWrongResponse ? "wrong-response"
                       : exitCode == kExitNoResponse    ? "no-response"
                                                        : "failed";
  Report(json, "exit-bootload", target, result, exitCode, text);
  return exitCode;
}

}  // namespace cli
