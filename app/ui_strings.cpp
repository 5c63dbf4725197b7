// The user-interface texts, read once from the string table at start-up.
#include <cstring>

#include "app/app_state.h"
#include "resources/resource.h"

namespace {

const unsigned kUiTextIds[] = {
    IDS_SOCKET_ERROR,
    IDS_PARSER_PORT_RANGE,
    IDS_SOCKET_CREATION_FAILED,
    IDS_RECEIVE_TIMEOUT_FAILED,
    IDS_BROADCAST_FAILED,
    IDS_WINDOW_CLASS,
    IDS_INITIALIZING,
    IDS_WARNING,
    IDS_CLOSE,
    IDS_CLOSE_QUESTION,
    IDS_BOOTLOAD_MODE,
    IDS_REMEMBER_BOOTLOAD,
    IDS_STEP_SERVER_APPLICATION,
    IDS_STEP_SERVER_UI,
    IDS_VER_BUILD,
    IDS_VER_CORE_HW,
    IDS_VER_CORE_FW,
    IDS_VER_SERVER_FW,
    IDS_VER_SERVER_HW,
    IDS_VER_SERVER_UI,
    IDS_STEP_FACTORY_DEFAULTS,
    IDS_SELECT_COM_PORT,
    IDS_OUT_OF_RANGE,
    IDS_WINDOW_CREATE_FAILED,
    IDS_BOOTLOAD_EXITED,
    IDS_SEARCHING,
    IDS_NOT_FOUND,
    IDS_BOOTLOAD_ENABLED,
    IDS_BOOTLOAD_FAILED,
    IDS_IDLE,
    IDS_UPDATE_SUCCEEDED,
    IDS_UPDATE_FAILED,
    IDS_SUCCESS,
    IDS_ERROR,
    IDS_FONT_ARIAL,
    IDS_PROGRESS_FORMAT,
    IDS_STEP_CAPTION,
    IDS_FINISH,
    IDS_NEXT,
};
constexpr size_t kUiTextCount = sizeof kUiTextIds / sizeof kUiTextIds[0];

wchar_t g_uiTexts[kUiTextCount][kUiTextSize];

}  // namespace

void LoadUiStrings(void*) {
  for (size_t i = 0; i < kUiTextCount; ++i) platform::LoadUiString(kUiTextIds[i], g_uiTexts[i], kUiTextSize);
}

const wchar_t* UiText(unsigned id) {
  for (size_t i = 0; i < kUiTextCount; ++i)
    if (kUiTextIds[i] == id) return g_uiTexts[i];
  return L"";
}
