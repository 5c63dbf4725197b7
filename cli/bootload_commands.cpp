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
#include "cli/terminal.h"
#include "cli/text.h"
#include "control/text_commands.h"
#include "link/transport.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace cli {

namespace {

constexpr size_t kPinDigits = 4;
// Room for a line longer than a PIN, so that one is refused rather than cut.
constexpr size_t kPinLineSize = 64;

void Report(bool json, const char* event, const UnitTarget& target, const char* result, int exitCode,
            const std::string& text) {
  if (json) {
    const Json object{{"event", event}, {"unit", target.label}, {"result", result}, {"exit_code", exitCode},
                      {"text", text}};
    WriteOut(JsonLine(object) + "\n");
  } else {
    (exitCode == kExitSuccess ? WriteOut : WriteErr)(target.label + ": " + text + "\n");
  }
}

bool IsFourDigits(const char* line) {
  if (std::strlen(line) != kPinDigits) return false;
  for (size_t i = 0; i < kPinDigits; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  return true;
}

// The PIN dialog's rule: exactly four decimal digits. The PIN lives only in
// these two buffers, both wiped before this returns.
bool ReadPin(wchar_t (&pin)[kPinDigits + 1]) {
  char line[kPinLineSize];
  const bool read = ReadSecretLine("Installer PIN: ", line, sizeof line);
  const bool valid = read && IsFourDigits(line);
  for (size_t i = 0; i <= kPinDigits; ++i) pin[i] = valid && i < kPinDigits ? static_cast<wchar_t>(line[i]) : L'\0';
  WipeMemory(line, sizeof line);
  return valid;
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

int RunEnterBootloadCommand(const UnitTarget& target, bool json) {
  wchar_t pin[kPinDigits + 1];
  if (!ReadPin(pin)) {
    WipeMemory(pin, sizeof pin);
    WriteErr("tq35b: the installer PIN must be exactly four digits, on one line\n");
    return kExitUsage;
  }

  std::string boxText;
  EnterBootloadResult result = kEnterBootloadNoAnswer;
  {
    // The outcome box of the sequence becomes the line we print.
    const ConsoleMessageBoxes boxes([&](const ShownMessage& shown) { boxText = shown.text; });
    Transport* link = MakeTextLink(target);
    EnterBootload(nullptr, link, pin, &result);
    delete link;
  }
  WipeMemory(pin, sizeof pin);

  switch (result) {
    case kEnterBootloadEntered:
      Report(json, "enter-bootload", target, "entered", kExitSuccess,
             boxText.empty() ? Utf8(UiText(IDS_BOOTLOAD_ENABLED)) : boxText);
      return kExitSuccess;
    case kEnterBootloadFailed:
      Report(json, "enter-bootload", target, "failed", kExitFailed,
             boxText.empty() ? Utf8(UiText(IDS_BOOTLOAD_FAILED)) : boxText);
      return kExitFailed;
    case kEnterBootloadNoAnswer:
      break;
  }
  Report(json, "enter-bootload", target, "no-response", kExitNoResponse,
         "The unit's text interface did not answer " +
             std::string(target.kind == UnitTarget::kNetwork
                             ? "on TCP port " + std::to_string(appState.parserPort) + "."
                             : "at any bit rate."));
  return kExitNoResponse;
}

int RunExitBootloadCommand(const UnitTarget& target, bool json) {
  ExitWatcher watcher;
  {
    ConsoleWindow window(watcher);
    if (!window.Ready()) return kExitFailed;
    appState.workerRequest = WorkerRequest{window.Ref(), MakeBootloaderLink(target)};
    platform::Thread worker = platform::StartThread(exit_bootload_thread, &appState.workerRequest);
    if (!worker) {
      delete appState.workerRequest.link;
      appState.workerRequest = {};
      return kExitFailed;
    }
    window.RunUntil([&] { return watcher.done; });
    platform::WaitThread(worker);
    platform::CloseThread(worker);
    appState.workerRequest = {};
  }
  switch (watcher.outcome) {
    case UWM_BOOTLOAD_EXITED:
      Report(json, "exit-bootload", target, "exited", kExitSuccess, Utf8(UiText(IDS_BOOTLOAD_EXITED)));
      return kExitSuccess;
    case UWM_WRONG_RESPONSE:
      Report(json, "exit-bootload", target, "wrong-response", kExitWrongResponse,
             Utf8(updaterProperties.Get(L"error-message.WrongResponse")));
      return kExitWrongResponse;
    default:
      Report(json, "exit-bootload", target, "no-response", kExitNoResponse,
             Utf8(updaterProperties.Get(L"error-message.NoResponse")));
      return kExitNoResponse;
  }
}

}  // namespace cli
