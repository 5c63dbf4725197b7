#include "cli/package_startup.h"

#include <clocale>

#include "app/app_state.h"
#include "cli/text.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "platform/platform.h"
#include "resources/resource.h"

namespace cli {

bool LoadPackage(std::string* problem) {
  std::setlocale(LC_ALL, "");
  // The resource texts are 8-bit and converted under the user's locale; the
  // C++ streams are not used, so only the C locale matters.
#ifdef _WIN32
  appState.instance = ::GetModuleHandleW(nullptr);
#endif
  LoadUiStrings(appState.instance);
  updaterProperties.LoadFromResource(L"UPDATER");
  unitProperties.LoadFromResource(L"UNIT");
  if (!CheckPackage(appState.instance)) {
    *problem = Utf8(updaterProperties.Get(L"error-message.NoHexFile"));
    return false;
  }
  return true;
}

void LoadPackageImages() {
  if (appState.packageHasApplication) applicationImage.LoadFromResource(L"P32_APPLICATION");
  if (appState.packageHasFlash) flashImage.LoadFromResource(L"P32_FLASH");
}

std::wstring StepOfStatus(const std::wstring& status) {
  // The prefix is whatever the status format puts before its value.
  const std::wstring format = UiText(IDS_PROGRESS_FORMAT);
  const size_t placeholder = format.find(L"%s");
  if (placeholder == std::wstring::npos) return status;
  const std::wstring prefix = format.substr(0, placeholder);
  const std::wstring suffix = format.substr(placeholder + 2);
  std::wstring step = status;
  if (!prefix.empty() && step.compare(0, prefix.size(), prefix) == 0) step.erase(0, prefix.size());
  if (!suffix.empty() && step.size() >= suffix.size() &&
      step.compare(step.size() - suffix.size(), suffix.size(), suffix) == 0)
    step.erase(step.size() - suffix.size());
  return step;
}

}  // namespace cli

namespace cli {

ApplicationFigures ReadApplicationFigures() {
  ApplicationFigures figures;
  figures.recordBytes.reserve(applicationImage.RecordCount());
  applicationImage.Rewind();
  uint8_t record[CHexManager::kMaxRecordBytes];
  for (;;) {
    const uint16_t length = applicationImage.NextRecord(record, sizeof record);
    if (length == 0) break;
    figures.recordBytes.push_back(length);
    figures.recordTotal += length;
    // Binary record: count, address (2), type, data, checksum.
    if (length >= 5 && record[3] == 0) {
      ++figures.dataRecords;
      figures.dataBytes += record[0];
    }
  }
  applicationImage.Rewind();
  return figures;
}

}  // namespace cli
