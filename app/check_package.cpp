#include "app/app_state.h"

// The package may hold an application image, a flash image or both; the
// overwrite choices start from what is there.
bool CheckPackage(void*) {
  appState.writeApplication = platform::FindModuleResource(L"P32_APPLICATION", L"HEX", nullptr, nullptr);
  appState.packageHasApplication = appState.writeApplication;
  appState.writeFlash = platform::FindModuleResource(L"P32_FLASH", L"BIN", nullptr, nullptr);
  appState.packageHasFlash = appState.writeFlash;
  return appState.writeApplication || appState.writeFlash;
}
