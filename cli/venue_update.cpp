#include "cli/venue_update.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>

#include "app/app_state.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/progress_view.h"
#include "cli/terminal.h"
#include "cli/text.h"
#include "cli/unit_query.h"
#include "cli/update_command.h"
#include "cli/worker_pool.h"
#include "package/properties_container.h"
#include "platform/platform.h"

namespace cli {

namespace {

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

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

std::string ActionText(const PlanEntry& entry, bool skipCurrent) {
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

std::string ResultText(const RoundReport& round) {
  switch (round.result) {
    case RoundResult::kUpdated:
      return "updated";
    case RoundResult::kSkipped:
      return "skipped (current)";
    case RoundResult::kFailed:
      return "FAILED at " + (round.failedStep.empty() ? std::string("plan") : round.failedStep);
    case RoundResult::kNotReached:
      return "not reached";
  }
  return std::string();
}

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return line;
}

// The time of day the visit started, for the service record.
std::string UtcTimestamp() {
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
std::vector<VenueUnit> FindUnits(const VenueRequest& request) {
  if (!request.json && StdoutIsTerminal())
    WriteErr("Searching the local networks for " + std::to_string(request.seconds) + " s...\n");
  std::vector<VenueUnit> units;
  for (const FoundNetworkUnit& found :
       FindNetworkUnits(request.seconds, [](const std::string& problem) { WriteErr("tq35b: " + problem + "\n"); })) {
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

std::vector<std::string> TargetArguments(const UnitTarget& target) { return {"--ip", target.label}; }

// Every unit's query, side by side, each in a worker process. A unit that
// answers nothing is asked once more: the text port gets only 250 ms, which
// a busy machine can miss.
std::vector<PlanEntry> MakePlan(const VenueRequest& request, const std::vector<VenueUnit>& units,
                                const std::string& current) {
  std::vector<Json> answers(units.size());
  for (int attempt = 0; attempt < 2; ++attempt) {
    WorkerPool workers;
    for (size_t i = 0; i < units.size(); ++i) {
      if (attempt > 0 &&
          (FieldFlag(answers[i], "bootloader_answered") || FieldFlag(answers[i], "text_interface_answered")))
        continue;
      std::vector<std::string> arguments = request.queryArguments;
      for (const std::string& argument : TargetArguments(units[i].target)) arguments.push_back(argument);
      std::string error;
      if (!workers.Start(i, arguments, std::string(), &error)) WriteErr("tq35b: " + error + "\n");
    }
    workers.Run(
        [&](size_t index, const std::string& line) {
          Json answer;
          if (ParseJsonObject(line, &answer) && FieldText(answer, "event") == "query") answers[index] = answer;
        },
        [](size_t, int) {});
  }
  std::vector<PlanEntry> plan;
  for (size_t i = 0; i < units.size(); ++i) {
    plan.push_back(PlanUnit(units[i].target, answers[i], request.skipCurrent, current));
    plan.back().mac = units[i].mac;
  }
  return plan;
}

Json PlanJson(const PlanEntry& entry, bool skipCurrent) {
  return Json{{"event", "plan"},
              {"unit", entry.target.label},
              {"mac", TextOrNull(entry.mac)},
              {"mode", entry.mode},
              {"bootloader", TextOrNull(entry.bootloaderVersion)},
              {"application", TextOrNull(entry.applicationVersion)},
              {"action", PlanActionName(entry.action)},
              {"text", ActionText(entry, skipCurrent)}};
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

// The rounds, side by side, shown as they go; their reports come back in
// `rounds`.
void RunRounds(const VenueRequest& request, const std::vector<PlanEntry>& plan, std::string& pinLine,
               std::vector<RoundReport>& rounds) {
  std::vector<std::string> labels;
  for (const PlanEntry& entry : plan) labels.push_back(entry.target.label);
  std::unique_ptr<ProgressView> view;
  if (!request.json) {
    const bool bars = StdoutIsTerminal() && EnableCursorControl();
    view.reset(new ProgressView(bars ? ProgressView::kBars : ProgressView::kPlain, labels, TerminalColumns(),
                                [](const std::string& text) { WriteOut(text); }));
  }
  std::vector<bool> reported(plan.size(), false), writing(plan.size(), false), stopped(plan.size(), false);
  WorkerPool workers;
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].action == PlanAction::kCannot) {
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
    std::vector<std::string> arguments = request.roundArguments;
    arguments.push_back("--round");
    arguments.push_back(RoundSteps(round));
    for (const std::string& argument : TargetArguments(plan[i].target)) arguments.push_back(argument);
    if (!plan[i].mac.empty()) {
      arguments.push_back("--mac");
      arguments.push_back(plan[i].mac);
    }
    std::string error;
    if (!workers.Start(i, arguments, round.enter ? pinLine : std::string(), &error)) {
      rounds[i].result = RoundResult::kNotReached;
      rounds[i].exitCode = kExitFailed;
      rounds[i].text = error;
      reported[i] = true;
    }
  }
  // Every worker holds its copy of the PIN now; ours goes.
  WipeMemory(&pinLine[0], pinLine.size());

  bool stopping = false;
  workers.Run(
      [&](size_t index, const std::string& line) {
        UpdateEvent event;
        if (!FromJson(line, &event)) return;
        event.unit = plan[index].target.label;  // only the worker's own unit is believed
        if (event.kind == UpdateEvent::kStart) writing[index] = true;
        if (event.kind == UpdateEvent::kRound) {
          rounds[index] = event.round;
          reported[index] = true;
        }
        if (request.json)
          WriteOut(ToJson(event) + "\n");
        else
          view->Handle(index, event, Now());
      },
      [&](size_t index, int code) {
        if (reported[index]) return;
        reported[index] = true;
        rounds[index].result = stopped[index] ? RoundResult::kNotReached : RoundResult::kFailed;
        rounds[index].exitCode = kExitFailed;
        rounds[index].text = stopped[index]
                                 ? "stopped by the user before anything was written"
                                 : "the worker process ended without a report (exit code " + std::to_string(code) + ")";
      },
      [&] {
        if (stopping || !Interrupted()) return;
        stopping = true;
        WriteErr("tq35b: stopping: units being written finish on their own; the others are left alone\n");
        for (size_t i = 0; i < plan.size(); ++i)
          if (!reported[i] && !writing[i]) {
            stopped[i] = true;
            workers.Stop(i);
          }
      });
  if (view) view->Finish();
}

}  // namespace

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
                    ActionText(entry, skipCurrent)});
  return Columns(rows);
}

std::string SummaryTable(const std::vector<PlanEntry>& plan, const std::vector<RoundReport>& rounds) {
  std::vector<std::vector<std::string>> rows = {
      {"UNIT", "MAC", "BOOTLOADER", "BEFORE", "AFTER", "RESULT", "TIME", "NOW IN", "DETAIL"}};
  for (size_t i = 0; i < plan.size(); ++i) {
    const RoundReport& round = rounds[i];
    rows.push_back({plan[i].target.label, OrDash(plan[i].mac),
                    OrDash(round.bootloaderVersion.empty() ? plan[i].bootloaderVersion : round.bootloaderVersion),
                    OrDash(round.applicationBefore), OrDash(round.applicationAfter), ResultText(round),
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

int RunVenueUpdate(const VenueRequest& request) {
  CatchInterrupt();
  const std::string started = UtcTimestamp();
  const std::string current = PackageApplicationVersion(Utf8(unitProperties.Get(L"server-fw-version")));

  // Find.
  const std::vector<VenueUnit> units = FindUnits(request);
  if (units.empty()) {
    if (request.json)
      WriteOut(JsonLine(Json{{"event", "summary"}, {"exit_code", int(kExitNoResponse)}, {"units", Json::array()}}) +
               "\n");
    else
      WriteOut("No unit answered.\n");
    return kExitNoResponse;
  }

  // Plan.
  const std::vector<PlanEntry> plan = MakePlan(request, units, current);
  if (request.json)
    for (const PlanEntry& entry : plan) WriteOut(JsonLine(PlanJson(entry, request.skipCurrent)) + "\n");
  else
    WriteOut(PlanTable(plan, request.skipCurrent));
  if (request.dryRun) return kExitSuccess;

  std::vector<RoundReport> rounds(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    rounds[i].bootloaderVersion = plan[i].bootloaderVersion;
    rounds[i].applicationBefore = plan[i].mode == "bootload" ? plan[i].applicationVersion : std::string();
    rounds[i].modeAfter = plan[i].mode;
    if (plan[i].action == PlanAction::kCannot) {
      rounds[i].result = RoundResult::kFailed;
      rounds[i].failedStep = "plan";
      rounds[i].exitCode = plan[i].exitCode;
      rounds[i].text = plan[i].why;
    }
  }

  // Confirm, and read the PIN once.
  const size_t toWrite = static_cast<size_t>(std::count_if(plan.begin(), plan.end(), Writes));
  const bool anyToEnter = std::any_of(
      plan.begin(), plan.end(), [](const PlanEntry& entry) { return entry.action == PlanAction::kEnterThenUpdate; });
  if (toWrite > 1 && !request.yes && StdinIsTerminal() &&
      !AskYes(("Update " + std::to_string(toWrite) + " units? [y/N] ").c_str())) {
    WriteErr("tq35b: nothing was written\n");
    return kExitFailed;
  }
  std::string pinLine;
  if (anyToEnter) {
    char line[kInstallerPinLineSize];
    const bool valid = ReadInstallerPinLine(line);
    if (valid) pinLine = std::string(line) + "\n";
    WipeMemory(line, sizeof line);
    if (!valid) {
      WriteErr("tq35b: the installer PIN must be exactly four digits, on one line; nothing was written\n");
      return kExitUsage;
    }
  }

  if (!Interrupted()) {
    if (!request.json) WriteOut("\n");
    RunRounds(request, plan, pinLine, rounds);
  }
  WipeMemory(&pinLine[0], pinLine.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    // What the worker did not learn, the plan knew.
    if (rounds[i].bootloaderVersion.empty()) rounds[i].bootloaderVersion = plan[i].bootloaderVersion;
    if (rounds[i].applicationBefore.empty() && plan[i].mode == "bootload")
      rounds[i].applicationBefore = plan[i].applicationVersion;
    if (rounds[i].result == RoundResult::kSkipped && rounds[i].applicationAfter.empty())
      rounds[i].applicationAfter = rounds[i].applicationBefore;
    if (rounds[i].modeAfter.empty()) rounds[i].modeAfter = "unknown";
  }

  // Report.
  const int exitCode = VenueExitCode(rounds);
  Json units_ = Json::array();
  for (size_t i = 0; i < plan.size(); ++i) units_.push_back(UnitSummaryJson(plan[i], rounds[i]));
  if (request.json)
    WriteOut(JsonLine(Json{{"event", "summary"}, {"exit_code", exitCode}, {"units", units_}}) + "\n");
  else
    WriteOut("\n" + SummaryTable(plan, rounds));
  if (!request.reportPath.empty()) {
    const Json report{{"report", "tq35b update --all"},
                      {"started", started},
                      {"model", Utf8(unitProperties.Get(L"model"))},
                      {"package_build", Utf8(unitProperties.Get(L"build-version"))},
                      {"server_firmware_version", Utf8(unitProperties.Get(L"server-fw-version"))},
                      {"choices",
                       {{"server_firmware", request.choices.serverFirmware},
                        {"server_ui", request.choices.serverUi},
                        {"factory_defaults", request.choices.factoryDefaults},
                        {"skip_current", request.skipCurrent},
                        {"stay_in_bootload", request.stayInBootload}}},
                      {"interrupted", Interrupted()},
                      {"exit_code", exitCode},
                      {"units", units_}};
    std::ofstream file(request.reportPath, std::ios::binary | std::ios::trunc);
    file << JsonDocument(report);
    file.close();
    if (!file) {
      WriteErr("tq35b: cannot write the report to " + request.reportPath + "\n");
      return exitCode == kExitSuccess ? kExitFailed : exitCode;
    }
  }
  return exitCode;
}

}  // namespace cli
