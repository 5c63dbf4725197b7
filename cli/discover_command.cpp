// discover: the units that answer on the local networks or on serial ports,
// found by the program's discovery workers for a given time.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "app/messages.h"
#include "cli/commands.h"
#include "cli/console_message_boxes.h"
#include "cli/console_window.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "discovery/discovery_workers.h"
#include "discovery/ip_discover.h"

namespace cli {

namespace {

struct FoundUnit {
  std::string name;  // dotted address or port name
  uint32_t address = 0;
  std::string mac;  // network units that told it
  int portIndex = -1;
  bool bootload = false;
  bool otherSubnet = false;
  bool linkLocal = false;
};

// Collects the units as they are found: the serial worker's reports, kept
// once per port as the Discover dialog keeps them, and the units of the
// complete network search, which reports each unit once itself.
class DiscoveryWatcher : public MessageHandler {
 public:
  explicit DiscoveryWatcher(bool json) : json_(json) {}

  void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    if (message != UWM_SERIAL_UNIT_FOUND) return;
    const int index = static_cast<int>(lParam);
    if (index < 0 || index >= kSerialPortCount) return;
    for (const FoundUnit& known : units)
      if (known.portIndex == index) return;
    FoundUnit unit;
    unit.portIndex = index;
    unit.name = PortLabel(index);
    unit.bootload = wParam != 0;
    Add(unit);
  }
  void OnStatus(const std::wstring&) override {}

  void OnNetworkAnswer(const NetworkAnswer& answer) {
    FoundUnit unit;
    unit.address = answer.address;
    unit.name = DottedAddress(unit.address);
    unit.mac = answer.mac;
    unit.bootload = (answer.flags & kUnitInBootload) != 0;
    unit.otherSubnet = (answer.flags & kUnitOtherSubnet) != 0;
    unit.linkLocal = (answer.flags & kUnitLinkLocal) != 0;
    Add(unit);
  }

  void Add(const FoundUnit& unit) {
    units.push_back(unit);
    if (json_) WriteOut(UnitJson(unit) + "\n");
    if (onAdd) onAdd(units.size());
  }

  static std::string PortLabel(int index) {
    const std::wstring path = appState.SerialPortTable[index];
#ifdef _WIN32
    // "\\.\COM3" shows as COM3.
    return Utf8(path.size() > 4 ? path.substr(4) : path);
#else
    return Utf8(path);
#endif
  }

  static std::string UnitJson(const FoundUnit& unit) {
    Json object;
    object["event"] = "unit";
    if (unit.portIndex >= 0) {
      object["port"] = unit.name;
    } else {
      object["address"] = unit.name;
      object["mac"] = unit.mac;
      object["other_subnet"] = unit.otherSubnet;
      object["link_local"] = unit.linkLocal;
    }
    object["mode"] = unit.bootload ? "bootload" : "application";
    return JsonLine(object);
  }

  std::vector<FoundUnit> units;
  std::function<void(size_t)> onAdd;  // hears the count as it grows

 private:
  bool json_;
};

std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Table(std::vector<FoundUnit> units, bool serial) {
  // Units in bootload mode first, as the dialog sorts its network list;
  // serial units stay in the order they were found.
  if (!serial)
    std::stable_sort(units.begin(), units.end(),
                     [](const FoundUnit& a, const FoundUnit& b) { return a.bootload && !b.bootload; });
  size_t width = serial ? 4 : 7;
  for (const FoundUnit& unit : units) width = std::max(width, unit.name.size());
  std::string table = Pad(serial ? "PORT" : "ADDRESS", width) + "  " + (serial ? "" : Pad("MAC", 17) + "  ") +
                      Pad("MODE", 11) + (serial ? "" : "  MARKS") + "\n";
  for (const FoundUnit& unit : units) {
    std::string line = Pad(unit.name, width) + "  " +
                       (serial ? "" : Pad(unit.mac.empty() ? "-" : unit.mac, 17) + "  ") +
                       Pad(unit.bootload ? "bootload" : "application", 11);
    if (!serial) {
      std::string marks;
      if (unit.otherSubnet) marks += "other-subnet";
      if (unit.linkLocal) marks += std::string(marks.empty() ? "" : ", ") + "link-local";
      line += "  " + marks;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    table += line + "\n";
  }
  return table;
}

bool FillSerialPortTable(const std::vector<std::string>& ports, std::string* error) {
  std::memset(appState.SerialPortTable, 0, sizeof appState.SerialPortTable);
#ifdef _WIN32
  if (ports.empty()) {
    EnumerateComPorts();
    return true;
  }
#endif
  if (ports.size() > static_cast<size_t>(kSerialPortCount)) {
    *error = "at most " + std::to_string(kSerialPortCount) + " serial ports can be searched";
    return false;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    UnitTarget target;
    if (!ParseSerialTarget(ports[i], &target, error)) return false;
    std::wcsncpy(appState.SerialPortTable[i], target.portName.c_str(), kSerialPortNameSize - 1);
  }
  return true;
}

// A search that must find every unit goes on past `seconds` while units are
// still turning up, but not for ever.
CompleteSearchLimits LimitsFor(uint32_t seconds) {
  CompleteSearchLimits limits;
  limits.leastMs = seconds * 1000u;
  limits.capMs = std::max(3 * limits.leastMs, limits.leastMs + 10000u);
  return limits;
}

std::string CutSearchText(size_t found, uint32_t seconds) {
  return "the search was cut after " + std::to_string(LimitsFor(seconds).capMs / 1000) + " s with units still " +
         "answering: " + std::to_string(found) + " found so far, there may be more (search longer with --time)";
}

// Runs one search; the watcher collects what answers. The network search is
// the complete one, the serial search the worker the Discover dialog runs.
bool Search(bool serial, uint32_t seconds, DiscoveryWatcher& watcher, bool* cut,
            const std::atomic<int>* stop = nullptr) {
  *cut = false;
  if (!serial) {
    CompleteSearchResult result;
    if (!SearchNetworksCompletely(
            LimitsFor(seconds), [&watcher](const NetworkAnswer& answer) { watcher.OnNetworkAnswer(answer); }, &result,
            stop))
      return false;
    *cut = result.cut;
    return true;
  }
  ConsoleWindow window(watcher);
  if (!window.Ready()) return false;
  StartDiscovery(window.Ref(), 0);
  window.RunFor(seconds * 1000u);
  // Stopping waits for the worker; its last reports are still taken.
  StopDiscovery();
  window.RunFor(0);
  return true;
}

}  // namespace

std::vector<FoundNetworkUnit> FindNetworkUnits(uint32_t seconds, const std::function<void(const std::string&)>& problem,
                                               const std::function<void(size_t)>& found, const std::atomic<int>* stop) {
  DiscoveryWatcher watcher(false);
  watcher.onAdd = found;
  const ConsoleMessageBoxes boxes([&](const ShownMessage& shown) { problem("[" + shown.caption + "] " + shown.text); });
  std::vector<FoundNetworkUnit> units;
  bool cut = false;
  if (!Search(false, seconds, watcher, &cut, stop)) return units;
  if (cut) problem(CutSearchText(watcher.units.size(), seconds));
  for (const FoundUnit& unit : watcher.units) units.push_back({unit.address, unit.bootload, unit.mac});
  return units;
}

int RunDiscoverCommand(const DiscoverRequest& request) {
  if (request.serial) {
    std::string error;
#ifndef _WIN32
    if (request.ports.empty()) {
      WriteErr("tq35b: name the serial ports to search with --port (Linux has no list of its own to try)\n");
      return kExitUsage;
    }
#endif
    if (!FillSerialPortTable(request.ports, &error)) {
      WriteErr("tq35b: " + error + "\n");
      return kExitUsage;
    }
  }

  DiscoveryWatcher watcher(request.json);
  const ConsoleMessageBoxes boxes([&](const ShownMessage& shown) {
    if (request.json) {
      WriteOut(JsonLine(Json{{"event", "message"}, {"caption", shown.caption}, {"text", shown.text}}) + "\n");
    } else {
      WriteErr("tq35b: [" + shown.caption + "] " + shown.text + "\n");
    }
  });
  if (!request.json && StdoutIsTerminal())
    WriteErr("Searching " + std::string(request.serial ? "the serial ports" : "the local networks") + " for " +
             std::to_string(request.seconds) + " s...\n");
  bool cut = false;
  if (!Search(request.serial, request.seconds, watcher, &cut)) return kExitFailed;
  if (cut) {
    const std::string text = CutSearchText(watcher.units.size(), request.seconds);
    if (request.json)
      WriteOut(JsonLine(Json{{"event", "message"}, {"caption", "search"}, {"text", text}}) + "\n");
    else
      WriteErr("tq35b: " + text + "\n");
  }

  const int exitCode = watcher.units.empty() ? kExitNoResponse : kExitSuccess;
  if (request.json) {
    WriteOut(JsonLine(Json{{"event", "done"}, {"units", watcher.units.size()}, {"exit_code", exitCode}}) + "\n");
  } else if (watcher.units.empty()) {
    WriteOut("No unit answered.\n");
  } else {
    WriteOut(Table(watcher.units, request.serial));
  }
  return exitCode;
}

}  // namespace cli
