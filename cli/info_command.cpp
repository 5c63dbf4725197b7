// info: what the package that this program carries holds.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/package_startup.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"

namespace cli {

namespace {

std::string Property(const wchar_t* key) { return Utf8(unitProperties.Get(key)); }

// The release notes are 8-bit text in the user's code page, like every
// resource text of the package.
std::string ReleaseNotes() {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform::FindModuleResource(L"BUILD_NOTES", L"NOTES", &data, &size) || !data) return std::string();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::wstring wide(bytes.size() + 1, L'\0');
  const size_t converted = std::mbstowcs(&wide[0], bytes.c_str(), wide.size());
  if (converted == static_cast<size_t>(-1)) return UnixLineEnds(bytes);
  wide.resize(converted);
  return UnixLineEnds(Utf8(wide));
}

std::string Row(const char* name, const std::string& value) {
  std::string line = std::string(name) + ":";
  line.resize(22, ' ');
  return line + value + "\n";
}

std::string Grouped(uint64_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

}  // namespace

int RunInfoCommand(bool json) {
  const ApplicationFigures app = ReadApplicationFigures();
  const uint32_t flashBytes = flashImage.Size();
  const std::string notes = ReleaseNotes();
  if (json) {
    Json object;
    object["event"] = "package";
    object["model"] = Property(L"model");
    object["build_version"] = Property(L"build-version");
    object["server_firmware_version"] = Property(L"server-fw-version");
    object["server_ui_version"] = Property(L"server-ui-version");
    object["server_hardware_version"] = Property(L"server-hw-version");
    object["application_records"] = applicationImage.RecordCount();
    object["application_data_records"] = app.dataRecords;
    object["application_data_bytes"] = app.dataBytes;
    object["application_record_bytes"] = app.recordTotal;
    object["flash_bytes"] = flashBytes;
    object["notes"] = notes;
    WriteOut(JsonLine(object) + "\n");
    return kExitSuccess;
  }
  std::string out;
  out += Row("Model", Property(L"model"));
  out += Row("Build", Property(L"build-version"));
  out += Row("Server firmware", Property(L"server-fw-version"));
  out += Row("Server UI", Property(L"server-ui-version"));
  out += Row("Server hardware", Property(L"server-hw-version"));
  if (appState.packageHasApplication)
    out += Row("Application image", Grouped(applicationImage.RecordCount()) + " records (" + Grouped(app.dataRecords) +
                                        " data records, " + Grouped(app.dataBytes) + " program bytes; " +
                                        Grouped(app.recordTotal) + " bytes to send)");
  else
    out += Row("Application image", "none in this package");
  if (appState.packageHasFlash)
    out += Row("Flash image", Grouped(flashBytes) + " bytes");
  else
    out += Row("Flash image", "none in this package");
  if (!notes.empty()) {
    out += "\nRelease notes:\n";
    out += notes;
    if (notes.back() != '\n') out += "\n";
  }
  WriteOut(out);
  return kExitSuccess;
}

}  // namespace cli
