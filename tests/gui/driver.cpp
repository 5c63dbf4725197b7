// tq_driver.exe: drives a Windows program's windows from outside, for the GUI
// tests. It finds windows and message boxes, reads what they show, posts
// commands and answers boxes, one command per run or many in one script:
//
//   tq_driver.exe [--class NAME] COMMAND [ARGS...]
//   tq_driver.exe script FILE|-
//
// Each query prints its result on one line (texts escaped: \t \n \r \\ \xHH);
// a failure prints a reason on stderr and ends with exit code 1, a usage
// mistake with 2. Run "tq_driver.exe help" for the command list.
//
// Across processes only the system's own messages carry pointers (WM_GETTEXT,
// WM_SETTEXT, CB_GETLBTEXT...). Everything else that must be read inside the
// program (menu states, message box icons) goes through the hook library, see
// driver_protocol.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver_protocol.h"

namespace {

using Args = std::vector<std::wstring>;
using Result = std::optional<std::wstring>;

// A step that did not hold. Caught at the top of each step.
struct DriverError {
  std::wstring message;
};
struct UsageError {
  std::wstring message;
};

[[noreturn]] void Fail(const std::wstring& message) { throw DriverError{message}; }

constexpr DWORD kPollMs = 50;
constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kHookAnswerMs = 5000;

// ------------------------------------------------------------------ output

void WriteUtf8(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  if (!out || out == INVALID_HANDLE_VALUE) return;
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  bytes += '\n';
  DWORD written = 0;
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
void Out(const std::wstring& line) { WriteUtf8(STD_OUTPUT_HANDLE, line); }
void Err(const std::wstring& line) { WriteUtf8(STD_ERROR_HANDLE, line); }

// One line per result, whatever the text holds, so that a test can compare it.
std::wstring Escape(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    switch (c) {
      case L'\\':
        out += L"\\\\";
        break;
      case L'\t':
        out += L"\\t";
        break;
      case L'\n':
        out += L"\\n";
        break;
      case L'\r':
        out += L"\\r";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          wchar_t hex[8];
          swprintf(hex, 8, L"\\x%02X", static_cast<unsigned>(c));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    wchar_t c = text[++i];
    switch (c) {
      case L't':
        out += L'\t';
        break;
      case L'n':
        out += L'\n';
        break;
      case L'r':
        out += L'\r';
        break;
      case L's':
        out += L' ';
        break;
      case L'\\':
        out += L'\\';
        break;
      case L'"':
        out += L'"';
        break;
      case L'x': {
        int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) throw UsageError{L"bad \\x escape in: " + text};
        out += static_cast<wchar_t>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        throw UsageError{std::wstring(L"unknown escape \\") + c + L" in: " + text};
    }
  }
  return out;
}

// ------------------------------------------------------------------ numbers

long long ParseInteger(const std::wstring& text, const wchar_t* what) {
  if (text.empty()) throw UsageError{std::wstring(what) + L" is empty"};
  wchar_t* end = nullptr;
  long long value = std::wcstoll(text.c_str(), &end, 0);
  if (!end || *end) throw UsageError{std::wstring(what) + L" is not a number: " + text};
  return value;
}

DWORD ParseMs(const std::wstring& text) {
  long long v = ParseInteger(text, L"time in ms");
  if (v < 0 || v > 3600000) throw UsageError{L"time in ms out of range: " + text};
  return static_cast<DWORD>(v);
}

unsigned ParseId(const std::wstring& text) {
  long long v = ParseInteger(text, L"control id");
  if (v < 0 || v > 0xFFFF) throw UsageError{L"control id out of range: " + text};
  return static_cast<unsigned>(v);
}

std::wstring Decimal(long long v) { return std::to_wstring(v); }

std::wstring Hex(const void* p) {
  wchar_t buf[24];
  swprintf(buf, 24, L"0x%08lX", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(p)));
  return buf;
}

// ------------------------------------------------------------------ windows

std::wstring ClassOf(HWND w) {
  wchar_t cls[256] = {};
  GetClassNameW(w, cls, 256);
  return cls;
}

// Titles of other processes' windows are read without sending a message, so
// this works even while their thread is busy.
std::wstring TitleOf(HWND w) {
  int n = GetWindowTextLengthW(w);
  std::wstring title(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(w, title.data(), n + 1);
  title.resize(static_cast<size_t>(std::max(n, 0)));
  return title;
}

// Control texts need WM_GETTEXT, which the system carries between processes.
std::wstring TextOf(HWND w) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
    Fail(L"window " + Hex(w) + L" did not answer WM_GETTEXTLENGTH");
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &got))
    Fail(L"window " + Hex(w) + L" did not answer WM_GETTEXT");
  text.resize(std::min<size_t>(got, length));
  return text;
}

LRESULT SendOrFail(HWND w, UINT msg, WPARAM wp, LPARAM lp, const wchar_t* what) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result))
    Fail(std::wstring(L"no answer to ") + what + L" from window " + Hex(w));
  return static_cast<LRESULT>(result);
}

void PostOrFail(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (!PostMessageW(w, msg, wp, lp)) Fail(L"cannot post message " + Decimal(msg) + L" to " + Hex(w));
}

struct WindowFilter {
  std::wstring cls;    // "*" for any class
  std::wstring title;  // empty for any title
  bool visibleOnly = true;
  bool boxesOnly = false;
  std::vector<HWND> found;
};

bool IsMessageBox(HWND w) { return ClassOf(w) == L"#32770" && GetDlgItem(w, 0xFFFF) != nullptr; }

BOOL CALLBACK CollectWindow(HWND w, LPARAM param) {
  auto* f = reinterpret_cast<WindowFilter*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == GetCurrentProcessId()) return TRUE;
  if (f->visibleOnly && !IsWindowVisible(w)) return TRUE;
  if (f->cls != L"*" && lstrcmpiW(ClassOf(w).c_str(), f->cls.c_str()) != 0) return TRUE;
  if (!f->title.empty() && TitleOf(w) != f->title) return TRUE;
  if (f->boxesOnly && !IsMessageBox(w)) return TRUE;
  f->found.push_back(w);
  return TRUE;
}

// Top-level windows of other processes, topmost first.
std::vector<HWND> FindTopLevel(WindowFilter filter) {
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&filter));
  return filter.found;
}

HWND WaitTopLevel(const WindowFilter& filter, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    auto found = FindTopLevel(filter);
    if (!found.empty()) return found.front();
    if (GetTickCount() - start >= timeoutMs) return nullptr;
    Sleep(kPollMs);
  }
}

struct ChildSearch {
  unsigned id;
  HWND found = nullptr;
};

BOOL CALLBACK FindChildById(HWND w, LPARAM param) {
  auto* s = reinterpret_cast<ChildSearch*>(param);
  if (static_cast<unsigned>(GetDlgCtrlID(w)) == s->id) {
    s->found = w;
    return FALSE;
  }
  return TRUE;
}

HWND ChildById(HWND parent, unsigned id) {
  if (HWND w = GetDlgItem(parent, static_cast<int>(id))) return w;
  ChildSearch search{id};
  EnumChildWindows(parent, FindChildById, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(w);
  return TRUE;
}

std::vector<HWND> DirectChildren(HWND parent) {
  std::vector<HWND> all, direct;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&all));
  for (HWND w : all)
    if (GetParent(w) == parent) direct.push_back(w);
  return direct;
}

// Children left to right, as the user reads them.
void SortByX(std::vector<HWND>& windows) {
  std::sort(windows.begin(), windows.end(), [](HWND a, HWND b) {
    RECT ra{}, rb{};
    GetWindowRect(a, &ra);
    GetWindowRect(b, &rb);
    return ra.left != rb.left ? ra.left < rb.left : ra.top < rb.top;
  });
}

// ------------------------------------------------------------------ session

struct Session {
  HWND target = nullptr;  // window that control commands address
  HWND box = nullptr;     // last message box found
  HANDLE process = nullptr;
  DWORD processId = 0;
  std::wstring defaultClass = L"FWUPDATER";

  Args lastQuery;
  std::wstring lastResult;
  bool haveResult = false;

  HMODULE hookLibrary = nullptr;
  HOOKPROC hookProc = nullptr;
  std::vector<std::pair<DWORD, HHOOK>> hooks;
  HWND replyWindow = nullptr;

  ~Session() {
    for (auto& h : hooks) UnhookWindowsHookEx(h.second);
    if (replyWindow) DestroyWindow(replyWindow);
    if (process) CloseHandle(process);
  }
};

// Keeps a handle to the process behind a window, so that its exit code can be
// read after the window is gone.
void RememberProcess(Session& s, HWND w) {
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (!pid || pid == s.processId) return;
  if (s.process) CloseHandle(s.process);
  s.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  s.processId = s.process ? pid : 0;
}

HWND Target(Session& s) {
  if (s.target && IsWindow(s.target)) return s.target;
  if (s.target) Fail(L"the target window is gone");
  auto found = FindTopLevel({s.defaultClass, L"", false, false, {}});
  if (found.empty()) Fail(L"no window of class " + s.defaultClass);
  s.target = found.front();
  RememberProcess(s, s.target);
  return s.target;
}

// "title" or "window" names the target itself, a number one of its controls.
HWND Control(Session& s, const std::wstring& id) {
  HWND target = Target(s);
  if (id == L"title" || id == L"window") return target;
  unsigned n = ParseId(id);
  HWND w = ChildById(target, n);
  if (!w) Fail(L"no control " + id + L" in window " + Hex(target) + L" (" + TitleOf(target) + L")");
  return w;
}

HWND Box(Session& s) {
  if (s.box && IsWindow(s.box)) return s.box;
  auto found = FindTopLevel({L"#32770", L"", true, true, {}});
  if (found.empty()) Fail(L"no message box is open");
  s.box = found.front();
  RememberProcess(s, s.box);
  return s.box;
}

// ------------------------------------------------------------------ hook queries

std::wstring HookLibraryPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  size_t slash = p.find_last_of(L"\\/");
  return p.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + L"tq_driver_hook.dll";
}

UINT QueryMessage() {
  static const UINT message = RegisterWindowMessageW(tqdriver::kQueryMessageName);
  return message;
}

void EnsureHook(Session& s, DWORD thread) {
  if (!s.hookLibrary) {
    std::wstring path = HookLibraryPath();
    s.hookLibrary = LoadLibraryW(path.c_str());
    if (!s.hookLibrary) Fail(L"cannot load " + path);
    s.hookProc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(s.hookLibrary, tqdriver::kHookProcName)));
    if (!s.hookProc) Fail(L"the hook library lacks its hook routine");
    s.replyWindow = CreateWindowExW(0, L"STATIC", L"tq_driver replies", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                    nullptr);
    if (!s.replyWindow) Fail(L"cannot create the reply window");
  }
  for (auto& h : s.hooks)
    if (h.first == thread) return;
  HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, s.hookProc, s.hookLibrary, thread);
  if (!hook) Fail(L"cannot hook the program's window thread (error " + Decimal(GetLastError()) + L")");
  s.hooks.emplace_back(thread, hook);
}

LPARAM AskInside(Session& s, HWND window, unsigned kind, unsigned item) {
  DWORD thread = GetWindowThreadProcessId(window, nullptr);
  EnsureHook(s, thread);
  WPARAM query = tqdriver::MakeQuery(kind, item);
  PostOrFail(window, QueryMessage(), query, reinterpret_cast<LPARAM>(s.replyWindow));
  DWORD start = GetTickCount();
  while (GetTickCount() - start < kHookAnswerMs) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == QueryMessage() && msg.wParam == query) return msg.lParam;
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_ALLINPUT);
  }
  Fail(L"the program's window thread did not answer within " + Decimal(kHookAnswerMs) + L" ms (is it busy?)");
}

// ------------------------------------------------------------------ commands

struct Command {
  const wchar_t* name;
  size_t minArgs;
  size_t maxArgs;
  bool textTail;  // the last parameter takes the rest of the script line
  bool query;     // prints a result that expect can check
  std::function<Result(Session&, const Args&)> run;
  const wchar_t* help;
};

const std::vector<Command>& Commands();

DWORD OptionalMs(const Args& a, size_t i, DWORD fallback) {
  return i < a.size() && !a[i].empty() ? ParseMs(a[i]) : fallback;
}

Result CmdWaitWindow(Session& s, const Args& a) {
  DWORD timeout = OptionalMs(a, 1, 30000);
  std::wstring title = a.size() > 2 ? Unescape(a[2]) : L"";
  HWND w = WaitTopLevel({a[0], title, true, false, {}}, timeout);
  if (!w)
    Fail(L"no window of class " + a[0] + (title.empty() ? L"" : L" titled " + title) + L" within " + Decimal(timeout) +
         L" ms");
  s.target = w;
  RememberProcess(s, w);
  return TitleOf(w);
}

Result CmdAbsent(Session&, const Args& a) {
  DWORD duration = OptionalMs(a, 1, 0);
  DWORD start = GetTickCount();
  for (;;) {
    auto found = FindTopLevel({a[0], L"", false, false, {}});
    if (!found.empty())
      Fail(L"a window of class " + a[0] + L" exists: " + Hex(found.front()) + L" (" + TitleOf(found.front()) + L")");
    if (GetTickCount() - start >= duration) return std::nullopt;
    Sleep(kPollMs);
  }
}

Result CmdWaitGone(Session& s, const Args& a) {
  DWORD timeout = OptionalMs(a, 0, 15000);
  HWND w = s.target;
  if (!w) Fail(L"no target window to wait for");
  DWORD start = GetTickCount();
  while (IsWindow(w)) {
    if (GetTickCount() - start >= timeout)
      Fail(L"window " + Hex(w) + L" still exists after " + Decimal(timeout) + L" ms");
    Sleep(kPollMs);
  }
  return std::nullopt;
}

Result CmdText(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  return w == s.target ? TitleOf(w) : TextOf(w);
}

Result CmdEnabled(Session& s, const Args& a) { return IsWindowEnabled(Control(s, a[0])) ? L"1" : L"0"; }

Result CmdVisible(Session& s, const Args& a) { return IsWindowVisible(Control(s, a[0])) ? L"1" : L"0"; }

Result CmdChecked(Session& s, const Args& a) {
  return Decimal(SendOrFail(Control(s, a[0]), BM_GETCHECK, 0, 0, L"BM_GETCHECK"));
}

// The control (a direct child of the target) that holds the keyboard focus.
Result CmdFocused(Session& s, const Args&) {
  HWND target = Target(s);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(target, nullptr), &info))
    Fail(L"cannot read the program's thread state");
  HWND w = info.hwndFocus;
  if (!w) return std::wstring(L"none");
  if (w == target) return std::wstring(L"window");
  while (w && GetParent(w) != target) w = GetParent(w);
  if (!w) return std::wstring(L"other");
  return Decimal(GetDlgCtrlID(w));
}

bool IsCombo(HWND w) { return lstrcmpiW(ClassOf(w).c_str(), L"ComboBox") == 0; }
bool IsList(HWND w) { return lstrcmpiW(ClassOf(w).c_str(), L"ListBox") == 0; }

std::wstring ItemText(HWND w, int i, bool combo) {
  LRESULT n = SendOrFail(w, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i, 0, L"item length");
  if (n < 0) Fail(L"cannot read item " + Decimal(i));
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  LRESULT got = SendOrFail(w, combo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()),
                           L"item text");
  text.resize(got < 0 ? 0 : std::min<size_t>(static_cast<size_t>(got), static_cast<size_t>(n)));
  return text;
}

// Items joined by "|" (a "|" inside an item is written "\|").
Result CmdItems(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  bool combo = IsCombo(w);
  if (!combo && !IsList(w)) Fail(L"control " + a[0] + L" is a " + ClassOf(w) + L", not a list");
  LRESULT count = SendOrFail(w, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0, L"item count");
  std::wstring out;
  for (int i = 0; i < count; ++i) {
    if (i) out += L'|';
    for (wchar_t c : Escape(ItemText(w, i, combo))) {
      if (c == L'|') out += L'\\';
      out += c;
    }
  }
  return out;
}

Result CmdSelected(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  bool combo = IsCombo(w);
  if (!combo && !IsList(w)) Fail(L"control " + a[0] + L" is not a list");
  return Decimal(SendOrFail(w, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0, L"selection"));
}

std::vector<HWND> AddressFields(Session& s, const std::wstring& id) {
  HWND w = Control(s, id);
  std::vector<HWND> fields;
  for (HWND c : DirectChildren(w))
    if (lstrcmpiW(ClassOf(c).c_str(), L"Edit") == 0) fields.push_back(c);
  if (fields.size() != 4) Fail(L"control " + id + L" has " + Decimal(fields.size()) + L" edit fields, not 4");
  SortByX(fields);
  return fields;
}

// The address field's own messages carry pointers into the program's memory,
// so its four edit fields are read instead; an empty field stays empty.
Result CmdIp(Session& s, const Args& a) {
  auto fields = AddressFields(s, a[0]);
  std::wstring out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += L'.';
    out += TextOf(fields[i]);
  }
  return out;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t sep) {
  std::vector<std::wstring> parts(1);
  for (wchar_t c : text) {
    if (c == sep)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

Result CmdSetIp(Session& s, const Args& a) {
  auto parts = Split(a[1], L'.');
  if (parts.size() != 4) throw UsageError{L"an address has four fields: " + a[1]};
  auto fields = AddressFields(s, a[0]);
  for (size_t i = 0; i < 4; ++i)
    SendOrFail(fields[i], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(parts[i].c_str()), L"WM_SETTEXT");
  return std::nullopt;
}

// One field (1 to 4) of an address field, as a user retyping only that part.
Result CmdSetIpField(Session& s, const Args& a) {
  long long n = ParseInteger(a[1], L"field");
  if (n < 1 || n > 4) throw UsageError{L"an address field has the fields 1 to 4"};
  auto fields = AddressFields(s, a[0]);
  std::wstring text = a.size() > 2 ? Unescape(a[2]) : L"";
  SendOrFail(fields[static_cast<size_t>(n - 1)], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), L"WM_SETTEXT");
  return std::nullopt;
}

Result CmdSetText(Session& s, const Args& a) {
  std::wstring text = a.size() > 1 ? Unescape(a[1]) : L"";
  SendOrFail(Control(s, a[0]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), L"WM_SETTEXT");
  return std::nullopt;
}

// What a user could not do, the driver refuses too.
void RequireUsable(HWND w, const std::wstring& id) {
  if (!IsWindowVisible(w)) Fail(L"control " + id + L" is hidden");
  if (!IsWindowEnabled(w)) Fail(L"control " + id + L" is disabled");
  HWND root = GetAncestor(w, GA_ROOT);
  if (root && !IsWindowEnabled(root)) Fail(L"the window of control " + id + L" is disabled (a modal box?)");
}

Result CmdChars(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  RequireUsable(w, a[0]);
  for (wchar_t c : Unescape(a.size() > 1 ? a[1] : L"")) PostOrFail(w, WM_CHAR, c, 1);
  return std::nullopt;
}

Result CmdClick(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  RequireUsable(w, a[0]);
  // Posted: the click may open a modal box, which a send would wait for.
  PostOrFail(w, BM_CLICK, 0, 0);
  return std::nullopt;
}

Result CmdSelect(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  RequireUsable(w, a[0]);
  bool combo = IsCombo(w);
  if (!combo && !IsList(w)) Fail(L"control " + a[0] + L" is not a combo or list box");
  long long index = ParseInteger(a[1], L"index");
  LRESULT r = SendOrFail(w, combo ? CB_SETCURSEL : LB_SETCURSEL, static_cast<WPARAM>(index), 0, L"set selection");
  if (r == (combo ? CB_ERR : LB_ERR) && index != -1) Fail(L"no item " + a[1] + L" in control " + a[0]);
  // A user's choice notifies the dialog; setting the selection alone does not.
  WORD notification = combo ? CBN_SELCHANGE : LBN_SELCHANGE;
  PostOrFail(GetParent(w), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(w), notification), reinterpret_cast<LPARAM>(w));
  return std::nullopt;
}

// A left click in the middle of a control (or of the n-th edit field of an
// address field, from 1), posted as the mouse would: the control takes the
// keyboard focus, so the one that had it loses it.
Result CmdMouse(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  if (a.size() > 1) {
    long long n = ParseInteger(a[1], L"field");
    auto fields = AddressFields(s, a[0]);
    if (n < 1 || n > 4) throw UsageError{L"an address field has the fields 1 to 4"};
    w = fields[static_cast<size_t>(n - 1)];
  }
  RequireUsable(w, a[0]);
  RECT r{};
  GetClientRect(w, &r);
  LPARAM at = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
  PostOrFail(w, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostOrFail(w, WM_LBUTTONUP, 0, at);
  return std::nullopt;
}

Result CmdCommand(Session& s, const Args& a) {
  HWND target = Target(s);
  unsigned id = ParseId(a[0]);
  unsigned code = a.size() > 1 ? static_cast<unsigned>(ParseInteger(a[1], L"notification")) : 0;
  HWND control = ChildById(target, id);  // none for menu commands
  PostOrFail(target, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
  return std::nullopt;
}

Result CmdPost(Session& s, const Args& a) {
  PostOrFail(Target(s), static_cast<UINT>(ParseInteger(a[0], L"message")),
             static_cast<WPARAM>(ParseInteger(a[1], L"wParam")), static_cast<LPARAM>(ParseInteger(a[2], L"lParam")));
  return std::nullopt;
}

Result CmdSend(Session& s, const Args& a) {
  return Decimal(SendOrFail(Target(s), static_cast<UINT>(ParseInteger(a[0], L"message")),
                            static_cast<WPARAM>(ParseInteger(a[1], L"wParam")),
                            static_cast<LPARAM>(ParseInteger(a[2], L"lParam")), L"the message"));
}

Result CmdClose(Session& s, const Args&) {
  PostOrFail(Target(s), WM_CLOSE, 0, 0);
  return std::nullopt;
}

Result CmdMenuState(Session& s, const Args& a) {
  LPARAM state = AskInside(s, Target(s), tqdriver::kQueryMenuState, ParseId(a[0]));
  if (state == tqdriver::kNoSuchItem) Fail(L"no menu item " + a[0] + L" in the window's menu");
  std::wstring out = (state & MF_GRAYED) ? L"grayed" : (state & MF_DISABLED) ? L"disabled" : L"enabled";
  if (state & MF_CHECKED) out += L" checked";
  return out;
}

// Waits until the target's window thread has handled every message posted
// to it before (a posted query is answered in turn), so that what a posted
// command changed can be read.
Result CmdSync(Session& s, const Args&) {
  AskInside(s, Target(s), tqdriver::kQueryMenuState, 0);
  return std::nullopt;
}

// --- message boxes

Result CmdWaitBox(Session& s, const Args& a) {
  DWORD timeout = OptionalMs(a, 0, 15000);
  HWND box = WaitTopLevel({L"#32770", L"", true, true, {}}, timeout);
  if (!box) Fail(L"no message box within " + Decimal(timeout) + L" ms");
  s.box = box;
  RememberProcess(s, box);
  return TitleOf(box);
}

Result CmdNoBox(Session&, const Args& a) {
  DWORD duration = OptionalMs(a, 0, 0);
  DWORD start = GetTickCount();
  for (;;) {
    auto found = FindTopLevel({L"#32770", L"", true, true, {}});
    if (!found.empty())
      Fail(L"a message box is open: " + TitleOf(found.front()) + L": " +
           Escape(TextOf(GetDlgItem(found.front(), 0xFFFF))));
    if (GetTickCount() - start >= duration) return std::nullopt;
    Sleep(kPollMs);
  }
}

Result CmdBoxCaption(Session& s, const Args&) { return TitleOf(Box(s)); }

Result CmdBoxText(Session& s, const Args&) { return TextOf(GetDlgItem(Box(s), 0xFFFF)); }

struct ButtonName {
  int id;
  const wchar_t* name;
};
const ButtonName kButtons[] = {{IDOK, L"ok"},       {IDCANCEL, L"cancel"},     {IDABORT, L"abort"},
                               {IDRETRY, L"retry"}, {IDIGNORE, L"ignore"},     {IDYES, L"yes"},
                               {IDNO, L"no"},       {IDTRYAGAIN, L"tryagain"}, {IDCONTINUE, L"continue"}};

std::wstring ButtonLabel(int id) {
  for (const auto& b : kButtons)
    if (b.id == id) return b.name;
  return Decimal(id);
}

int ParseButton(const std::wstring& text) {
  for (const auto& b : kButtons)
    if (lstrcmpiW(text.c_str(), b.name) == 0) return b.id;
  return static_cast<int>(ParseId(text));
}

// The buttons the user sees, left to right (Wine's box template holds every
// button and hides the ones not asked for).
std::vector<HWND> BoxButtons(HWND box) {
  std::vector<HWND> buttons;
  for (HWND c : DirectChildren(box))
    if (lstrcmpiW(ClassOf(c).c_str(), L"Button") == 0 && IsWindowVisible(c)) buttons.push_back(c);
  SortByX(buttons);
  return buttons;
}

Result CmdBoxButtons(Session& s, const Args&) {
  std::wstring out;
  for (HWND b : BoxButtons(Box(s))) {
    if (!out.empty()) out += L' ';
    out += ButtonLabel(GetDlgCtrlID(b));
  }
  return out;
}

Result CmdBoxIcon(Session& s, const Args&) {
  switch (AskInside(s, Box(s), tqdriver::kQueryBoxIcon, 0)) {
    case tqdriver::kIconNone:
      return std::wstring(L"none");
    case tqdriver::kIconError:
      return std::wstring(L"error");
    case tqdriver::kIconQuestion:
      return std::wstring(L"question");
    case tqdriver::kIconWarning:
      return std::wstring(L"warning");
    case tqdriver::kIconInformation:
      return std::wstring(L"information");
    default:
      return std::wstring(L"other");
  }
}

Result CmdAnswerBox(Session& s, const Args& a) {
  HWND box = Box(s);
  int id = ParseButton(a[0]);
  HWND button = nullptr;
  for (HWND b : BoxButtons(box))
    if (GetDlgCtrlID(b) == id) button = b;
  if (!button) Fail(L"the box has no button " + a[0] + L" (it has: " + *CmdBoxButtons(s, {}) + L")");
  PostOrFail(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  DWORD start = GetTickCount();
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount() - start >= 10000) Fail(L"the box is still open 10 s after the click");
    Sleep(kPollMs);
  }
  s.box = nullptr;
  return std::nullopt;
}

// --- processes

Result CmdWaitExit(Session& s, const Args& a) {
  HANDLE process = s.process;
  bool own = false;
  if (!a.empty() && a[0] != L"--") {
    DWORD pid = static_cast<DWORD>(ParseInteger(a[0], L"process id"));
    process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) Fail(L"cannot open process " + a[0]);
    own = true;
  }
  if (!process) Fail(L"no program process known (find its window or box first)");
  DWORD timeout = OptionalMs(a, 1, 15000);
  DWORD wait = WaitForSingleObject(process, timeout);
  DWORD code = 0;
  BOOL got = GetExitCodeProcess(process, &code);
  if (own) CloseHandle(process);
  if (wait != WAIT_OBJECT_0) Fail(L"the program is still running after " + Decimal(timeout) + L" ms");
  if (!got) Fail(L"cannot read the program's exit code");
  return Decimal(code);
}

Result CmdPid(Session& s, const Args&) {
  DWORD pid = 0;
  GetWindowThreadProcessId(Target(s), &pid);
  return Decimal(pid);
}

// Visible top-level windows of the program (the process behind the last
// window or box found), topmost first, by class.
Result CmdWindows(Session& s, const Args&) {
  if (!s.processId) Fail(L"no program process known (find its window or box first)");
  std::wstring out;
  for (HWND w : FindTopLevel({L"*", L"", true, false, {}})) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != s.processId) continue;
    if (!out.empty()) out += L' ';
    out += ClassOf(w);
  }
  return out;
}

// Screen rectangle: left top right bottom.
Result CmdRect(Session& s, const Args& a) {
  RECT r{};
  if (!GetWindowRect(Control(s, a[0]), &r)) Fail(L"cannot read the rectangle of " + a[0]);
  return Decimal(r.left) + L" " + Decimal(r.top) + L" " + Decimal(r.right) + L" " + Decimal(r.bottom);
}

// A message without pointers sent to one control; result: its answer.
Result CmdSendTo(Session& s, const Args& a) {
  return Decimal(SendOrFail(Control(s, a[0]), static_cast<UINT>(ParseInteger(a[1], L"message")),
                            static_cast<WPARAM>(ParseInteger(a[2], L"wParam")),
                            static_cast<LPARAM>(ParseInteger(a[3], L"lParam")), L"the message"));
}

// The first N bytes that the item data of a list box entry points to, read
// from the program's memory (item data are pointers of its process), in hex.
Result CmdItemBytes(Session& s, const Args& a) {
  HWND w = Control(s, a[0]);
  if (!IsList(w)) Fail(L"control " + a[0] + L" is not a list box");
  long long index = ParseInteger(a[1], L"index");
  long long n = ParseInteger(a[2], L"byte count");
  if (n < 1 || n > 4096) throw UsageError{L"byte count must be 1 to 4096"};
  LRESULT data = SendOrFail(w, LB_GETITEMDATA, static_cast<WPARAM>(index), 0, L"LB_GETITEMDATA");
  if (data == LB_ERR) Fail(L"no item " + a[1] + L" in control " + a[0]);
  if (!data) Fail(L"item " + a[1] + L" has no item data");
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_READ | PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (!process) Fail(L"cannot open the program's process for reading");
  std::vector<unsigned char> bytes(static_cast<size_t>(n));
  SIZE_T got = 0;
  BOOL ok = ReadProcessMemory(process, reinterpret_cast<LPCVOID>(data), bytes.data(), bytes.size(), &got);
  CloseHandle(process);
  if (!ok || got != bytes.size()) Fail(L"cannot read the item data of item " + a[1]);
  std::wstring out;
  for (unsigned char b : bytes) {
    wchar_t hex[4];
    swprintf(hex, 4, L"%02x", b);
    out += hex;
  }
  return out;
}

// --- list views (report style). Their messages carry pointers that only
// the program's process can use, so each LVITEM and its text buffer are
// placed in the program's memory and read back from there.

class RemoteBlock {
 public:
  RemoteBlock(HWND w, size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!process_) Fail(L"cannot open the program's process");
    memory_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    if (!memory_) {
      CloseHandle(process_);
      Fail(L"cannot place memory in the program's process");
    }
  }
  ~RemoteBlock() {
    VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  void* At(size_t offset) const { return static_cast<char*>(memory_) + offset; }
  void Write(const void* data, size_t size, size_t offset = 0) {
    if (offset + size > size_ || !WriteProcessMemory(process_, At(offset), data, size, nullptr))
      Fail(L"cannot write to the program's memory");
  }
  void Read(void* data, size_t size, size_t offset = 0) const {
    if (offset + size > size_ || !ReadProcessMemory(process_, At(offset), data, size, nullptr))
      Fail(L"cannot read the program's memory");
  }

 private:
  HANDLE process_ = nullptr;
  void* memory_ = nullptr;
  size_t size_;
};

HWND ListView(Session& s, const std::wstring& id) {
  HWND w = Control(s, id);
  if (lstrcmpiW(ClassOf(w).c_str(), WC_LISTVIEWW) != 0) Fail(L"control " + id + L" is not a list view");
  return w;
}

int ListRow(HWND w, const std::wstring& text) {
  long long row = ParseInteger(text, L"row");
  LRESULT count = SendOrFail(w, LVM_GETITEMCOUNT, 0, 0, L"LVM_GETITEMCOUNT");
  if (row < 0 || row >= count) Fail(L"no row " + text + L" (the list has " + Decimal(count) + L")");
  return static_cast<int>(row);
}

std::wstring ListCell(HWND w, int row, int column) {
  constexpr size_t kChars = 512;
  RemoteBlock block(w, sizeof(LVITEMW) + kChars * sizeof(wchar_t));
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = static_cast<LPWSTR>(block.At(sizeof(LVITEMW)));
  item.cchTextMax = kChars;
  block.Write(&item, sizeof item);
  SendOrFail(w, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.At(0)), L"LVM_GETITEMTEXTW");
  std::vector<wchar_t> text(kChars + 1, L'\0');
  block.Read(text.data(), kChars * sizeof(wchar_t), sizeof(LVITEMW));
  return text.data();
}

int ListColumns(HWND w) {
  HWND header = reinterpret_cast<HWND>(SendOrFail(w, LVM_GETHEADER, 0, 0, L"LVM_GETHEADER"));
  return static_cast<int>(SendOrFail(header, HDM_GETITEMCOUNT, 0, 0, L"HDM_GETITEMCOUNT"));
}

Result CmdLvCount(Session& s, const Args& a) {
  return Decimal(SendOrFail(ListView(s, a[0]), LVM_GETITEMCOUNT, 0, 0, L"LVM_GETITEMCOUNT"));
}

// Every column of a row, joined by | (a | inside a cell is escaped).
Result CmdLvRow(Session& s, const Args& a) {
  HWND w = ListView(s, a[0]);
  const int row = ListRow(w, a[1]);
  std::wstring out;
  for (int c = 0, n = ListColumns(w); c < n; ++c) {
    if (c) out += L'|';
    for (wchar_t ch : Escape(ListCell(w, row, c))) {
      if (ch == L'|') out += L'\\';
      out += ch;
    }
  }
  return out;
}

// The row whose first column is TEXT; -1 when there is none.
Result CmdLvFind(Session& s, const Args& a) {
  HWND w = ListView(s, a[0]);
  const std::wstring want = Unescape(a[1]);
  const LRESULT count = SendOrFail(w, LVM_GETITEMCOUNT, 0, 0, L"LVM_GETITEMCOUNT");
  for (int row = 0; row < count; ++row)
    if (ListCell(w, row, 0) == want) return Decimal(row);
  return std::wstring(L"-1");
}

// The row's check box: 1 checked, 0 unchecked, none when it has none.
Result CmdLvChecked(Session& s, const Args& a) {
  HWND w = ListView(s, a[0]);
  const int row = ListRow(w, a[1]);
  const LRESULT state = SendOrFail(w, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK,
                                   L"LVM_GETITEMSTATE");
  const int image = static_cast<int>((state & LVIS_STATEIMAGEMASK) >> 12);
  return image == 0 ? std::wstring(L"none") : Decimal(image == 2 ? 1 : 0);
}

// Sets the row's check box as a click on it does (the program may refuse).
Result CmdLvCheck(Session& s, const Args& a) {
  HWND w = ListView(s, a[0]);
  const int row = ListRow(w, a[1]);
  const long long on = ParseInteger(a[2], L"0 or 1");
  RemoteBlock block(w, sizeof(LVITEMW));
  LVITEMW item = {};
  item.stateMask = LVIS_STATEIMAGEMASK;
  item.state = INDEXTOSTATEIMAGEMASK(on ? 2 : 1);
  block.Write(&item, sizeof item);
  SendOrFail(w, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.At(0)), L"LVM_SETITEMSTATE");
  return std::nullopt;
}

// Clicks a column heading: the list's owner is told as by a mouse click.
Result CmdLvSort(Session& s, const Args& a) {
  HWND w = ListView(s, a[0]);
  const long long column = ParseInteger(a[1], L"column");
  HWND header = reinterpret_cast<HWND>(SendOrFail(w, LVM_GETHEADER, 0, 0, L"LVM_GETHEADER"));
  RECT box;
  {
    RemoteBlock block(w, sizeof(RECT));
    SendOrFail(header, HDM_GETITEMRECT, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(block.At(0)),
               L"HDM_GETITEMRECT");
    block.Read(&box, sizeof box);
  }
  const LPARAM at = MAKELPARAM((box.left + box.right) / 2, (box.top + box.bottom) / 2);
  SendOrFail(header, WM_LBUTTONDOWN, MK_LBUTTON, at, L"WM_LBUTTONDOWN");
  SendOrFail(header, WM_LBUTTONUP, 0, at, L"WM_LBUTTONUP");
  return std::nullopt;
}

// The clipboard's text.
Result CmdClipboard(Session&, const Args&) {
  if (!OpenClipboard(nullptr)) Fail(L"cannot open the clipboard");
  std::wstring text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const wchar_t* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// --- flow

Result CmdSleep(Session&, const Args& a) {
  Sleep(ParseMs(a[0]));
  return std::nullopt;
}

Result CmdEcho(Session&, const Args& a) {
  Out(a.empty() ? L"" : Unescape(a[0]));
  return std::nullopt;
}

Result CmdExpect(Session& s, const Args& a) {
  std::wstring want = a.empty() ? L"" : Unescape(a[0]);
  if (!s.haveResult) throw UsageError{L"expect follows a query"};
  if (s.lastResult != want) Fail(L"expected \"" + Escape(want) + L"\", got \"" + Escape(s.lastResult) + L"\"");
  return std::nullopt;
}

Result RunQuery(Session& s, const Args& words);

// Runs the last query again until its result is the wanted one.
Result CmdExpectWithin(Session& s, const Args& a) {
  DWORD timeout = ParseMs(a[0]);
  std::wstring want = a.size() > 1 ? Unescape(a[1]) : L"";
  if (s.lastQuery.empty()) throw UsageError{L"expect-within follows a query"};
  DWORD start = GetTickCount();
  for (;;) {
    if (s.haveResult && s.lastResult == want) return std::nullopt;
    if (GetTickCount() - start >= timeout)
      Fail(L"expected \"" + Escape(want) + L"\" within " + Decimal(timeout) + L" ms, still \"" + Escape(s.lastResult) +
           L"\"");
    Sleep(100);
    try {
      RunQuery(s, s.lastQuery);
    } catch (const DriverError& e) {
      // A control may be missing for a moment (a window being rebuilt).
      s.lastResult = L"<" + e.message + L">";
    }
  }
}

// --- environment checks: serial ports and sockets

// Only where the machine's serial devices are hidden from Wine: opening a COM
// port may otherwise reach real hardware.
void RequireHiddenSerial() {
  wchar_t v[8] = {};
  if (!GetEnvironmentVariableW(L"TQ_WINE_SERIAL_HIDDEN", v, 8) || lstrcmpW(v, L"1") != 0)
    Fail(L"serial commands run only under wine-run.sh, which hides the machine's serial devices");
}

HANDLE OpenCom(unsigned n) {
  std::wstring path = L"\\\\.\\COM" + Decimal(n);
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// The ports that open, probed the way a program lists them.
Result CmdComList(Session&, const Args& a) {
  RequireHiddenSerial();
  long long last = a.empty() ? 255 : ParseInteger(a[0], L"last port");
  if (last < 1 || last > 255) throw UsageError{L"last port must be 1 to 255"};
  std::wstring out;
  for (unsigned n = 1; n <= last; ++n) {
    HANDLE h = OpenCom(n);
    if (h == INVALID_HANDLE_VALUE) continue;
    CloseHandle(h);
    if (!out.empty()) out += L' ';
    out += L"COM" + Decimal(n);
  }
  return out;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += static_cast<char>(c & 0xFF);
  return out;
}

std::wstring Widen(const char* bytes, size_t n) {
  std::wstring out;
  for (size_t i = 0; i < n; ++i) out += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
  return out;
}

// Writes TEXT at 115200 bit/s, 8N1, and returns what comes back until the line
// has been quiet for 200 ms (or WAIT_MS have passed).
Result CmdComSend(Session&, const Args& a) {
  RequireHiddenSerial();
  unsigned n = ParseId(a[0]);
  std::string bytes = Narrow(a.size() > 1 ? Unescape(a[1]) : L"");
  DWORD waitMs = 1000;
  HANDLE h = OpenCom(n);
  if (h == INVALID_HANDLE_VALUE) Fail(L"cannot open COM" + a[0] + L" (error " + Decimal(GetLastError()) + L")");
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 1000};
  bool ok = GetCommState(h, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  ok = ok && SetCommState(h, &dcb) && SetCommTimeouts(h, &timeouts);
  DWORD written = 0;
  ok = ok && WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  if (!ok) {
    CloseHandle(h);
    Fail(L"cannot set up or write COM" + a[0]);
  }
  std::wstring reply;
  DWORD start = GetTickCount(), lastByte = 0;
  while (GetTickCount() - start < waitMs && !(lastByte && GetTickCount() - lastByte > 200)) {
    char buf[256];
    DWORD got = 0;
    if (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) {
      reply += Widen(buf, got);
      lastByte = GetTickCount();
    } else {
      Sleep(10);
    }
  }
  CloseHandle(h);
  return reply;
}

// Sends one datagram and returns the first reply within a second (or an empty
// text). Only to loopback, or inside the private network namespace that
// wine-run.sh --netns makes, where no other address leads off the machine.
Result CmdUdpSend(Session&, const Args& a) {
  in_addr address{};
  if (InetPtonW(AF_INET, a[0].c_str(), &address) != 1) throw UsageError{L"not an IPv4 address: " + a[0]};
  wchar_t v[8] = {};
  bool netns = GetEnvironmentVariableW(L"TQ_WINE_NETNS", v, 8) && lstrcmpW(v, L"1") == 0;
  if (!netns && (ntohl(address.s_addr) >> 24) != 127)
    Fail(L"udp-send goes outside loopback only inside wine-run.sh --netns");
  long long port = ParseInteger(a[1], L"port");
  if (port < 1 || port > 65535) throw UsageError{L"port out of range: " + a[1]};
  std::string bytes = Narrow(a.size() > 2 ? Unescape(a[2]) : L"");

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) Fail(L"WSAStartup failed");
  SOCKET sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (sock == INVALID_SOCKET) Fail(L"cannot make a UDP socket");
  BOOL on = TRUE;
  DWORD timeoutMs = 1000;
  setsockopt(sock, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr = address;
  int sent = sendto(sock, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (sent != static_cast<int>(bytes.size())) {
    closesocket(sock);
    Fail(L"sendto failed (error " + Decimal(WSAGetLastError()) + L")");
  }
  char buf[1500];
  int got = recv(sock, buf, sizeof buf, 0);
  closesocket(sock);
  WSACleanup();
  return got > 0 ? Widen(buf, static_cast<size_t>(got)) : std::wstring();
}

Result CmdHelp(Session&, const Args&);

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {L"wait-window", 1, 3, true, true, CmdWaitWindow,
       L"CLASS [TIMEOUT_MS [TITLE]]  wait for a visible top-level window (\"*\": any class); it becomes the target; result: its title"},
      {L"absent", 1, 2, false, false, CmdAbsent, L"CLASS [FOR_MS]  no window of CLASS exists, now and for FOR_MS"},
      {L"wait-gone", 0, 1, false, false, CmdWaitGone, L"[TIMEOUT_MS]  wait until the target window is destroyed"},
      {L"text", 1, 1, false, true, CmdText, L"ID|title  text of a control, or the target's title"},
      {L"enabled", 1, 1, false, true, CmdEnabled, L"ID|window  1 or 0"},
      {L"visible", 1, 1, false, true, CmdVisible, L"ID|window  1 or 0"},
      {L"checked", 1, 1, false, true, CmdChecked, L"ID  0, 1 or 2 (indeterminate)"},
      {L"focused", 0, 0, false, true, CmdFocused, L"id of the control with the keyboard focus (none, window, other)"},
      {L"items", 1, 1, false, true, CmdItems, L"ID  items of a combo or list box, joined by |"},
      {L"selected", 1, 1, false, true, CmdSelected, L"ID  selected index of a combo or list box (-1: none)"},
      {L"ip", 1, 1, false, true, CmdIp, L"ID  an IPv4 address field as A.B.C.D (empty fields stay empty)"},
      {L"menu-state", 1, 1, false, true, CmdMenuState,
       L"ID  enabled, grayed or disabled (+ checked) of the target's menu item"},
      {L"set-text", 1, 2, true, false, CmdSetText, L"ID TEXT  WM_SETTEXT"},
      {L"set-ip", 2, 2, false, false, CmdSetIp, L"ID A.B.C.D  fill the four fields of an address field"},
      {L"set-ip-field", 2, 3, false, false, CmdSetIpField, L"ID FIELD [TEXT]  set one field (1-4) of an address field"},
      {L"chars", 2, 2, true, false, CmdChars, L"ID TEXT  post WM_CHAR for each character (as typing)"},
      {L"click", 1, 1, false, false, CmdClick, L"ID  click a visible, enabled button"},
      {L"select", 2, 2, false, false, CmdSelect, L"ID INDEX  choose a combo or list box item as a user does"},
      {L"mouse", 1, 2, false, false, CmdMouse,
       L"ID [FIELD]  left click on a control (FIELD: 1-4 of an address field); moves the focus"},
      {L"command", 1, 2, false, false, CmdCommand, L"ID [NOTIFY]  post WM_COMMAND to the target"},
      {L"post", 3, 3, false, false, CmdPost, L"MSG W L  post a message to the target"},
      {L"send", 3, 3, false, true, CmdSend, L"MSG W L  send a message to the target; result: its answer"},
      {L"close", 0, 0, false, false, CmdClose, L"post WM_CLOSE to the target"},
      {L"sync", 0, 0, false, false, CmdSync,
       L"wait until the target's thread has handled what was posted to it before"},
      {L"wait-box", 0, 1, false, true, CmdWaitBox, L"[TIMEOUT_MS]  wait for a message box; result: its caption"},
      {L"no-box", 0, 1, false, false, CmdNoBox, L"[FOR_MS]  no message box is open, now and for FOR_MS"},
      {L"box-caption", 0, 0, false, true, CmdBoxCaption, L"caption of the message box"},
      {L"box-text", 0, 0, false, true, CmdBoxText, L"text of the message box"},
      {L"box-buttons", 0, 0, false, true, CmdBoxButtons, L"its buttons, left to right (ok cancel yes no ...)"},
      {L"box-icon", 0, 0, false, true, CmdBoxIcon, L"its icon: error, question, warning, information, none"},
      {L"answer-box", 1, 1, false, false, CmdAnswerBox,
       L"BUTTON  press yes, no, ok, cancel... (or an id) and wait for the box to go"},
      {L"wait-exit", 0, 2, false, true, CmdWaitExit,
       L"[PID|-- [TIMEOUT_MS]]  wait for the program (-- : the one behind the last window or box) to end; result: its exit code"},
      {L"pid", 0, 0, false, true, CmdPid, L"process id of the target"},
      {L"windows", 0, 0, false, true, CmdWindows, L"classes of the program's visible top-level windows, topmost first"},
      {L"rect", 1, 1, false, true, CmdRect, L"ID|window  screen rectangle: left top right bottom"},
      {L"send-to", 4, 4, false, true, CmdSendTo,
       L"ID MSG W L  send a message without pointers to a control; result: its answer"},
      {L"item-bytes", 3, 3, false, true, CmdItemBytes,
       L"ID INDEX N  first N bytes behind a list item's data pointer, in hex"},
      {L"lv-count", 1, 1, false, true, CmdLvCount, L"ID  rows of a list view"},
      {L"lv-row", 2, 2, false, true, CmdLvRow, L"ID ROW  every column of a list view row, joined by |"},
      {L"lv-find", 2, 2, true, true, CmdLvFind, L"ID TEXT  the row whose first column is TEXT (-1: none)"},
      {L"lv-checked", 2, 2, false, true, CmdLvChecked, L"ID ROW  its check box: 1, 0, or none"},
      {L"lv-check", 3, 3, false, false, CmdLvCheck, L"ID ROW 0|1  set its check box as a click does"},
      {L"lv-sort", 2, 2, false, false, CmdLvSort, L"ID COLUMN  click a column heading"},
      {L"clipboard", 0, 0, false, true, CmdClipboard, L"the clipboard's text"},
      {L"sleep", 1, 1, false, false, CmdSleep, L"MS"},
      {L"echo", 0, 1, true, false, CmdEcho, L"TEXT  print TEXT"},
      {L"expect", 0, 1, true, false, CmdExpect, L"TEXT  the last result is TEXT"},
      {L"expect-within", 1, 2, true, false, CmdExpectWithin,
       L"MS TEXT  repeat the last query until its result is TEXT"},
      {L"com-list", 0, 1, false, true, CmdComList, L"[LAST]  COM ports 1..LAST (255) that open"},
      {L"com-send", 1, 2, true, true, CmdComSend, L"N TEXT  write TEXT to COMN at 115200 8N1; result: the reply"},
      {L"udp-send", 2, 3, true, true, CmdUdpSend,
       L"ADDR PORT TEXT  one datagram (loopback, or any address in --netns); result: the reply"},
      {L"help", 0, 0, false, false, CmdHelp, L"this list"},
  };
  return commands;
}

Result CmdHelp(Session&, const Args&) {
  Out(L"tq_driver.exe [--class NAME] COMMAND [ARGS...]   (default target class FWUPDATER)");
  Out(L"tq_driver.exe script FILE|-   (one command a line, # comments; quotes group words)");
  for (const auto& c : Commands()) Out(std::wstring(L"  ") + c.name + L" " + c.help);
  return std::nullopt;
}

const Command* FindCommand(const std::wstring& name) {
  for (const auto& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

Result RunQuery(Session& s, const Args& words) {
  const Command* c = FindCommand(words[0]);
  Args args(words.begin() + 1, words.end());
  Result r = c->run(s, args);
  if (c->query && r) {
    s.lastResult = *r;
    s.haveResult = true;
  }
  return r;
}

// Runs one command; words[0] is its name.
Result RunWords(Session& s, const Args& words) {
  const Command* c = FindCommand(words[0]);
  if (!c) throw UsageError{L"unknown command: " + words[0] + L" (see help)"};
  size_t n = words.size() - 1;
  if (n < c->minArgs || n > c->maxArgs) throw UsageError{std::wstring(L"usage: ") + c->name + L" " + c->help};
  Result r = RunQuery(s, words);
  if (c->query) s.lastQuery = words;
  return r;
}

// ------------------------------------------------------------------ script

struct Token {
  std::wstring text;
  size_t start;
};

std::vector<Token> Tokenize(const std::wstring& line) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && iswspace(line[i])) ++i;
    if (i >= line.size()) break;
    Token t{L"", i};
    bool quoted = false;
    for (; i < line.size() && (quoted || !iswspace(line[i])); ++i) {
      if (line[i] == L'"') {
        quoted = !quoted;
      } else if (line[i] == L'\\' && i + 1 < line.size()) {
        // Escapes are kept for Unescape; only \" must not end a quote.
        t.text += line[i];
        t.text += line[++i];
      } else {
        t.text += line[i];
      }
    }
    if (quoted) throw UsageError{L"unclosed quote"};
    tokens.push_back(t);
  }
  return tokens;
}

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && iswspace(s[b])) ++b;
  while (e > b && iswspace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// A text parameter at the end of a line is the rest of the line, so that
// "expect Close the application ?" needs no quotes.
Args WordsOfLine(const std::wstring& line) {
  auto tokens = Tokenize(line);
  Args words;
  if (tokens.empty()) return words;
  const Command* c = FindCommand(tokens[0].text);
  size_t tail = c && c->textTail ? c->maxArgs : 0;  // index (1-based) of the tail parameter
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tail && i == tail && tokens.size() > tail + 1) {
      std::wstring rest = Trim(line.substr(tokens[i].start));
      if (rest.size() >= 2 && rest.front() == L'"' && rest.back() == L'"') rest = rest.substr(1, rest.size() - 2);
      words.push_back(rest);
      break;
    }
    words.push_back(tokens[i].text);
  }
  return words;
}

std::wstring Join(const Args& words) {
  std::wstring out;
  for (const auto& w : words) out += (out.empty() ? L"" : L" ") + w;
  return out;
}

bool ReadAll(HANDLE h, std::string& out) {
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
  return true;
}

// A Unix path (as a test script passes it) is reached through drive Z:.
std::wstring ScriptPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring p = L"Z:" + path;
  std::replace(p.begin(), p.end(), L'/', L'\\');
  return p;
}

std::vector<std::wstring> ReadScript(const std::wstring& path) {
  std::string bytes;
  if (path == L"-") {
    ReadAll(GetStdHandle(STD_INPUT_HANDLE), bytes);
  } else {
    std::wstring p = ScriptPath(path);
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw UsageError{L"cannot open script " + path};
    ReadAll(h, bytes);
    CloseHandle(h);
  }
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  std::vector<std::wstring> lines;
  for (auto& l : Split(text, L'\n')) {
    if (!l.empty() && l.back() == L'\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

int RunScript(Session& s, const std::wstring& path) {
  auto lines = ReadScript(path);
  int steps = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::wstring line = Trim(lines[i]);
    if (line.empty() || line[0] == L'#') continue;
    std::wstring where = L"line " + Decimal(static_cast<long long>(i + 1));
    try {
      Args words = WordsOfLine(line);
      Result r = RunWords(s, words);
      ++steps;
      Out(where + L": " + Join(words) + (r ? L" -> " + Escape(*r) : L""));
    } catch (const DriverError& e) {
      Err(L"FAIL " + where + L": " + line);
      Err(L"  " + e.message);
      return 1;
    } catch (const UsageError& e) {
      Err(L"BAD " + where + L": " + line);
      Err(L"  " + e.message);
      return 2;
    }
  }
  Out(L"script done: " + Decimal(steps) + L" steps");
  return 0;
}

int RunOne(Session& s, Args words) {
  const Command* c = words.empty() ? nullptr : FindCommand(words[0]);
  // On a command line the shell has split the text already; join it back.
  if (c && c->textTail && words.size() > c->maxArgs + 1) {
    Args joined(words.begin(), words.begin() + static_cast<long>(c->maxArgs));
    Args rest(words.begin() + static_cast<long>(c->maxArgs), words.end());
    joined.push_back(Join(rest));
    words = joined;
  }
  try {
    Result r = RunWords(s, words);
    if (r) Out(Escape(*r));
    return 0;
  } catch (const DriverError& e) {
    Err(L"tq_driver: " + Join(words) + L": " + e.message);
    return 1;
  } catch (const UsageError& e) {
    Err(L"tq_driver: " + e.message);
    return 2;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Session session;
  Args args(argv + 1, argv + argc);
  while (args.size() >= 2 && args[0] == L"--class") {
    session.defaultClass = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    Session help;
    CmdHelp(help, {});
    return 2;
  }
  if (args[0] == L"script") {
    if (args.size() != 2) {
      Err(L"usage: tq_driver.exe script FILE|-");
      return 2;
    }
    try {
      return RunScript(session, args[1]);
    } catch (const UsageError& e) {
      Err(L"tq_driver: " + e.message);
      return 2;
    }
  }
  return RunOne(session, args);
}
