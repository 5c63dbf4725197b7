#include "cli/venue/venue_update.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "app/app_state.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/terminal/progress_view.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "cli/unit_query.h"
#include "cli/update_command.h"
#include "cli/venue/report_files.h"
#include "cli/workers/update_runner.h"
#include "cli/workers/worker_pool.h"
#include "package/properties_container.h"
#include "platform/platform.h"

namespace cli {

namespace {

std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// Rows of columns, each as wide as its widest cell; the last column is not
// padded.
std::string Columns(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i)
      line += (i ? "  " : "") + (i + 1 < row.size() ? Pad(row[i], widths[i]) : row[i]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::vector<std::string> VenueQueryArguments(unsigned parserPort) {
  return {"query", "--json", "--parser-port", std::to_string(parserPort)};
}

std::vector<std::string> VenueRoundArguments(unsigned parserPort, const UpdateChoices& choices) {
  return {"update",
          "--worker",
          "--json",
          "--parser-port",
          std::to_string(parserPort),
          choices.serverFirmware ? "--server-firmware" : "--no-server-firmware",
          choices.serverUi ? "--server-ui" : "--no-server-ui",
          choices.factoryDefaults ? "--factory-defaults" : "--no-factory-defaults"};
}

std::string PlanActionText(const PlanEntry& entry, bool skipCurrent) {
  switch (entry.action) {
    case PlanAction::kUpdate:
      return "update";
    case PlanAction::kEnterThenUpdate:
      return skipCurrent ? "enter bootload mode, then update unless current" : "enter bootload mode, then update";
    case PlanAction::kSkip:
      return "skip (current)";
    case PlanAction::kCannot:
      return "cannot: " + entry.why;
  }
  return std::string();
}

std::string RoundResultText(const RoundReport& round) {
  switch (round.result) {
    case RoundResult::kUpdated:
      return "succeeded";
    case RoundResult::kSkipped:
      return "skipped (current)";
    case RoundResult::kFailed:
      return "FAILED at " + (round.failedStep.empty() ? std::string("plan") : round.failedStep);
    case RoundResult::kNotReached:
      return "not reached";
  }
  return std::string();
}

namespace {

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return line;
}

}  // namespace

std::string VisitStartTime() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// The units to visit: the ones that answered the search, told apart by
// their hardware address where they gave one (a unit heard at two addresses
// is one unit), and the ones named with --ip. A named unit at the address
// of one found is that unit, whatever port it was named with: two rounds on
// one unit at once would fight over its bootloader.
std::vector<VenueUnit> FindVenueUnits(const VenueRequest& request, VenueView& view) {
  std::vector<VenueUnit> units;
  for (const FoundNetworkUnit& found : FindNetworkUnits(
           request.seconds, [&view](const std::string& problem) { view.Notice(problem); },
           [&view](size_t count) { view.Found(count); }, view.StopFlag())) {
    if (!found.mac.empty() &&
        std::any_of(units.begin(), units.end(), [&](const VenueUnit& unit) { return unit.mac == found.mac; }))
      continue;
    VenueUnit unit;
    std::string error;
    if (!ParseNetworkTarget(DottedAddress(found.address), &unit.target, &error)) continue;
    unit.mac = found.mac;
    units.push_back(unit);
  }
  for (const UnitTarget& named : request.namedUnits) {
    auto same = std::find_if(units.begin(), units.end(),
                             [&](const VenueUnit& unit) { return unit.target.address == named.address; });
    if (same == units.end()) {
      units.push_back(VenueUnit{named, std::string(), true});
    } else if (!same->named) {
      same->target = named;  // the port the installer gave
      same->named = true;
    }
  }
  // In address order, so that the tables of two visits line up.
  std::sort(units.begin(), units.end(),
            [](const VenueUnit& a, const VenueUnit& b) { return ntohl(a.target.address) < ntohl(b.target.address); });
  return units;
}

namespace {

std::vector<std::string> TargetArguments(const UnitTarget& target) { return {"--ip", target.label}; }

// Every unit's query, side by side, each in a worker process, at most
// --jobs at once. A unit that answers nothing is asked once more: the text
// port gets only 250 ms, which a busy machine can miss. A stop leaves the
// queries not yet answered unanswered.
}  // namespace

std::vector<PlanEntry> MakeVenuePlan(const VenueRequest& request, const std::vector<VenueUnit>& units,
                                     VenueView& view) {
  const std::string current = PackageApplicationVersion(Utf8(unitProperties.Get(L"server-fw-version")));
  std::vector<Json> answers(units.size());
  for (int attempt = 0; attempt < 2 && view.StopRequests() == 0; ++attempt) {
    WorkerPool workers(request.jobs);
    for (size_t i = 0; i < units.size(); ++i) {
      if (attempt > 0 &&
          (FieldFlag(answers[i], "bootloader_answered") || FieldFlag(answers[i], "text_interface_answered")))
        continue;
      std::vector<std::string> arguments = request.queryArguments;
      for (const std::string& argument : TargetArguments(units[i].target)) arguments.push_back(argument);
      workers.Add(i, arguments, std::string());
    }
    bool stopped = false;
    workers.Run(
        [&](size_t index, const std::string& line) {
          Json answer;
          if (ParseJsonObject(line, &answer) && FieldText(answer, "event") == "query") answers[index] = answer;
        },
        nullptr,
        [&view](size_t, const WorkerPool::End& end) {
          if (!end.started && !end.cancelled) view.Notice(end.problem);
        },
        [&] {
          if (stopped || view.StopRequests() == 0) return;
          stopped = true;
          for (size_t i = 0; i < units.size(); ++i) {
            workers.Cancel(i);
            workers.Stop(i);
          }
        });
  }
  std::vector<PlanEntry> plan;
  for (size_t i = 0; i < units.size(); ++i) {
    plan.push_back(PlanUnit(units[i].target, answers[i], request.skipCurrent, current));
    plan.back().mac = units[i].mac;
  }
  return plan;
}

namespace {

Json PlanJson(const PlanEntry& entry, bool skipCurrent) {
  return Json{{"event", "plan"},
              {"unit", entry.target.label},
              {"mac", TextOrNull(entry.mac)},
              {"mode", entry.mode},
              {"bootloader", TextOrNull(entry.bootloaderVersion)},
              {"application", TextOrNull(entry.applicationVersion)},
              {"action", PlanActionName(entry.action)},
              {"text", PlanActionText(entry, skipCurrent)}};
}

bool Writes(const PlanEntry& entry) {
  return entry.action == PlanAction::kUpdate || entry.action == PlanAction::kEnterThenUpdate;
}

// What a unit's round is asked to do.
RoundRequest RoundFor(const PlanEntry& entry, const VenueRequest& request) {
  RoundRequest round;
  round.target = entry.target;
  round.enter = entry.action == PlanAction::kEnterThenUpdate;
  round.check = round.enter && request.skipCurrent;
  round.update = Writes(entry);
  round.leave = !request.stayInBootload;
  return round;
}

// The rounds, side by side (at most --jobs at once), shown as they go;
// their reports come back in `rounds`. Units that run their application
// get the PIN, but it is tried on one of them first: only once that unit
// has taken it do the others get it, so that a mistyped PIN reaches one
// unit, and on a terminal it is asked for again. Returns, per unit, whether
// its worker's own round line was shown.
}  // namespace

std::vector<bool> RunVenueRounds(const VenueRequest& request, const std::vector<PlanEntry>& plan,
                                 const std::vector<bool>& chosen, std::string& pinLine, const std::string& recordFolder,
                                 VenueView& view, std::vector<RoundReport>& rounds) {
  const size_t count = plan.size();
  std::vector<std::string> labels;
  for (const PlanEntry& entry : plan) labels.push_back(entry.target.label);
  UpdateRunner runner(view.RoundsView(labels), labels, request.jobs);
  std::vector<bool> reported(count, false), shown(count, false);
  std::vector<std::string> lastStage(count);

  auto argumentsOf = [&](size_t i) {
    const RoundRequest round = RoundFor(plan[i], request);
    std::vector<std::string> arguments = request.roundArguments;
    arguments.push_back("--round");
    arguments.push_back(RoundSteps(round));
    if (!recordFolder.empty()) {
      arguments.push_back("--record");
      arguments.push_back(recordFolder + "/" + RecordName(i));
    }
    for (const std::string& argument : TargetArguments(plan[i].target)) arguments.push_back(argument);
    if (!plan[i].mac.empty()) {
      arguments.push_back("--mac");
      arguments.push_back(plan[i].mac);
    }
    return arguments;
  };

  const size_t kNone = static_cast<size_t>(-1);
  size_t probe = kNone;
  std::vector<size_t> held;
  int pinTries = 1;
  // The units held back until the PIN was proven spend their first seconds
  // waiting for their restart into the bootloader. They take every other
  // turn among the units still waiting rather than all come last, so that
  // those waits fall among other units' writing instead of leaving the
  // machine idle while a whole batch of them waits at once.
  auto release = [&] {
    for (size_t i : held) runner.AddBetween(i, argumentsOf(i), pinLine);
    held.clear();
    // Every worker that needs it holds its copy of the PIN now; ours goes.
    WipeMemory(&pinLine[0], pinLine.size());
  };

  for (size_t i = 0; i < count; ++i) {
    if (plan[i].action == PlanAction::kCannot || !chosen[i]) {
      reported[i] = true;
      continue;
    }
    const RoundRequest round = RoundFor(plan[i], request);
    if (!round.enter && !round.update && !round.leave) {
      // Current and to stay in bootload mode: nothing to do.
      rounds[i].result = RoundResult::kSkipped;
      rounds[i].exitCode = kExitSuccess;
      rounds[i].modeAfter = "bootload";
      rounds[i].applicationAfter = plan[i].applicationVersion;
      rounds[i].text = "already current: not written; left in bootload mode";
      reported[i] = true;
      continue;
    }
    if (!round.enter) {
      runner.Add(i, argumentsOf(i), std::string());
    } else if (probe == kNone) {
      probe = i;
      runner.Add(i, argumentsOf(i), pinLine);
    } else {
      held.push_back(i);
    }
  }
  if (held.empty()) WipeMemory(&pinLine[0], pinLine.size());

  runner.Run(
      [&](size_t index, const UpdateEvent& event) {
        if (event.kind == UpdateEvent::kStage) {
          lastStage[index] = event.step;
          // The unit took the PIN: it restarts into its bootloader.
          if (index == probe && event.step == "wait for bootloader" && !held.empty()) release();
        }
        if (event.kind == UpdateEvent::kRound) {
          rounds[index] = event.round;
          reported[index] = shown[index] = true;
        }
      },
      [&](size_t index, UpdateRunner::Ending ending, int exitCode, const std::string& problem) {
        if (!reported[index]) {
          reported[index] = true;
          NoteLostRound(ending, exitCode, problem, lastStage[index], runner.Writing(index), &rounds[index]);
        } else if (ending == UpdateRunner::Ending::kAbandonedWhileWriting &&
                   rounds[index].result != RoundResult::kUpdated) {
          NoteLostRound(ending, exitCode, problem, lastStage[index], true, &rounds[index]);
        }
        if (index != probe || held.empty()) return;
        const bool refused = rounds[index].failedStep == "enter bootload" && rounds[index].exitCode == kExitFailed;
        if (!refused || runner.Stopping()) {
          release();
          return;
        }
        WipeMemory(&pinLine[0], pinLine.size());
        pinLine.clear();
        if (pinTries < 3 && view.AskPinAgain(plan[index].target.label, &pinLine)) {
          ++pinTries;
          reported[index] = shown[index] = false;
          lastStage[index].clear();
          runner.Add(index, argumentsOf(index), pinLine);
          return;
        }
        for (size_t i : held) {
          rounds[i].result = RoundResult::kNotReached;
          rounds[i].exitCode = kExitFailed;
          rounds[i].text = "not tried: " + plan[index].target.label +
                           " refused the installer PIN, and a mistyped PIN is not sent to every unit";
          reported[i] = true;
        }
        held.clear();
        WipeMemory(&pinLine[0], pinLine.size());
      });
  runner.Finish();
  WipeMemory(&pinLine[0], pinLine.size());
  return shown;
}

void NoteLostRound(UpdateRunner::Ending ending, int exitCode, const std::string& problem, const std::string& stage,
                   bool writing, RoundReport* round) {
  round->exitCode = kExitFailed;
  switch (ending) {
    case UpdateRunner::Ending::kAbandonedWhileWriting:
      round->result = RoundResult::kFailed;
      round->failedStep = "update";
      round->modeAfter = "bootload";
      round->text = "abandoned by the user while being written: left part-written in bootload mode";
      return;
    case UpdateRunner::Ending::kStoppedBeforeWriting:
      round->result = RoundResult::kNotReached;
      round->text = "stopped by the user before anything was written";
      // Once the PIN went out the unit restarts into its bootloader and
      // stays there.
      if (stage == "wait for bootloader") {
        round->modeAfter = "bootload";
        round->text += "; left in bootload mode";
      } else if (stage == "enter bootload") {
        round->modeAfter = "unknown";
      }
      return;
    case UpdateRunner::Ending::kNotStarted:
      round->result = RoundResult::kNotReached;
      round->text = problem;
      return;
    case UpdateRunner::Ending::kEnded:
      round->result = RoundResult::kFailed;
      if (writing) round->failedStep = "update";
      if (writing) round->modeAfter = "unknown";
      round->text = "the worker process ended without a report (exit code " + std::to_string(exitCode) + ")";
      return;
  }
}

const char* PlanActionName(PlanAction action) {
  switch (action) {
    case PlanAction::kUpdate:
      return "update";
    case PlanAction::kEnterThenUpdate:
      return "enter-then-update";
    case PlanAction::kSkip:
      return "skip";
    case PlanAction::kCannot:
      return "cannot";
  }
  return "cannot";
}

std::string PackageApplicationVersion(const std::string& serverFirmwareVersion) {
  unsigned major = 0, minor = 0;
  if (std::sscanf(serverFirmwareVersion.c_str(), "V%u.%u", &major, &minor) != 2) return std::string();
  // The stamp the update writes keeps the low 8 bits of each number.
  return std::to_string(major & 0xFF) + "." + std::to_string(minor & 0xFF);
}

PlanEntry PlanUnit(const UnitTarget& target, const Json& query, bool skipCurrent, const std::string& current) {
  PlanEntry entry;
  entry.target = target;
  entry.bootloaderVersion = FieldText(query, "bootloader");
  entry.applicationVersion = FieldText(query, "application");
  if (FieldFlag(query, "bootloader_answered")) {
    entry.mode = "bootload";
    if (!FieldFlag(query, "bootloader_accepted")) {
      entry.why = "bootloader " + entry.bootloaderVersion + " is not one this updater can update";
      entry.exitCode = kExitWrongResponse;
    } else if (skipCurrent && !current.empty() && entry.applicationVersion == current) {
      entry.action = PlanAction::kSkip;
    } else {
      entry.action = PlanAction::kUpdate;
    }
  } else if (FieldFlag(query, "text_interface_answered")) {
    // Whatever letter it reported, the unit is running its application and
    // takes the enter-bootload sequence.
    entry.mode = "application";
    entry.action = PlanAction::kEnterThenUpdate;
  } else {
    entry.mode = "unknown";
    entry.why = "no answer";
    entry.exitCode = kExitNoResponse;
  }
  return entry;
}

std::string PlanTable(const std::vector<PlanEntry>& plan, bool skipCurrent) {
  std::vector<std::vector<std::string>> rows = {{"UNIT", "MAC", "MODE", "BOOTLOADER", "APPLICATION", "ACTION"}};
  for (const PlanEntry& entry : plan)
    rows.push_back({entry.target.label, OrDash(entry.mac), entry.mode, OrDash(entry.bootloaderVersion),
                    entry.mode == "application" ? "(not told)" : OrDash(entry.applicationVersion),
                    PlanActionText(entry, skipCurrent)});
  return Columns(rows);
}

std::string SummaryTable(const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds) {
  std::vector<std::vector<std::string>> rows = {
      {"UNIT", "MAC", "BOOTLOADER", "BEFORE", "AFTER", "RESULT", "TIME", "NOW IN", "DETAIL"}};
  for (size_t i = 0; i < plan.size(); ++i) {
    const RoundReport& round = rounds[i];
    rows.push_back({plan[i].target.label, OrDash(plan[i].mac),
                    OrDash(round.bootloaderVersion.empty() ? plan[i].bootloaderVersion : round.bootloaderVersion),
                    OrDash(round.applicationBefore), OrDash(round.applicationAfter), RoundResultText(round),
                    DurationText(round.elapsedMs), round.modeAfter.empty() ? "unknown" : round.modeAfter,
                    OneLine(round.text) + (round.movedTo.empty() ? "" : " (now at " + round.movedTo + ")")});
  }
  return Columns(rows);
}

Json UnitSummaryJson(const PlanEntry& plan, const RoundReport& round) {
  Json unit = RoundJson(plan.target.label, round);
  Json out;
  out["unit"] = unit["unit"];
  out["mac"] = TextOrNull(plan.mac);
  out["mode_before"] = plan.mode;
  out["action"] = PlanActionName(plan.action);
  for (auto it = unit.begin(); it != unit.end(); ++it)
    if (it.key() != "unit") out[it.key()] = it.value();
  return out;
}

int VenueExitCode(const std::vector<RoundReport>& rounds) {
  std::vector<int> codes;
  for (const RoundReport& round : rounds)
    codes.push_back(round.result == RoundResult::kUpdated || round.result == RoundResult::kSkipped
                        ? kExitSuccess
                        : (round.exitCode == kExitSuccess ? kExitFailed : round.exitCode));
  return CombinedExitCode(codes);
}

Json VisitReportDocument(const VenueRequest& request, const std::string& started, const std::string& ending,
                         bool stopped, const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds,
                         int exitCode) {
  Json units = Json::array();
  for (size_t i = 0; i < plan.size(); ++i) units.push_back(UnitSummaryJson(plan[i], rounds[i]));
  return Json{{"report", "tq35b update --all"},
              {"started", started},
              {"model", Utf8(unitProperties.Get(L"model"))},
              {"package_build", Utf8(unitProperties.Get(L"build-version"))},
              {"server_firmware_version", Utf8(unitProperties.Get(L"server-fw-version"))},
              {"choices",
               {{"server_firmware", request.choices.serverFirmware},
                {"server_ui", request.choices.serverUi},
                {"factory_defaults", request.choices.factoryDefaults},
                {"skip_current", request.skipCurrent},
                {"stay_in_bootload", request.stayInBootload},
                {"dry_run", request.dryRun}}},
              {"ending", ending},
              {"interrupted", stopped},
              {"exit_code", exitCode},
              {"units", units}};
}

std::vector<RoundReport> RoundsAsPlanned(const std::vector<PlanEntry>& plan, const std::string& notReached) {
  std::vector<RoundReport> rounds(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    rounds[i].bootloaderVersion = plan[i].bootloaderVersion;
    rounds[i].applicationBefore = plan[i].mode == "bootload" ? plan[i].applicationVersion : std::string();
    rounds[i].modeAfter = plan[i].mode;
    rounds[i].text = notReached;
    if (plan[i].action == PlanAction::kCannot) {
      rounds[i].result = RoundResult::kFailed;
      rounds[i].failedStep = "plan";
      rounds[i].exitCode = plan[i].exitCode;
      rounds[i].text = plan[i].why;
    }
  }
  return rounds;
}

void CompleteRounds(const std::vector<PlanEntry>& plan, std::vector<RoundReport>* rounds) {
  for (size_t i = 0; i < plan.size(); ++i) {
    RoundReport& round = (*rounds)[i];
    // What the worker did not learn, the plan knew.
    if (round.bootloaderVersion.empty()) round.bootloaderVersion = plan[i].bootloaderVersion;
    if (round.applicationBefore.empty() && plan[i].mode == "bootload")
      round.applicationBefore = plan[i].applicationVersion;
    if (round.result == RoundResult::kSkipped && round.applicationAfter.empty())
      round.applicationAfter = round.applicationBefore;
    if (round.modeAfter.empty()) round.modeAfter = "unknown";
  }
}

std::string VenueTally(const std::vector<RoundReport>& rounds) {
  size_t updated = 0, skipped = 0, failed = 0;
  for (const RoundReport& round : rounds) {
    if (round.result == RoundResult::kUpdated)
      ++updated;
    else if (round.result == RoundResult::kSkipped)
      ++skipped;
    else
      ++failed;  // a unit not reached did not get what was asked for either
  }
  return std::to_string(updated) + " updated, " + std::to_string(skipped) + " skipped, " + std::to_string(failed) +
         " failed";
}

namespace {

// The terminal's side of a visit: notices on standard error, the rounds in
// the progress view or as JSON lines, a refused PIN asked again when a
// person is there to type it.
class TerminalVenueView : public VenueView {
 public:
  explicit TerminalVenueView(bool json) : json_(json) {}
  void Notice(const std::string& text) override { WriteErr("tq35b: " + text + "\n"); }
  int StopRequests() const override { return Interrupted() ? std::max(1, InterruptCount()) : 0; }
  const std::atomic<int>* StopFlag() const override { return StopAskedFlag(); }
  RunnerView& RoundsView(const std::vector<std::string>& labels) override {
    rounds_ = MakeTerminalRunnerView(json_, labels);
    return *rounds_;
  }
  bool AskPinAgain(const std::string& unit, std::string* pinLine) override {
    if (!StdinIsTerminal()) return false;
    WriteErr("tq35b: " + unit + " refused the installer PIN\n");
    char line[kInstallerPinLineSize];
    const bool read = ReadInstallerPinLine(line);
    if (read) {
      pinLine->append(line);
      pinLine->push_back('\n');
    }
    WipeMemory(line, sizeof line);
    return read;
  }

 private:
  bool json_;
  std::unique_ptr<RunnerView> rounds_;
};

// A folder beside the report where each worker leaves its round's record,
// with the report as it stands (head.json): should this process end
// before its workers, the last of them to finish still completes the
// report.
std::string MakeRecordFolder(const VenueRequest& request, const Json& head) {
  if (request.reportPath.empty()) return std::string();
  const std::string folder = request.reportPath + ".units-" + std::to_string(OwnProcessId());
  std::string error;
  if (!MakeFolder(folder) ||
      !WriteFileAtomically(
          folder + "/" + kRecordHead,
          JsonDocument(Json{{"report_path", request.reportPath}, {"parent", OwnProcessId()}, {"report", head}}),
          &error)) {
    WriteErr("tq35b: cannot keep the units' records beside the report; the report is written at the end only\n");
    RemoveFolder(folder);
    return std::string();
  }
  return folder;
}

void RemoveRecordFolder(const std::string& folder) {
  if (folder.empty()) return;
  for (const std::string& name : FilesIn(folder)) RemoveFile(folder + "/" + name);
  RemoveFolder(folder);
}

// The records' folder from the start of the rounds until the report is
// written, for a hand-over on the console handler's thread when the system
// is about to end this process (its console window closed): the report
// is written either by this process or by the workers, never half by each.
std::mutex g_recordsLock;
std::string g_recordFolder;

void HandOverToTheWorkers() {
  std::lock_guard<std::mutex> lock(g_recordsLock);
  if (!g_recordFolder.empty()) HandOverRoundRecords(g_recordFolder);
}

}  // namespace

int RunVenueUpdate(const VenueRequest& request) {
  CatchInterrupt();
  // The report is the record of the visit: a path it cannot be written to
  // is found out before anything reaches a unit, not after.
  if (!request.reportPath.empty()) {
    std::string why;
    if (!CanWriteReport(request.reportPath, &why)) {
      WriteErr("tq35b: cannot write the report to " + request.reportPath + " (" + why + "); nothing was sent\n");
      return kExitUsage;
    }
  }
  TerminalVenueView view(request.json);
  const std::string started = VisitStartTime();
  // Writes the report when one was asked for; the exit code to end with.
  auto writeReport = [&](const std::string& ending, const std::vector<PlanEntry>& plan,
                         const std::vector<RoundReport>& rounds, int exitCode) {
    if (request.reportPath.empty()) return exitCode;
    std::string error;
    const Json document = VisitReportDocument(request, started, ending, Interrupted(), plan, rounds, exitCode);
    if (!WriteFileAtomically(request.reportPath, JsonDocument(document), &error)) {
      WriteErr("tq35b: cannot write the report to " + request.reportPath + ": " + error + "\n");
      return exitCode == kExitSuccess ? kExitFailed : exitCode;
    }
    return exitCode;
  };
  auto summary = [&](int exitCode, const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds) {
    Json units = Json::array();
    for (size_t i = 0; i < plan.size(); ++i) units.push_back(UnitSummaryJson(plan[i], rounds[i]));
    WriteOut(JsonLine(Json{{"event", "summary"}, {"exit_code", exitCode}, {"units", units}}) + "\n");
  };

  // Find.
  if (!request.json && StdoutIsTerminal())
    WriteErr("Searching the local networks for " + std::to_string(request.seconds) + " s...\n");
  const std::vector<VenueUnit> units = FindVenueUnits(request, view);
  if (units.empty()) {
    if (request.json)
      summary(kExitNoResponse, {}, {});
    else
      WriteOut("No unit answered.\n");
    return writeReport("no unit found", {}, {}, kExitNoResponse);
  }

  // Plan.
  const std::vector<PlanEntry> plan = MakeVenuePlan(request, units, view);
  if (request.json)
    for (const PlanEntry& entry : plan) WriteOut(JsonLine(PlanJson(entry, request.skipCurrent)) + "\n");
  else
    WriteOut(PlanTable(plan, request.skipCurrent));
  if (request.dryRun) {
    const std::vector<RoundReport> planned = RoundsAsPlanned(plan, "dry run: nothing was written");
    if (request.json) summary(kExitSuccess, plan, planned);
    return writeReport("dry run", plan, planned, kExitSuccess);
  }

  std::vector<RoundReport> rounds = RoundsAsPlanned(plan, "not reached: the updater ended before this unit's turn");

  // Confirm, and read the PIN once.
  const size_t toWrite = static_cast<size_t>(std::count_if(plan.begin(), plan.end(), Writes));
  const bool anyToEnter = std::any_of(
      plan.begin(), plan.end(), [](const PlanEntry& entry) { return entry.action == PlanAction::kEnterThenUpdate; });
  auto endBeforeRounds = [&](const std::string& ending, const std::string& why, int exitCode) {
    for (size_t i = 0; i < plan.size(); ++i)
      if (plan[i].action != PlanAction::kCannot) rounds[i].text = why;
    if (request.json) summary(exitCode, plan, rounds);
    return writeReport(ending, plan, rounds, exitCode);
  };
  if (toWrite > 1 && !request.yes && StdinIsTerminal() &&
      !AskYes(("Update " + std::to_string(toWrite) + " units? [y/N] ").c_str())) {
    WriteErr("tq35b: nothing was written\n");
    return endBeforeRounds("declined", "not written: the update was declined", kExitFailed);
  }
  std::string pinLine;
  pinLine.reserve(kInstallerPinLineSize + 1);  // no reallocation leaves a copy behind
  if (anyToEnter) {
    char line[kInstallerPinLineSize];
    const bool valid = ReadInstallerPinLine(line);
    if (valid) {
      pinLine.append(line);
      pinLine.push_back('\n');
    }
    WipeMemory(line, sizeof line);
    if (!valid) {
      WriteErr("tq35b: the installer PIN must be exactly four digits, on one line; nothing was written\n");
      return endBeforeRounds("bad PIN", "not written: the installer PIN was not four digits", kExitUsage);
    }
  }

  std::vector<bool> shown(plan.size(), false);
  if (!Interrupted()) {
    if (!request.json) WriteOut("\n");
    const std::string folder = MakeRecordFolder(
        request, VisitReportDocument(request, started, "ended early", false, plan, rounds, VenueExitCode(rounds)));
    {
      std::lock_guard<std::mutex> lock(g_recordsLock);
      g_recordFolder = folder;
    }
    BeforeEndedUnfinished(HandOverToTheWorkers);
    shown = RunVenueRounds(request, plan, std::vector<bool>(plan.size(), true), pinLine, folder, view, rounds);
  } else {
    for (size_t i = 0; i < plan.size(); ++i)
      if (plan[i].action != PlanAction::kCannot) rounds[i].text = "stopped by the user before anything was written";
  }
  WipeMemory(&pinLine[0], pinLine.size());
  CompleteRounds(plan, &rounds);
  // Every unit has its round line, whether or not a worker sent one.
  for (size_t i = 0; i < plan.size(); ++i) {
    if (request.json && !shown[i]) {
      UpdateEvent event;
      event.kind = UpdateEvent::kRound;
      event.unit = plan[i].target.label;
      event.round = rounds[i];
      WriteOut(ToJson(event) + "\n");
    }
  }

  // Report.
  const int exitCode = VenueExitCode(rounds);
  if (request.json)
    summary(exitCode, plan, rounds);
  else
    WriteOut("\n" + SummaryTable(plan, rounds));
  int code;
  {
    // The records go only once the report that holds them is written.
    std::lock_guard<std::mutex> lock(g_recordsLock);
    code = writeReport(Interrupted() ? "stopped" : "done", plan, rounds, exitCode);
    RemoveRecordFolder(g_recordFolder);
    g_recordFolder.clear();
  }
  FinishedAfterStop();
  return code;
}

}  // namespace cli
