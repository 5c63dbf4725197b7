// query: the state and versions of one unit, as the main window shows them
// when the unit is picked.
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "cli/unit_query.h"

namespace cli {

namespace {

// "on", "off" or "unknown", from what the query found.
const char* BootloadState(const QueryFindings& found) {
  if (found.bootloaderAnswered) return "on";
  if (!found.textAnswered) return "unknown";
  if (found.canEnterBootload) return "off";
  if (found.canExitBootload) return "on";
  return "unknown";
}

int ExitCodeOfQuery(const QueryFindings& found) {
  if (found.bootloaderAnswered)
    return IsAcceptedBootloaderVersion(found.bootloaderVersion) ? kExitSuccess : kExitWrongResponse;
  return found.textAnswered ? kExitSuccess : kExitNoResponse;
}

std::string Line(const char* name, const std::string& value) {
  std::string line = std::string(name) + ":";
  line.resize(22, ' ');
  return line + value + "\n";
}

}  // namespace

int RunQueryCommand(const UnitTarget& target, bool json) {
  const QueryFindings found = QueryUnitVersions(target);
  const int exitCode = ExitCodeOfQuery(found);
  const bool accepted = found.bootloaderAnswered && IsAcceptedBootloaderVersion(found.bootloaderVersion);
  const std::string application = HasApplicationVersion(found.applicationVersion)
                                      ? ApplicationVersionText(found.applicationVersion)
                                      : "";

  if (json) {
    Json object;
    object["event"] = "query";
    object["unit"] = target.label;
    object["bootloader_answered"] = found.bootloaderAnswered;
    if (found.bootloaderAnswered) {
      object["bootloader"] = BootloaderVersionText(found.bootloaderVersion);
      object["bootloader_accepted"] = accepted;
    } else {
      object["bootloader"] = nullptr;
    }
    object["application"] = TextOrNull(application);
    object["text_interface_answered"] = found.textAnswered;
    object["bootload_mode"] = BootloadState(found);
    object["exit_code"] = exitCode;
    WriteOut(JsonLine(object) + "\n");
    return exitCode;
  }

  std::string out = Line("Unit", target.label);
  if (found.bootloaderAnswered)
    out += Line("Bootloader", BootloaderVersionText(found.bootloaderVersion) +
                                  (accepted ? "" : " (not a version this updater can update)"));
  else
    out += Line("Bootloader", "does not answer");
  out += Line("Application", application.empty() ? std::string("not found") : application);
  std::string mode = BootloadState(found);
  if (!found.bootloaderAnswered && found.textAnswered && found.canEnterBootload)
    mode += " (enter-bootload can switch it on)";
  else if (!found.bootloaderAnswered && !found.textAnswered)
    mode += " (the unit does not answer)";
  out += Line("Bootload mode", mode);
  WriteOut(out);
  return exitCode;
}

}  // namespace cli
