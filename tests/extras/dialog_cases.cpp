// The splash screen, the Version Information, Notes and About dialogs and
// the icons, in this process: each modal dialog is inspected and closed by
// a thread timer that its own message loop dispatches.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/startup_steps.h"
#include "extras/notes_dialog.h"
#include "package/properties_container.h"
#include "resources/resource.h"
#include "tests/extras/win_check.h"

namespace {

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

// ------------------------------------------------------- modal scripts ----

struct DialogStep {
  std::wstring caption;
  std::function<void(HWND)> handle;
  DWORD notBefore;  // ms after the previous step
};

std::deque<DialogStep> g_steps;
DWORD g_lastStep = 0;
bool g_inTick = false;
bool g_timedOut = false;

struct FindData {
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK FindEnabledDialog(HWND window, LPARAM lParam) {
  auto* data = reinterpret_cast<FindData*>(lParam);
  wchar_t className[32] = {}, caption[128] = {};
  ::GetClassNameW(window, className, 32);
  ::GetWindowTextW(window, caption, 128);
  if (std::wcscmp(className, L"#32770") == 0 && ::IsWindowVisible(window) && ::IsWindowEnabled(window) &&
      (!data->caption || data->caption == std::wstring(caption))) {
    data->found = window;
    return FALSE;
  }
  return TRUE;
}

// A visible dialog of this thread that takes input, with that caption.
HWND FindOwnDialog(const wchar_t* caption) {
  FindData data = {caption, nullptr};
  ::EnumThreadWindows(::GetCurrentThreadId(), FindEnabledDialog, reinterpret_cast<LPARAM>(&data));
  return data.found;
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  if (g_inTick || g_steps.empty()) return;
  g_inTick = true;
  DWORD now = ::GetTickCount();
  HWND dialog = FindOwnDialog(g_steps.front().caption.c_str());
  if (dialog && now - g_lastStep >= g_steps.front().notBefore) {
    DialogStep step = g_steps.front();
    g_steps.pop_front();
    g_lastStep = now;
    step.handle(dialog);
  } else if (now - g_lastStep > 15000) {
    // Something never appeared: close whatever is open so the test goes on.
    g_timedOut = true;
    g_steps.clear();
    while (HWND open = FindOwnDialog(nullptr)) {
      ::EndDialog(open, IDCANCEL);
      ::DestroyWindow(open);
    }
  }
  g_inTick = false;
}

// Runs `open` (which shows a modal dialog) while the steps take their turns.
void RunScripted(const char* area, std::function<void()> open, std::deque<DialogStep> steps) {
  g_steps = std::move(steps);
  g_lastStep = ::GetTickCount();
  g_timedOut = false;
  UINT_PTR timer = ::SetTimer(nullptr, 0, 30, Tick);
  open();
  ::KillTimer(nullptr, timer);
  Check(!g_timedOut && g_steps.empty(), area, "every scripted dialog appeared and was handled");
  g_steps.clear();
}

void PressOk(HWND dialog) { ::PostMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0); }
void PressEscape(HWND dialog) {
  HWND focus = ::GetFocus();
  HWND target = focus && (focus == dialog || ::IsChild(dialog, focus)) ? focus : dialog;
  ::PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  ::PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}
void Click(HWND control) {
  ::PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  ::PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

// ------------------------------------------------------------- helpers ----

int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

LOGFONTW FontOf(HWND control) {
  LOGFONTW font = {};
  auto handle = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
  if (handle) ::GetObjectW(handle, sizeof font, &font);
  return font;
}

std::wstring TextOf(HWND control) {
  wchar_t text[4096] = {};
  ::GetWindowTextW(control, text, 4096);
  return text;
}

// The control's rectangle in its dialog's client coordinates.
RECT PlaceOf(HWND dialog, HWND control) {
  RECT place;
  ::GetWindowRect(control, &place);
  ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
  return place;
}

RECT DialogUnits(HWND dialog, int x, int y, int w, int h) {
  RECT place = {x, y, x + w, y + h};
  ::MapDialogRect(dialog, &place);
  return place;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

bool HandleGone(HGDIOBJ object) { return object && ::GetObjectType(object) == 0; }

struct StaticColours {
  INT_PTR brush;
  COLORREF text;
  COLORREF background;
};

StaticColours AskColours(HWND dialog, HWND control, UINT message = WM_CTLCOLORSTATIC) {
  HDC dc = ::CreateCompatibleDC(nullptr);
  ::SetTextColor(dc, RGB(1, 2, 3));
  ::SetBkColor(dc, RGB(4, 5, 6));
  StaticColours colours;
  colours.brush = ::SendMessageW(dialog, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
  colours.text = ::GetTextColor(dc);
  colours.background = ::GetBkColor(dc);
  ::DeleteDC(dc);
  return colours;
}

// ---------------------------------------------------- Version dialog ----

struct Row {
  int label, value;
  int x, y, labelWidth, valueWidth;
  const wchar_t* labelText;
  const wchar_t* key;
};
const Row kRows[] = {
    {IDC_VER_BUILD_LABEL, IDC_VER_BUILD_VALUE, 16, 11, 112, 54, L"Build Version:", L"build-version"},
    {IDC_VER_CORE_HW_LABEL, IDC_VER_CORE_HW_VALUE, 16, 23, 113, 55, L"Core Hardware Version:", L"core-hw-version"},
    {IDC_VER_CORE_FW_LABEL, IDC_VER_CORE_FW_VALUE, 16, 35, 114, 55, L"Core Firmware Version:", L"core-fw-version"},
    {IDC_VER_SERVER_FW_LABEL, IDC_VER_SERVER_FW_VALUE, 16, 48, 114, 55, L"Server Firmware Version:",
     L"server-fw-version"},
    {IDC_VER_SERVER_HW_LABEL, IDC_VER_SERVER_HW_VALUE, 16, 61, 115, 55, L"Server Hardware Version:",
     L"server-hw-version"},
    {IDC_VER_SERVER_UI_LABEL, IDC_VER_SERVER_UI_VALUE, 16, 74, 115, 54, L"Server UI Version:", L"server-ui-version"},
};

struct VersionFonts {
  HFONT underline = nullptr, bold = nullptr;
} g_versionFonts;
HFONT g_notesFont = nullptr;

// The rows shown, their texts, places, fonts and link state.
void CheckVersionRows(HWND dialog, const bool shown[6], const char* area) {
  Check(FindOwnDialog(L"Version Information") == dialog, area, "caption");
  LONG dialogWeight = FontOf(dialog).lfWeight;
  WNDPROC plainProc = nullptr;
  for (int i = 0; i < 6; ++i) {
    const Row& row = kRows[i];
    HWND label = ::GetDlgItem(dialog, row.label);
    HWND value = ::GetDlgItem(dialog, row.value);
    Check(::IsWindowVisible(label) == (shown[i] ? TRUE : FALSE), area, "label shown exactly for present keys");
    Check((::GetWindowLongW(label, GWL_STYLE) & SS_NOTIFY) && (::GetWindowLongW(value, GWL_STYLE) & SS_NOTIFY), area,
          "row controls report clicks");
    // Every row keeps its template place, shown or not.
    Check(SameRect(PlaceOf(dialog, label), DialogUnits(dialog, row.x, row.y, row.labelWidth, 8)), area,
          "label at its template place");
    Check(SameRect(PlaceOf(dialog, value), DialogUnits(dialog, 140, row.y, row.valueWidth, 8)), area,
          "value at its template place");
    const wchar_t* property = unitProperties.Find(row.key);
    if (!shown[i]) {
      Check(TextOf(label) == L"%s:", area, "hidden label keeps its template");
      continue;
    }
    Check(TextOf(label) == row.labelText, area, "label text from the string table");
    bool valueShown = std::wcscmp(property, L"-not-present-") != 0;
    Check(::IsWindowVisible(value) == (valueShown ? TRUE : FALSE), area, "value shown unless -not-present-");
    if (valueShown) Check(TextOf(value) == property, area, "value text");
    LOGFONTW valueFont = FontOf(value);
    Check(valueFont.lfWeight == FW_BOLD && !valueFont.lfUnderline, area, "value in bold");
    auto notes = reinterpret_cast<const wchar_t*>(::GetWindowLongPtrW(label, GWLP_USERDATA));
    Check(::GetWindowLongPtrW(value, GWLP_USERDATA) == 0, area, "values carry no notes");
    LOGFONTW labelFont = FontOf(label);
    StaticColours colours = AskColours(dialog, label);
    if (row.label == IDC_VER_BUILD_LABEL) {
      Check(notes && std::wcscmp(notes, L"BUILD_NOTES") == 0, area, "Build Version links to BUILD_NOTES");
      Check(labelFont.lfUnderline && labelFont.lfWeight == dialogWeight, area, "link label underlined");
      Check(colours.brush == reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE)) &&
                colours.text == ::GetSysColor(COLOR_HOTLIGHT) && colours.background == ::GetSysColor(COLOR_BTNFACE),
            area, "link label in the hot-light colour on the face colour");
      g_versionFonts.underline = reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0));
      g_versionFonts.bold = reinterpret_cast<HFONT>(::SendMessageW(value, WM_GETFONT, 0, 0));
    } else {
      Check(notes == nullptr, area, "no notes, no link");
      Check(!labelFont.lfUnderline && labelFont.lfWeight == dialogWeight, area, "plain label font");
      Check(colours.text != ::GetSysColor(COLOR_HOTLIGHT), area, "plain label in the default colour");
      plainProc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(label, GWLP_WNDPROC));
    }
  }
  HWND link = ::GetDlgItem(dialog, IDC_VER_BUILD_LABEL);
  if (plainProc)
    Check(reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(link, GWLP_WNDPROC)) != plainProc, area,
          "the link label is subclassed, the others are not");
  // The hand cursor over the link.
  ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
  LRESULT handled = ::SendMessageW(link, WM_SETCURSOR, reinterpret_cast<WPARAM>(link),
                                   MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  Check(handled == TRUE && ::GetCursor() == ::LoadCursorW(nullptr, IDC_HAND), area, "hand cursor over the link");
}

void CheckNotes(HWND notes, const char* area) {
  HWND field = ::GetDlgItem(notes, IDC_NOTES_TEXT);
  Check(::IsWindowVisible(field) != FALSE, area, "notes field shown");
  LONG style = ::GetWindowLongW(field, GWL_STYLE);
  Check((style & ES_READONLY) && (style & ES_MULTILINE), area, "read-only, multi-line");
  Check((style & WS_HSCROLL) && (style & WS_VSCROLL), area, "scrolls both ways");
  DWORD from = 1, to = 1;
  ::SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  Check(::GetFocus() == field && from == 0 && to == 0, area, "opens with the caret at the top, nothing selected");
  // The text is the resource's bytes, each one character (the notes are ASCII).
  HRSRC found = ::FindResourceW(Instance(), L"BUILD_NOTES", L"NOTES");
  const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(Instance(), found)));
  std::wstring expected(bytes, bytes + ::SizeofResource(Instance(), found));
  Check(TextOf(field) == expected, area, "notes text equals the package's notes");
  Check(expected.find(L"\r\n") != std::wstring::npos, area, "notes keep their line breaks");
  LOGFONTW font = FontOf(field);
  Check(std::wcscmp(font.lfFaceName, L"Courier New") == 0 && font.lfHeight == -::MulDiv(8, ScreenDpi(), 72) &&
            font.lfWeight == FW_NORMAL && font.lfPitchAndFamily == 0x31 && font.lfCharSet == 0,
        area, "Courier New 8 pt, fixed pitch");
  g_notesFont = reinterpret_cast<HFONT>(::SendMessageW(field, WM_GETFONT, 0, 0));
  StaticColours colours = AskColours(notes, field);
  Check(colours.brush == reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_WINDOW)) &&
            colours.text == ::GetSysColor(COLOR_WINDOWTEXT) && colours.background == ::GetSysColor(COLOR_WINDOW),
        area, "notes drawn like an ordinary white field");
}

void VersionDialogWithThePackage() {
  const char* area = "version dialog";
  const bool shown[6] = {true, false, false, true, true, true};
  HWND owner = ::CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, Instance(), nullptr);
  bool noteOpenedByValue = false;
  std::deque<DialogStep> steps;
  steps.push_back({L"Version Information",
                   [&](HWND dialog) {
                     CheckVersionRows(dialog, shown, area);
                     Check(::GetWindow(dialog, GW_OWNER) == owner, area, "owned by the main window");
                     Click(::GetDlgItem(dialog, IDC_VER_BUILD_VALUE));  // a value: nothing to open
                   },
                   0});
  steps.push_back({L"Version Information",
                   [&](HWND dialog) {
                     noteOpenedByValue = FindOwnDialog(L"Notes") != nullptr;
                     Click(::GetDlgItem(dialog, IDC_VER_BUILD_LABEL));
                   },
                   400});
  steps.push_back({L"Notes",
                   [&](HWND notes) {
                     HWND version = ::GetWindow(notes, GW_OWNER);
                     Check(version && !::IsWindowEnabled(version), area, "notes owned by the Version dialog");
                     CheckNotes(notes, area);
                     PressOk(notes);
                   },
                   0});
  steps.push_back({L"Version Information",
                   [&](HWND dialog) {
                     Check(HandleGone(g_notesFont), area, "notes font deleted when the notes close");
                     Click(::GetDlgItem(dialog, IDC_VER_BUILD_LABEL));
                   },
                   0});
  steps.push_back({L"Notes", [&](HWND notes) { PressEscape(notes); }, 0});
  steps.push_back({L"Version Information", [&](HWND dialog) { PressEscape(dialog); }, 0});
  RunScripted(
      area, [&] { RunVersionDialog(Instance(), owner); }, steps);
  Check(!noteOpenedByValue, area, "a click on a value opens nothing");
  Check(HandleGone(g_versionFonts.underline) && HandleGone(g_versionFonts.bold), area,
        "underline and bold fonts deleted when the dialog closes");
  ::DestroyWindow(owner);
}

void VersionDialogWithEveryRow() {
  const char* area = "version dialog, every row";
  unitProperties.Add(L"core-hw-version", L"H2");
  unitProperties.Add(L"core-fw-version", L"-not-present-");
  const bool shown[6] = {true, true, true, true, true, true};
  std::deque<DialogStep> steps;
  steps.push_back({L"Version Information",
                   [&](HWND dialog) {
                     CheckVersionRows(dialog, shown, area);
                     Check(TextOf(::GetDlgItem(dialog, IDC_VER_CORE_FW_VALUE)) == L"%s", area,
                           "-not-present- leaves the value unfilled");
                     PressOk(dialog);
                   },
                   0});
  RunScripted(
      area, [&] { RunVersionDialog(Instance(), nullptr); }, steps);
}

void NotesDialogResults() {
  const char* area = "notes dialog";
  INT_PTR result = -1;
  std::deque<DialogStep> ok = {{L"Notes", [](HWND notes) { PressOk(notes); }, 0}};
  RunScripted(
      area, [&] { result = RunNotesDialog(Instance(), nullptr, L"BUILD_NOTES"); }, ok);
  Check(result == IDOK, area, "OK ends it with 1");
  std::deque<DialogStep> escape = {{L"Notes", [](HWND notes) { PressEscape(notes); }, 0}};
  RunScripted(
      area, [&] { result = RunNotesDialog(Instance(), nullptr, L"BUILD_NOTES"); }, escape);
  Check(result == IDCANCEL, area, "Escape ends it with 2");
  result = RunNotesDialog(Instance(), nullptr, L"CORE_HW_NOTES");
  Check(result == IDCANCEL, area, "missing notes end it at once with 2");
}

// -------------------------------------------------------------- About ----

HFONT g_titleFont = nullptr;

void CheckAbout(HWND dialog, const char* area) {
  HWND title = ::GetDlgItem(dialog, IDC_ABOUT_TITLE);
  Check(TextOf(title) == L"Varno Firmware Updater", area, "title text");
  LOGFONTW font = FontOf(title);
  int dpi = ScreenDpi();
  Check(font.lfHeight == -::MulDiv(14, dpi, 72) && font.lfWeight == FW_BOLD && font.lfPitchAndFamily == 0x22 &&
            font.lfCharSet == 0 && std::wcscmp(font.lfFaceName, L"Arial") == 0,
        area, "title in 14 pt bold Arial");
  if (dpi == 96) Check(font.lfHeight == -19, area, "19 pixels at 96 dpi");
  g_titleFont = reinterpret_cast<HFONT>(::SendMessageW(title, WM_GETFONT, 0, 0));
  // The control is as large as its text and centred across the window.
  HDC dc = ::GetDC(title);
  HGDIOBJ previous = ::SelectObject(dc, g_titleFont);
  std::wstring text = TextOf(title);
  SIZE extent = {};
  ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  ::SelectObject(dc, previous);
  ::ReleaseDC(title, dc);
  RECT box, place = PlaceOf(dialog, title);
  ::GetWindowRect(dialog, &box);
  Check(place.right - place.left == extent.cx && place.bottom - place.top == extent.cy, area,
        "title sized to its text");
  Check(place.left == (box.right - box.left + 1 - extent.cx) / 2, area, "title centred across the window");
  // Its top: the template top, measured from the window's top, less the text height.
  RECT templatePlace = DialogUnits(dialog, 15, 134, 321, 22);
  POINT clientOrigin = {0, 0};
  ::ClientToScreen(dialog, &clientOrigin);
  Check(place.top == clientOrigin.y + templatePlace.top - box.top - extent.cy, area, "title top");
  Check(FindOwnDialog(L"About Firmware Updater") == dialog, area, "caption");
  bool version = false;
  HWND picture = nullptr;
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    version = version || TextOf(child) == L"Version 2.0";
    if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) picture = child;
  }
  Check(version, area, "version line");
  BITMAP bitmap = {};
  HGDIOBJ image = picture ? reinterpret_cast<HGDIOBJ>(::SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0)) : nullptr;
  Check(image && ::GetObjectW(image, sizeof bitmap, &bitmap) && bitmap.bmWidth == 382 && bitmap.bmHeight == 192, area,
        "the splash picture");
}

DWORD GdiObjects() { return ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS); }

void AboutBox() {
  const char* area = "about box";
  std::deque<DialogStep> steps = {{L"About Firmware Updater",
                                   [&](HWND dialog) {
                                     CheckAbout(dialog, area);
                                     PressOk(dialog);
                                   },
                                   0}};
  int result = 0;
  RunScripted(
      area, [&] { result = RunAboutBox(Instance(), nullptr); }, steps);
  Check(result == 1, area, "gives 1");
  Check(HandleGone(g_titleFont), area, "title font deleted on OK");
  steps = {{L"About Firmware Updater",
            [&](HWND dialog) {
              g_titleFont = reinterpret_cast<HFONT>(
                  ::SendMessageW(::GetDlgItem(dialog, IDC_ABOUT_TITLE), WM_GETFONT, 0, 0));
              PressEscape(dialog);
            },
            0}};
  RunScripted(
      area, [&] { RunAboutBox(Instance(), nullptr); }, steps);
  Check(HandleGone(g_titleFont), area, "title font deleted on Escape");

  // Fifty times, alternating OK and Escape: no GDI object left behind.
  DWORD before = GdiObjects();
  int fontsLeft = 0;
  for (int i = 0; i < 50; ++i) {
    steps = {{L"About Firmware Updater",
              [&, i](HWND dialog) {
                g_titleFont = reinterpret_cast<HFONT>(
                    ::SendMessageW(::GetDlgItem(dialog, IDC_ABOUT_TITLE), WM_GETFONT, 0, 0));
                if (i % 2)
                  PressEscape(dialog);
                else
                  PressOk(dialog);
              },
              0}};
    RunScripted(
        area, [&] { RunAboutBox(Instance(), nullptr); }, steps);
    fontsLeft += !HandleGone(g_titleFont);
  }
  DWORD after = GdiObjects();
  std::printf("  GDI objects around 50 About boxes: %lu before, %lu after\n", static_cast<unsigned long>(before),
              static_cast<unsigned long>(after));
  Check(after == before, area, "no GDI object left after 50 openings");
  Check(fontsLeft == 0, area, "every title font deleted");
}

// ------------------------------------------------------------- splash ----

BOOL CALLBACK FirstWindow(HWND window, LPARAM lParam) {
  *reinterpret_cast<HWND*>(lParam) = window;
  return FALSE;
}

void SplashScreenLifecycle() {
  const char* area = "splash";
  SplashScreen splash = StartSplashScreen(Instance());
  Check(splash.thread != nullptr, area, "thread started");
  HWND window = nullptr;
  for (int i = 0; i < 500 && !(window && ::IsWindowVisible(window)); ++i) {
    ::Sleep(10);
    window = nullptr;
    ::EnumThreadWindows(splash.threadId, FirstWindow, reinterpret_cast<LPARAM>(&window));
  }
  Check(window && ::IsWindowVisible(window), area, "window shown by the splash thread");
  if (window) {
    LONG style = ::GetWindowLongW(window, GWL_STYLE);
    Check((style & WS_POPUP) && (style & WS_BORDER) && (style & WS_CAPTION) != WS_CAPTION, area,
          "pop-up with a border and no caption");
    Check(::GetWindow(window, GW_OWNER) == nullptr, area, "no owner");
    RECT place, work;
    ::GetWindowRect(window, &place);
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int dx = (place.left + place.right) / 2 - (work.left + work.right) / 2;
    int dy = (place.top + place.bottom) / 2 - (work.top + work.bottom) / 2;
    Check(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2, area, "centred on the screen");
    HWND picture = ::GetDlgItem(window, IDC_SPLASH_PICTURE);
    Check(picture &&
              (::GetWindowLongW(picture, GWL_STYLE) & (SS_TYPEMASK | SS_CENTERIMAGE)) == (SS_BITMAP | SS_CENTERIMAGE),
          area, "picture control, bitmap centred");
    RECT client, pictureRect;
    ::GetClientRect(window, &client);
    ::GetClientRect(picture, &pictureRect);
    Check(SameRect(client, pictureRect), area, "picture fills the window");
    BITMAP bitmap = {};
    HGDIOBJ image = reinterpret_cast<HGDIOBJ>(::SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0));
    Check(image && ::GetObjectW(image, sizeof bitmap, &bitmap) && bitmap.bmWidth == 382 && bitmap.bmHeight == 192, area,
          "shows the 382 x 192 picture");
    std::printf("  splash window %ld x %ld for the 382 x 192 picture\n", place.right - place.left,
                place.bottom - place.top);
  }
  StopSplashScreen(splash);
  Check(splash.thread == nullptr, area, "thread waited for and closed");
  Check(!window || !::IsWindow(window), area, "window destroyed");
}

// -------------------------------------------------------------- art ----

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bits;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

void Artwork() {
  const char* area = "artwork";
  HRSRC splash = ::FindResourceW(Instance(), MAKEINTRESOURCEW(IDB_SPLASH), MAKEINTRESOURCEW(2) /* RT_BITMAP */);
  auto* header = splash ? static_cast<const BITMAPINFOHEADER*>(::LockResource(::LoadResource(Instance(), splash)))
                        : nullptr;
  Check(header && header->biWidth == 382 && header->biHeight == 192 && header->biBitCount == 24, area,
        "splash bitmap 382 x 192 at 24 bits per pixel");
  std::vector<std::vector<BYTE>> frameImages;
  for (int id : {IDI_PROGRAM, IDI_TRAY_FRAME1, IDI_TRAY_FRAME2, IDI_TRAY_FRAME3, IDI_TRAY_FRAME4}) {
    HRSRC group = ::FindResourceW(Instance(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
    auto* directory = group ? static_cast<const WORD*>(::LockResource(::LoadResource(Instance(), group))) : nullptr;
    Check(directory && directory[2] == 6, area, "six images in each icon group");
    if (!directory) continue;
    auto* entries = reinterpret_cast<const GroupIconEntry*>(directory + 3);
    int found = 0;
    for (int size : {48, 32, 16})
      for (int bits : {8, 32})
        for (int i = 0; i < directory[2]; ++i) found += entries[i].width == size && entries[i].bits == bits;
    Check(found == 6, area, "48, 32 and 16 pixels at 8 and 32 bits per pixel");
    HICON icon = static_cast<HICON>(::LoadImageW(Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
    Check(icon != nullptr, area, "small icon loads");
    if (icon) ::DestroyIcon(icon);
    if (id == IDI_PROGRAM) continue;
    // The 32-pixel, 32-bit image of each frame.
    int chosen = ::LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(const_cast<WORD*>(directory)), TRUE, 32, 32,
                                               LR_DEFAULTCOLOR);
    HRSRC image = ::FindResourceW(Instance(), MAKEINTRESOURCEW(chosen), MAKEINTRESOURCEW(3) /* RT_ICON */);
    auto* bytes = image ? static_cast<const BYTE*>(::LockResource(::LoadResource(Instance(), image))) : nullptr;
    if (bytes) frameImages.emplace_back(bytes, bytes + ::SizeofResource(Instance(), image));
  }
  bool distinct = frameImages.size() == 4;
  for (size_t a = 0; a < frameImages.size(); ++a)
    for (size_t b = a + 1; b < frameImages.size(); ++b) distinct = distinct && frameImages[a] != frameImages[b];
  Check(distinct, area, "four different animation frames");
}

}  // namespace

void RunDialogCases() {
  unitProperties.LoadFromResource(L"UNIT");
  Artwork();
  SplashScreenLifecycle();
  AboutBox();
  NotesDialogResults();
  VersionDialogWithThePackage();
  VersionDialogWithEveryRow();  // adds keys: last
}
