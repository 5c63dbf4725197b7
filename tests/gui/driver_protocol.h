// What the test driver and its hook library say to each other.
//
// Some answers exist only inside the program under test: Wine refuses menu
// calls on another process's menu, and icon handles mean nothing outside the
// process that loaded them. So the driver installs a message hook (from
// tq_driver_hook.dll) on the program's window thread, posts a query message
// to one of its windows, and the hook, running in the program's process,
// answers with a message posted back to the driver's reply window.
#pragma once

#include <windows.h>

namespace tqdriver {

// Registered message used both ways:
//   query: wParam = kind << 16 | item, lParam = the driver's reply window;
//   reply: wParam = the query's wParam, lParam = the answer.
inline const wchar_t* const kQueryMessageName = L"TQDriverQuery";
inline const char* const kHookProcName = "TqDriverGetMessageHook";

enum QueryKind : unsigned {
  kQueryMenuState = 1,  // item = menu command id of GetMenu(window)
  kQueryBoxIcon = 2,    // the window is a message box; item unused
};

// Answer of kQueryMenuState when the window has no menu or no such item.
constexpr LPARAM kNoSuchItem = -1;

// Answers of kQueryBoxIcon.
enum BoxIcon : LPARAM {
  kIconNone = 0,
  kIconError = 1,
  kIconQuestion = 2,
  kIconWarning = 3,
  kIconInformation = 4,
  kIconOther = 5,
};

inline WPARAM MakeQuery(unsigned kind, unsigned item) { return static_cast<WPARAM>((kind << 16) | (item & 0xFFFF)); }
inline unsigned QueryKindOf(WPARAM w) { return static_cast<unsigned>(w >> 16) & 0xFFFF; }
inline unsigned QueryItemOf(WPARAM w) { return static_cast<unsigned>(w) & 0xFFFF; }

}  // namespace tqdriver
