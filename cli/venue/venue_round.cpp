// One unit's round of a venue update, in a worker process: enter bootload
// mode, wait for the bootloader, check, update, leave, confirm.
#include <atomic>
#include <sstream>

#include "app/app_state.h"
#include "app/messages.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/package_startup.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "cli/unit_query.h"
#include "cli/venue/venue_update.h"
#include "control/text_commands.h"
#include "discovery/ip_discover.h"
#include "package/properties_container.h"
#include "platform/platform.h"

namespace cli {

namespace {

// A unit restarting into its bootloader, or into its application, gets this
// long to answer again before it is given up on.
constexpr int64_t kRestartWaitMs = 30000;
// Between two tries of a unit's text port while it restarts.
constexpr unsigned kTextPollPauseMs = 500;

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

void Emit(const UpdateEvent& event) { WriteOut(ToJson(event) + "\n"); }

// A unit may come back from a restart at another address (its bootloader
// and its application need not take the same one). After this long without
// an answer where it was, the networks are searched for its hardware
// address.
constexpr int64_t kLookElsewhereAfterMs = 5000;

// Where the unit with `mac` answers now in the given mode, by a short
// complete search; false when it is not heard.
bool FindUnitByMac(const std::string& mac, bool bootload, uint32_t* address) {
  CompleteSearchLimits limits;
  limits.leastMs = 1000;
  limits.capMs = 4000;
  std::atomic<int> found{0};
  CompleteSearchResult result;
  SearchNetworksCompletely(
      limits,
      [&](const NetworkAnswer& unit) {
        if (unit.mac != mac || ((unit.flags & kUnitInBootload) != 0) != bootload) return;
        *address = unit.address;
        found = 1;
      },
      &result, &found);
  return found.load() != 0;
}

class Round {
 public:
  Round(const RoundRequest& request, const std::string& recordPath)
      : request_(request), target_(request.target), recordPath_(recordPath), start_(Now()) {
    report_.modeAfter = request.enter ? "application" : "bootload";
  }

  int Run() {
    bool current = false;
    if (request_.enter) {
      if (!Enter()) return Finish();
      current = request_.check && !report_.applicationBefore.empty() &&
                report_.applicationBefore == PackageApplicationVersion(Utf8(unitProperties.Get(L"server-fw-version")));
    }
    if (request_.update && !current) {
      if (!Update()) return Finish();
      report_.result = RoundResult::kUpdated;
    } else {
      report_.result = RoundResult::kSkipped;
      report_.applicationAfter = report_.applicationBefore;
      report_.text = "already current: not written";
    }
    // A unit found current after it was entered goes back to how it was,
    // whatever else was asked.
    const bool leave = request_.leave || current;
    if (leave && !Leave()) return Finish();
    report_.exitCode = kExitSuccess;
    std::string& text = report_.text;
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    text += std::string(text.empty() ? "" : "; ") + (leave ? "running its application" : "left in bootload mode");
    return Finish();
  }

 private:
  void Stage(const char* step, const std::string& text) {
    UpdateEvent event;
    event.kind = UpdateEvent::kStage;
    event.unit = request_.target.label;
    event.step = step;
    event.text = text;
    Emit(event);
  }

  bool Fail(const char* step, int exitCode, const std::string& text) {
    report_.result = RoundResult::kFailed;
    report_.failedStep = step;
    report_.exitCode = exitCode;
    report_.text = text;
    return false;
  }

  void Note(const QueryFindings& found) {
    if (found.bootloaderAnswered) report_.bootloaderVersion = BootloaderVersionText(found.bootloaderVersion);
    if (HasApplicationVersion(found.applicationVersion))
      report_.applicationBefore = ApplicationVersionText(found.applicationVersion);
  }

  bool Enter() {
    wchar_t pin[kInstallerPinDigits + 1];
    const bool havePin = ReadInstallerPin(pin);
    if (!havePin) {
      WipeMemory(pin, sizeof pin);
      return Fail("enter bootload", kExitUsage, "no installer PIN was given to the worker");
    }
    Stage("enter bootload", "sending the installer PIN and the restart command");
    std::string text;
    const EnterBootloadResult result = EnterBootloadMode(target_, pin, &text);
    WipeMemory(pin, sizeof pin);
    if (result == kEnterBootloadNoAnswer) return Fail("enter bootload", kExitNoResponse, text);
    if (result == kEnterBootloadFailed) return Fail("enter bootload", kExitFailed, text);

    report_.modeAfter = "unknown";
    Stage("wait for bootloader", "waiting for the unit to answer as a bootloader");
    const QueryFindings found = WaitForBootloader();
    if (!found.bootloaderAnswered)
      return Fail("wait for bootloader", kExitNoResponse,
                  "the unit did not answer as a bootloader within " + std::to_string(kRestartWaitMs / 1000) +
                      " s of its restart");
    report_.modeAfter = "bootload";
    Note(found);
    return true;
  }

  bool Update() {
    // From here on the unit is finished whatever happens to the process
    // that started this one.
    WritingBegins();
    Stage("update", "writing the package");
    std::string outcomeText;
    const UpdateResult result = RunUnitUpdate(target_, request_.choices, [&](const UpdateEvent& event) {
      if (event.kind == UpdateEvent::kUnit) {
        if (!event.bootloaderVersion.empty()) report_.bootloaderVersion = event.bootloaderVersion;
        if (report_.applicationBefore.empty()) report_.applicationBefore = event.applicationVersion;
      }
      if (event.kind == UpdateEvent::kOutcome) outcomeText = event.text;
      Emit(event);
    });
    if (result != UpdateResult::kSucceeded) {
      // A unit whose update failed stays in bootload mode, ready for
      // another try; one that never answered is in a state nobody knows.
      report_.modeAfter = result == UpdateResult::kNoResponse ? "unknown" : "bootload";
      return Fail("update", ExitCodeOf(result), outcomeText);
    }
    // What the unit reports now, not what we meant to write.
    const QueryFindings found = QueryUnitVersions(target_);
    if (HasApplicationVersion(found.applicationVersion))
      report_.applicationAfter = ApplicationVersionText(found.applicationVersion);
    report_.text = outcomeText;
    return true;
  }

  bool Leave() {
    Stage("exit bootload", "telling the bootloader to start the application");
    std::string text;
    const int code = ExitBootloaderMode(target_, &text);
    if (code != kExitSuccess) return Fail("exit bootload", code, text);
    report_.modeAfter = "unknown";
    Stage("confirm", "asking the application for its bootload mode");
    if (!WaitForApplication())
      return Fail("confirm", kExitNoResponse,
                  "the unit did not answer as an application with bootload mode off within " +
                      std::to_string(kRestartWaitMs / 1000) + " s");
    report_.modeAfter = "application";
    return true;
  }

  int Finish() {
    report_.elapsedMs = Now() - start_;
    UpdateEvent event;
    event.kind = UpdateEvent::kRound;
    event.unit = request_.target.label;
    event.round = report_;
    Emit(event);
    if (!recordPath_.empty()) RecordRound(recordPath_, request_.target.label, report_);
    return report_.exitCode;
  }

  // Asks until the bootloader answers or the time is up. A unit that is
  // still restarting spends the query's own tries (about 2.5 s) on each
  // round.
  QueryFindings WaitForBootloader() {
    const int64_t begun = Now();
    QueryFindings found;
    do {
      found = QueryUnitVersions(target_);
      if (!found.bootloaderAnswered && Now() - begun >= kLookElsewhereAfterMs) LookElsewhere(true);
    } while (!found.bootloaderAnswered && Now() < begun + kRestartWaitMs);
    return found;
  }

  // The unit's application answers on its text port and reports bootload
  // mode off, within the time.
  bool WaitForApplication() {
    const int64_t begun = Now();
    for (;;) {
      char letter = '\0';
      QueryNetworkUnit(target_.address, appState.parserPort, kTextCommandTimeoutMs,
                       [&](Transport&, const char* reply) { letter = QueryReplyLetter(reply); });
      if (letter == 'd') return true;
      if (Now() >= begun + kRestartWaitMs) return false;
      if (Now() - begun >= kLookElsewhereAfterMs && LookElsewhere(false)) continue;
      platform::SleepMs(kTextPollPauseMs);
    }
  }

  // Follows the unit to the address its hardware address answers from now.
  bool LookElsewhere(bool bootload) {
    uint32_t address = 0;
    if (request_.mac.empty() || !FindUnitByMac(request_.mac, bootload, &address) || address == target_.address)
      return false;
    // The same ports at the new address; the label stays the unit's name.
    target_.address = address;
    // Back where it was planned (its application may keep the old address
    // when only its bootloader takes another) is no move.
    report_.movedTo = address == request_.target.address ? std::string() : DottedAddress(address);
    Stage(bootload ? "wait for bootloader" : "confirm",
          "the unit (" + request_.mac + ") answers at " + DottedAddress(address) + " now");
    return true;
  }

  const RoundRequest& request_;
  UnitTarget target_;  // where the unit is reached now
  const std::string recordPath_;
  const int64_t start_;
  RoundReport report_;
};

}  // namespace

bool ParseRoundSteps(const std::string& steps, RoundRequest* request) {
  if (steps.empty() || steps.back() == ',') return false;
  std::istringstream parts(steps);
  std::string part;
  bool any = false;
  while (std::getline(parts, part, ',')) {
    if (part == "enter")
      request->enter = true;
    else if (part == "check")
      request->check = true;
    else if (part == "update")
      request->update = true;
    else if (part == "leave")
      request->leave = true;
    else
      return false;
    any = true;
  }
  return any;
}

std::string RoundSteps(const RoundRequest& request) {
  std::string steps;
  auto add = [&](bool on, const char* name) {
    if (on) steps += std::string(steps.empty() ? "" : ",") + name;
  };
  add(request.enter, "enter");
  add(request.check, "check");
  add(request.update, "update");
  add(request.leave, "leave");
  return steps;
}

int RunVenueRound(const RoundRequest& request, const std::string& recordPath) {
  ShieldWorker();
  return Round(request, recordPath).Run();
}

}  // namespace cli
