#include "cli/command_line.h"

#include <CLI/CLI.hpp>

#include <set>

#include "app/app_state.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/package_startup.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "cli/update_command.h"
#include "cli/workers/update_runner.h"
#include "cli/venue/venue_update.h"
#include "package/properties_container.h"

namespace cli {

const char* ExitCodeHelp() {
  return "Exit codes:\n"
         "  0  success\n"
         "  1  the operation failed (update failed, bootload mode not entered)\n"
         "  2  bad usage (nothing was sent to a unit)\n"
         "  3  no response (the unit did not answer; discover: no unit found)\n"
         "  4  wrong response (not a bootloader this updater accepts)\n";
}

namespace {

constexpr const char* kProgram = "tq35b";

struct TargetOptions {
  std::vector<std::string> ips;
  std::vector<std::string> ports;
};

void AddTargetOptions(CLI::App* command, TargetOptions& targets, bool several) {
  const std::string many = several ? " Give it again for more units." : "";
  command
      ->add_option("--ip", targets.ips, "The unit's IPv4 address; :PORT sets the bootloader's UDP port (6234)." + many)
      ->type_name("ADDR[:PORT]");
  command
      ->add_option("--port", targets.ports,
                   "The unit's serial port (Linux: a device path such as /dev/ttyUSB0; Windows: COM3)." + many)
      ->type_name("PORT");
}

void AddParserPort(CLI::App* command, unsigned& parserPort) {
  command->add_option("--parser-port", parserPort, "The unit's TCP text command port, 1024 to 65535")
      ->check(CLI::Range(1024, 65535).description(""))
      ->type_name("PORT")
      ->capture_default_str();
}

bool Fail(const std::string& message) {
  WriteErr(std::string(kProgram) + ": " + message + "\n");
  return false;
}

// Every target named, parsed; refuses the same unit twice, which two
// updates at once would both write to.
bool ParseTargets(const TargetOptions& options, std::vector<UnitTarget>* targets,
                  std::vector<std::vector<std::string>>* arguments) {
  std::set<std::string> seen;
  std::string error;
  for (const std::string& ip : options.ips) {
    UnitTarget target;
    if (!ParseNetworkTarget(ip, &target, &error)) return Fail(error);
    if (!seen.insert("ip " + DottedAddress(target.address) + ":" + std::to_string(target.bootloaderPort)).second)
      return Fail("unit " + ip + " is named twice");
    targets->push_back(target);
    if (arguments) arguments->push_back({"--ip", ip});
  }
  for (const std::string& port : options.ports) {
    UnitTarget target;
    if (!ParseSerialTarget(port, &target, &error)) return Fail(error);
    if (!seen.insert("port " + Utf8(target.portName)).second) return Fail("serial port " + port + " is named twice");
    targets->push_back(target);
    if (arguments) arguments->push_back({"--port", port});
  }
  return true;
}

bool ParseOneTarget(const TargetOptions& options, UnitTarget* target) {
  if (options.ips.size() + options.ports.size() != 1) return Fail("name one unit, with --ip or --port");
  std::vector<UnitTarget> targets;
  if (!ParseTargets(options, &targets, nullptr)) return false;
  *target = targets[0];
  return true;
}

const char* OnOff(bool value) { return value ? "on" : "off"; }

// A first word that names no subcommand: the parser would only say that a
// subcommand is required, as if none had been given. Say which word was not
// understood, and what would have been.
bool KnownSubcommand(const CLI::App& app, const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0].empty() || arguments[0][0] == '-') return true;
  std::string names;
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->check_name(arguments[0])) return true;
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  return Fail("unknown subcommand '" + arguments[0] + "'; the subcommands are " + names);
}

// --NAME and --no-NAME. Giving both is refused: one of them is a mistake,
// and guessing which could overwrite a part the user meant to keep.
void AddOverwriteChoice(CLI::App* command, const std::string& name, const std::string& help, bool& choice) {
  auto* on = command->add_flag_callback(
      "--" + name, [&choice] { choice = true; }, help + " (default: " + OnOff(choice) + ")");
  auto* off = command->add_flag_callback(
      "--no-" + name, [&choice] { choice = false; }, "Leave that part as it is");
  on->excludes(off);
}

// update --all and the options that only it takes.
struct VenueOptions {
  bool all = false;
  std::string round;               // a worker's round of a venue update
  std::string mac;                 // its unit's hardware address
  std::string record;              // where that round's record goes
  std::vector<CLI::Option*> only;  // options that need --all
};

void AddVenueOptions(CLI::App* update, VenueRequest& venue, VenueOptions& options) {
  update->add_flag("--all", options.all,
                   "Update every unit on the local networks: find them (for --time seconds; --ip adds more), "
                   "query each and print the plan, read the installer PIN once if any unit runs its "
                   "application and put those units into bootload mode, update them side by side (--jobs at "
                   "once), let each "
                   "start its new firmware and confirm that it runs, and end with a table of what became of "
                   "each unit. Network units only. Asks before writing to more than one unit when standard "
                   "input is a terminal. Ctrl-C stops the units that have not begun to be written; a unit being "
                   "written is always finished (a third Ctrl-C abandons it).");
  options.only = {
      update->add_option("--time", venue.seconds, "With --all: seconds to search the networks, 1 to 3600")
          ->check(CLI::Range(1, 3600).description(""))
          ->type_name("SECONDS")
          ->capture_default_str(),
      update->add_flag("--skip-current", venue.skipCurrent,
                       "With --all: leave out units whose application already has the package's version (a "
                       "unit running its application is entered and checked first, and returned to its "
                       "application when current)"),
      update->add_flag("--dry-run", venue.dryRun,
                       "With --all: print the plan and stop; nothing but the search and the queries is sent"),
      update->add_flag("--stay-in-bootload", venue.stayInBootload,
                       "With --all: leave the updated units in bootload mode instead of starting their "
                       "application"),
      update->add_flag("--yes,-y", venue.yes, "With --all: do not ask before writing to several units"),
      update
          ->add_option("--report", venue.reportPath,
                       "With --all: write the summary as one JSON document to FILE, the service record of the "
                       "visit")
          ->type_name("FILE")};
  update->add_option("--round", options.round)->group("");  // a worker's part of --all
  update->add_option("--mac", options.mac)->group("");      // the hardware address of the worker's unit
  update->add_option("--record", options.record)->group("");
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& arguments) {
  std::string packageProblem;
  const bool packageLoaded = LoadPackage(&packageProblem);
  const std::string model = Utf8(unitProperties.Get(L"model"));
  const std::string build = Utf8(unitProperties.Get(L"build-version"));

  CLI::App app{model + " firmware updater for the terminal. It carries the package of build " + build +
                   " and updates units over the network or a serial line.",
               kProgram};
  app.require_subcommand(1);
  // The program's own version, and the build of the firmware package it carries.
  app.set_version_flag("--version",
                       std::string(kProgram) + " " + TQ35B_VERSION + " (" + model + " package " + build + ")");
  app.footer(ExitCodeHelp());

  bool json = false;
  unsigned parserPort = appState.parserPort;
  TargetOptions targets;
  const char* jsonHelp = "One JSON object per line instead of text";

  CLI::App* info = app.add_subcommand("info", "Show the package: model, versions, image sizes, release notes");
  info->add_flag("--json", json, jsonHelp);

  CLI::App* discover = app.add_subcommand("discover", "List the units that answer on the networks or serial ports");
  DiscoverRequest discoverRequest;
  bool network = false;
  auto* serialFlag = discover->add_flag("--serial", discoverRequest.serial, "Search serial ports");
  discover->add_flag("--network", network, "Search the local IPv4 networks (the default)")->excludes(serialFlag);
  discover->add_option("--time", discoverRequest.seconds, "Seconds to search, 1 to 3600")
      ->check(CLI::Range(1, 3600).description(""))
      ->type_name("SECONDS")
      ->capture_default_str();
  discover
      ->add_option("--port", discoverRequest.ports,
                   "A serial port to search (Linux: required, give it once per port; Windows: all COM ports "
                   "by default)")
      ->type_name("PORT");
  discover->add_flag("--json", json, jsonHelp);

  CLI::App* query = app.add_subcommand("query",
                                       "Ask one unit for its bootloader and application versions and its "
                                       "bootload mode");
  AddTargetOptions(query, targets, false);
  AddParserPort(query, parserPort);
  query->add_flag("--json", json, jsonHelp);

  CLI::App* enter = app.add_subcommand(
      "enter-bootload",
      "Put a unit that runs its application into bootload mode. The installer PIN is asked for without echo, "
      "or read as one line from standard input when that is not a terminal; it is never taken from the "
      "command line or the environment.");
  AddTargetOptions(enter, targets, false);
  AddParserPort(enter, parserPort);
  enter->add_flag("--json", json, jsonHelp);

  CLI::App* leave = app.add_subcommand("exit-bootload", "Tell a unit in bootload mode to start its application");
  AddTargetOptions(leave, targets, false);
  leave->add_flag("--json", json, jsonHelp);

  CLI::App* update = app.add_subcommand(
      "update",
      "Update units in bootload mode with the package. Several units (several --ip or --port) are updated at "
      "once, each in a worker process of its own, and a summary table ends the run; one unit's failure does "
      "not stop the others. With --all, every unit on the local networks is updated in one command, "
      "whichever mode it is in (see --all). The exit code of several units is 0 when every unit succeeded "
      "(or, with --all, was skipped as current), the failures' code when they all failed alike, else 1.");
  AddTargetOptions(update, targets, true);
  UpdateRequest updateRequest;
  bool serverFirmware = appState.packageHasApplication;
  bool serverUi = appState.packageHasFlash;
  bool factoryDefaults = false;
  AddOverwriteChoice(update, "server-firmware", "Write the application image", serverFirmware);
  AddOverwriteChoice(update, "server-ui", "Write the flash image of the unit's web pages", serverUi);
  AddOverwriteChoice(update, "factory-defaults", "Restore the unit's factory defaults", factoryDefaults);
  AddParserPort(update, parserPort);
  update->add_flag("--json", json, jsonHelp);
  update->add_flag("--worker", updateRequest.worker)->group("");  // one unit of a parallel update
  size_t jobs = kDefaultJobs;
  update
      ->add_option("--jobs,-j", jobs,
                   "Units written at once, 1 to 1024; the others wait their turn (several units and --all)")
      ->check(CLI::Range(1, 1024).description(""))
      ->type_name("N")
      ->capture_default_str();
  VenueRequest venue;
  VenueOptions venueOptions;
  AddVenueOptions(update, venue, venueOptions);

  for (CLI::App* command : {info, discover, query, enter, leave, update}) command->footer(ExitCodeHelp());
  if (!KnownSubcommand(app, arguments)) return kExitUsage;

  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitSuccess : kExitUsage;
  }

  if (!packageLoaded && !info->parsed()) {
    WriteErr(std::string(kProgram) + ": " + packageProblem + "\n");
    return kExitFailed;
  }
  appState.parserPort = parserPort;

  if (info->parsed()) {
    LoadPackageImages();
    return RunInfoCommand(json);
  }
  if (discover->parsed()) {
    discoverRequest.json = json;
    if (!discoverRequest.serial && !discoverRequest.ports.empty()) {
      Fail("--port belongs to a serial search (--serial)");
      return kExitUsage;
    }
    return RunDiscoverCommand(discoverRequest);
  }

  UnitTarget target;
  if (query->parsed()) return ParseOneTarget(targets, &target) ? RunQueryCommand(target, json) : kExitUsage;
  if (enter->parsed()) return ParseOneTarget(targets, &target) ? RunEnterBootloadCommand(target, json) : kExitUsage;
  if (leave->parsed()) return ParseOneTarget(targets, &target) ? RunExitBootloadCommand(target, json) : kExitUsage;

  // update
  if (!venueOptions.all) {
    for (CLI::Option* option : venueOptions.only)
      if (option->count() > 0) {
        Fail(option->get_name() + " belongs to update --all");
        return kExitUsage;
      }
  }
  if (venueOptions.all && !targets.ports.empty()) {
    Fail("--all updates network units only; update serial units with --port and without --all");
    return kExitUsage;
  }
  if (!venueOptions.all && targets.ips.empty() && targets.ports.empty()) {
    Fail("name the units to update, with --ip or --port");
    return kExitUsage;
  }
  if (serverFirmware && !appState.packageHasApplication) {
    Fail("this package holds no application image (--server-firmware)");
    return kExitUsage;
  }
  if (serverUi && !appState.packageHasFlash) {
    Fail("this package holds no flash image (--server-ui)");
    return kExitUsage;
  }
  if (!ParseTargets(targets, &updateRequest.targets, &updateRequest.targetArguments)) return kExitUsage;
  if (venueOptions.all && updateRequest.worker) {
    Fail("a worker updates one unit");
    return kExitUsage;
  }
  if (updateRequest.worker && updateRequest.targets.size() != 1) {
    Fail("a worker updates one unit");
    return kExitUsage;
  }
  updateRequest.json = json;
  updateRequest.choices = {serverFirmware, serverUi, factoryDefaults};
  updateRequest.workerArguments = VenueRoundArguments(parserPort, updateRequest.choices);
  if (updateRequest.worker && !venueOptions.round.empty()) {
    RoundRequest round;
    if (!ParseRoundSteps(venueOptions.round, &round)) {
      Fail("--round takes enter, check, update and leave");
      return kExitUsage;
    }
    round.target = updateRequest.targets[0];
    round.mac = venueOptions.mac;
    round.choices = updateRequest.choices;
    if (round.update) LoadPackageImages();
    return RunVenueRound(round, venueOptions.record);
  }
  if (venueOptions.all) {
    venue.namedUnits = updateRequest.targets;
    venue.choices = updateRequest.choices;
    venue.json = json;
    venue.queryArguments = VenueQueryArguments(parserPort);
    venue.roundArguments = updateRequest.workerArguments;
    venue.jobs = jobs;
    return RunVenueUpdate(venue);
  }
  updateRequest.jobs = jobs;
  // Only the process that writes to a unit needs the images.
  if (updateRequest.worker || updateRequest.targets.size() == 1) LoadPackageImages();
  return RunUpdateCommand(updateRequest);
}

}  // namespace cli
