// tq_driver_hook.dll: answers the test driver's queries from inside the
// program under test. The driver installs TqDriverGetMessageHook on the
// program's window thread; the system loads this library into the program's
// process and calls the hook whenever that thread takes a message from its
// queue (also inside modal loops such as a message box).
#include "driver_protocol.h"

namespace {

UINT QueryMessage() {
  static const UINT message = RegisterWindowMessageW(tqdriver::kQueryMessageName);
  return message;
}

LPARAM MenuState(HWND window, unsigned item) {
  HMENU menu = GetMenu(window);
  if (!menu) return tqdriver::kNoSuchItem;
  UINT state = GetMenuState(menu, item, MF_BYCOMMAND);
  if (state == static_cast<UINT>(-1)) return tqdriver::kNoSuchItem;
  return static_cast<LPARAM>(state & 0xFFFF);
}

struct IconSearch {
  HICON icon = nullptr;
};

BOOL CALLBACK FindIconStatic(HWND child, LPARAM param) {
  wchar_t cls[16] = {};
  GetClassNameW(child, cls, 16);
  LONG style = GetWindowLongW(child, GWL_STYLE);
  if (lstrcmpiW(cls, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) {
    reinterpret_cast<IconSearch*>(param)->icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    return FALSE;
  }
  return TRUE;
}

// Standard icons are shared within a process, so the box's icon handle is the
// one LoadIcon gives here.
LPARAM BoxIcon(HWND box) {
  IconSearch search;
  EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&search));
  if (!search.icon) return tqdriver::kIconNone;
  struct {
    LPCWSTR id;
    LPARAM answer;
  } known[] = {
      {IDI_HAND, tqdriver::kIconError},
      {IDI_QUESTION, tqdriver::kIconQuestion},
      {IDI_EXCLAMATION, tqdriver::kIconWarning},
      {IDI_ASTERISK, tqdriver::kIconInformation},
  };
  for (const auto& k : known) {
    if (LoadIconW(nullptr, k.id) == search.icon) return k.answer;
  }
  return tqdriver::kIconOther;
}

void Answer(const MSG& query) {
  LPARAM answer = tqdriver::kNoSuchItem;
  switch (tqdriver::QueryKindOf(query.wParam)) {
    case tqdriver::kQueryMenuState:
      answer = MenuState(query.hwnd, tqdriver::QueryItemOf(query.wParam));
      break;
    case tqdriver::kQueryBoxIcon:
      answer = BoxIcon(query.hwnd);
      break;
    default:
      break;
  }
  PostMessageW(reinterpret_cast<HWND>(query.lParam), QueryMessage(), query.wParam, answer);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK TqDriverGetMessageHook(int code, WPARAM removed, LPARAM param) {
  if (code == HC_ACTION && removed == PM_REMOVE) {
    MSG* msg = reinterpret_cast<MSG*>(param);
    if (msg->message == QueryMessage()) {
      Answer(*msg);
      // The program itself never sees the query.
      msg->message = WM_NULL;
    }
  }
  return CallNextHookEx(nullptr, code, removed, param);
}
