// The venue window: every unit on the networks in one list, the checked ones
// updated side by side. The visit runs on the same steps as update --all
// (search, plan, rounds in the console tool's worker processes, report) on a
// thread of its own; the window only shows what those steps report and
// hands them the person's choices, the PIN and the requests to stop.
#include "venue_window/venue_window.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/terminal/terminal.h"
#include "cli/text.h"
#include "cli/venue/report_files.h"
#include "cli/venue/venue_update.h"
#include "control/text_commands.h"
#include "package/properties_container.h"
#include "resources/resource.h"
#include "venue_window/venue_table.h"

namespace venue {

namespace {

// What the visit's thread tells the window.
enum : UINT {
  WM_VENUE_FOUND = WM_APP + 1,  // wParam: units found so far
  WM_VENUE_PLANNED,             // the search and the plan are done
  WM_VENUE_NOTICE,              // lParam: a std::string* to show and delete
  WM_VENUE_ROUNDS_DONE,         // the rounds are done
  WM_VENUE_ASK_PIN,             // sent; wParam: const std::string* unit, lParam: std::string* PIN line; TRUE: given
};

constexpr UINT_PTR kRedrawTimer = 1;
// A few redraws a second whatever the number of units writing: the list
// stays responsive with 64 bars moving.
constexpr UINT kRedrawMs = 250;
constexpr int kPinFieldSize = 16;

enum class Phase { kSearching, kReady, kUpdating };

std::wstring W(const std::string& text) { return cli::Wide(text); }

class VenueWindow;

// The visit's view of the window, on the visit's thread: events go into
// the table (the timer redraws what changed), everything else is posted.
class WindowView : public cli::VenueView, public cli::RunnerView {
 public:
  explicit WindowView(VenueWindow& window) : window_(window) {}
  void Notice(const std::string& text) override;
  void Found(size_t count) override;
  int StopRequests() const override;
  const std::atomic<int>* StopFlag() const override;
  cli::RunnerView& RoundsView(const std::vector<std::string>&) override { return *this; }
  bool AskPinAgain(const std::string& unit, std::string* pinLine) override;
  void Show(size_t index, const cli::UpdateEvent& event) override;

 private:
  VenueWindow& window_;
};

class VenueWindow {
 public:
  VenueWindow(HINSTANCE instance, const VenueOptions& options) : instance_(instance), options_(options), view_(*this) {}

  INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  void Attach(HWND dialog) { dialog_ = dialog; }
  HWND Dialog() const { return dialog_; }

  // For the view, on the visit's thread.
  void MarkDirty(size_t row) {
    std::lock_guard<std::mutex> guard(dirtyLock_);
    if (row < dirty_.size()) dirty_[row] = true;
    anyDirty_ = true;
  }
  int StopRequests() const { return std::min(1, stopRequests_.load()); }
  const std::atomic<int>* StopFlag() const { return &stopRequests_; }
  void StopSeen() { stopSeen_ = true; }
  VenueTable& Table() { return table_; }

 private:
  // Messages.
  BOOL OnInitDialog();
  void OnCommand(int id, int code);
  LRESULT OnNotify(NMHDR* header);
  void OnSize(int width, int height);
  void OnGetMinMaxInfo(MINMAXINFO* info);
  void OnClose();
  void OnFound(size_t count);
  void OnPlanned();
  void OnNotice(std::string* text);
  void OnRoundsDone();
  BOOL OnAskPin(const std::string& unit, std::string* pinLine);
  void OnRedrawTimer();

  // Commands.
  void OnSearchAgain();
  void OnUpdateChecked();
  void OnCancelUpdate();
  void OnSaveReport();
  void OnCopyTable();
  void OnSkipCurrentChanged();

  // List notifications.
  void OnGetDispInfo(NMLVDISPINFOW* info);
  LRESULT OnItemChanging(const NMLISTVIEW* change);
  void OnItemChanged(const NMLISTVIEW* change);
  LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw);
  void OnColumnClick(int column);

  // Pieces.
  void StartSearch();
  void FillList();
  void SyncChecks();
  void EnableControls();
  void SetStatus(const std::wstring& text);
  void ShowSummary();
  cli::VenueRequest RequestFromOptions() const;
  bool AskPin(const std::wstring& caption, std::string* pinLine);
  std::vector<size_t> RowsInListOrder() const;
  int ItemOfRow(size_t row) const;
  size_t RowsBeingWritten(std::wstring* names) const;
  void RunVisitThread(std::function<void()> work);

  HINSTANCE instance_;
  VenueOptions options_;
  HWND dialog_ = nullptr;
  HWND list_ = nullptr;
  WindowView view_;
  VenueTable table_;
  Phase phase_ = Phase::kSearching;
  std::thread thread_;

  // The search's result, handed over by the visit's thread.
  std::mutex planLock_;
  std::vector<cli::PlanEntry> newPlan_;
  cli::VenueRequest request_;    // the choices of the last update, for its report
  std::string started_;          // when the window's visit began
  bool roundsRan_ = false;       // an update ran: there is a report to save
  std::vector<bool> attempted_;  // rows whose unit was given a round already

  std::atomic<int> stopRequests_{0};
  std::atomic<bool> stopSeen_{false};
  bool syncing_ = false;  // checks set by the program, not the person

  std::mutex dirtyLock_;
  std::vector<bool> dirty_;
  bool anyDirty_ = false;

  int sortColumn_ = -1;
  bool sortAscending_ = true;

  // Layout: the client size the template gave and each control's place in it.
  SIZE templateSize_ = {0, 0};
  SIZE minimumSize_ = {0, 0};
  struct Placed {
    int id;
    RECT rect;
  };
  std::vector<Placed> placed_;
};

void WindowView::Notice(const std::string& text) {
  if (window_.StopRequests() > 0) window_.StopSeen();
  ::PostMessageW(window_.Dialog(), WM_VENUE_NOTICE, 0, reinterpret_cast<LPARAM>(new std::string(text)));
}

void WindowView::Found(size_t count) { ::PostMessageW(window_.Dialog(), WM_VENUE_FOUND, count, 0); }

int WindowView::StopRequests() const { return window_.StopRequests(); }

const std::atomic<int>* WindowView::StopFlag() const { return window_.StopFlag(); }

bool WindowView::AskPinAgain(const std::string& unit, std::string* pinLine) {
  return ::SendMessageW(window_.Dialog(), WM_VENUE_ASK_PIN, reinterpret_cast<WPARAM>(&unit),
                        reinterpret_cast<LPARAM>(pinLine)) == TRUE;
}

void WindowView::Show(size_t index, const cli::UpdateEvent& event) {
  if (window_.Table().Apply(index, event)) window_.MarkDirty(index);
}

// ------------------------------------------------------------ messages ----

INT_PTR VenueWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_NOTIFY:
      ::SetWindowLongPtrW(dialog_, DWLP_MSGRESULT, OnNotify(reinterpret_cast<NMHDR*>(lParam)));
      return TRUE;
    case WM_SIZE:
      OnSize(LOWORD(lParam), HIWORD(lParam));
      return TRUE;
    case WM_GETMINMAXINFO:
      OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
      return TRUE;
    case WM_TIMER:
      if (wParam == kRedrawTimer) OnRedrawTimer();
      return TRUE;
    case WM_CLOSE:
      OnClose();
      return TRUE;
    case WM_VENUE_FOUND:
      OnFound(static_cast<size_t>(wParam));
      return TRUE;
    case WM_VENUE_PLANNED:
      OnPlanned();
      return TRUE;
    case WM_VENUE_NOTICE:
      OnNotice(reinterpret_cast<std::string*>(lParam));
      return TRUE;
    case WM_VENUE_ROUNDS_DONE:
      OnRoundsDone();
      return TRUE;
    case WM_VENUE_ASK_PIN:
      ::SetWindowLongPtrW(
          dialog_, DWLP_MSGRESULT,
          OnAskPin(*reinterpret_cast<const std::string*>(wParam), reinterpret_cast<std::string*>(lParam)));
      return TRUE;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL VenueWindow::OnInitDialog() {
  list_ = ::GetDlgItem(dialog_, IDC_VENUE_LIST);
  ::SendMessageW(::GetDlgItem(dialog_, IDC_VENUE_SEARCH_BAR), PBM_SETMARQUEE, TRUE, 50);
  HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(IDI_PROGRAM));
  ::SendMessageW(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageW(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  const std::wstring title = std::wstring(unitProperties.Get(L"model")) + L" Venue Update";
  ::SetWindowTextW(dialog_, title.c_str());

  ListView_SetExtendedListViewStyle(
      list_, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_GRIDLINES | LVS_EX_LABELTIP);
  // Column widths in dialog units, so that they follow the font and the DPI.
  static const int kWidths[kColumnCount] = {56, 66, 40, 34, 38, 90, 50, 24, 120, 34, 40};
  for (int c = 0; c < kColumnCount; ++c) {
    RECT width = {0, 0, kWidths[c], 0};
    ::MapDialogRect(dialog_, &width);
    std::wstring title = W(ColumnTitle(static_cast<Column>(c)));
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
    column.fmt = c == kPercent ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = width.right;
    column.pszText = &title[0];
    column.iSubItem = c;
    ListView_InsertColumn(list_, c, &column);
  }

  // The overwrite choices start as the main window's do.
  ::CheckDlgButton(dialog_, IDC_VENUE_SERVER_FIRMWARE, appState.packageHasApplication ? BST_CHECKED : BST_UNCHECKED);
  ::CheckDlgButton(dialog_, IDC_VENUE_SERVER_UI, appState.packageHasFlash ? BST_CHECKED : BST_UNCHECKED);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SERVER_FIRMWARE), appState.packageHasApplication);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SERVER_UI), appState.packageHasFlash);
  ::CheckDlgButton(dialog_, IDC_VENUE_SKIP_CURRENT, BST_CHECKED);

  // Remember where the template put everything, for resizing.
  RECT client;
  ::GetClientRect(dialog_, &client);
  templateSize_ = {client.right, client.bottom};
  RECT frame;
  ::GetWindowRect(dialog_, &frame);
  minimumSize_ = {frame.right - frame.left, frame.bottom - frame.top};
  for (int id : {IDC_VENUE_STATUS, IDC_VENUE_SEARCH_BAR, IDC_VENUE_LIST, IDC_VENUE_NOTICE, IDC_VENUE_OPTIONS_GROUP,
                 IDC_VENUE_SERVER_FIRMWARE, IDC_VENUE_SERVER_UI, IDC_VENUE_FACTORY_DEFAULTS, IDC_VENUE_SKIP_CURRENT,
                 IDC_VENUE_STAY_IN_BOOTLOAD, IDC_VENUE_SEARCH, IDC_VENUE_UPDATE, IDC_VENUE_STOP, IDC_VENUE_SAVE_REPORT,
                 IDC_VENUE_COPY, IDCANCEL}) {
    RECT rect;
    ::GetWindowRect(::GetDlgItem(dialog_, id), &rect);
    ::MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&rect), 2);
    placed_.push_back({id, rect});
  }

  started_ = cli::VisitStartTime();
  ::SetTimer(dialog_, kRedrawTimer, kRedrawMs, nullptr);
  StartSearch();
  ::SetFocus(list_);
  return FALSE;  // the focus is set
}

void VenueWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_VENUE_SEARCH:
      OnSearchAgain();
      break;
    case IDC_VENUE_UPDATE:
      OnUpdateChecked();
      break;
    case IDC_VENUE_STOP:
      OnCancelUpdate();
      break;
    case IDC_VENUE_SAVE_REPORT:
      OnSaveReport();
      break;
    case IDC_VENUE_COPY:
      OnCopyTable();
      break;
    case IDC_VENUE_SKIP_CURRENT:
      if (code == BN_CLICKED) OnSkipCurrentChanged();
      break;
    case IDCANCEL:  // Esc and the Close button
      OnClose();
      break;
    default:
      break;
  }
}

LRESULT VenueWindow::OnNotify(NMHDR* header) {
  if (header->idFrom != IDC_VENUE_LIST) return 0;
  switch (header->code) {
    case LVN_GETDISPINFOW:
      OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      return 0;
    case LVN_ITEMCHANGING:
      return OnItemChanging(reinterpret_cast<NMLISTVIEW*>(header));
    case LVN_ITEMCHANGED:
      OnItemChanged(reinterpret_cast<NMLISTVIEW*>(header));
      return 0;
    case NM_CUSTOMDRAW:
      return OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case LVN_COLUMNCLICK:
      OnColumnClick(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem);
      return 0;
    default:
      return 0;
  }
}

// The list takes every pixel the window gains; what lies below it moves
// down, what lies right of the status line moves right.
void VenueWindow::OnSize(int width, int height) {
  if (placed_.empty() || width == 0 || height == 0) return;
  const int dx = width - templateSize_.cx, dy = height - templateSize_.cy;
  const RECT listRect = std::find_if(placed_.begin(), placed_.end(), [](const Placed& p) {
                          return p.id == IDC_VENUE_LIST;
                        })->rect;
  HDWP moves = ::BeginDeferWindowPos(static_cast<int>(placed_.size()));
  for (const Placed& p : placed_) {
    RECT r = p.rect;
    if (p.id == IDC_VENUE_LIST) {
      r.right += dx;
      r.bottom += dy;
    } else if (p.id == IDC_VENUE_STATUS) {
      r.right += dx;
    } else if (p.id == IDC_VENUE_SEARCH_BAR) {
      ::OffsetRect(&r, dx, 0);
    } else if (r.top >= listRect.bottom) {
      ::OffsetRect(&r, 0, dy);
      if (p.id == IDC_VENUE_NOTICE || p.id == IDC_VENUE_OPTIONS_GROUP) r.right += dx;
      if (p.id == IDC_VENUE_SAVE_REPORT || p.id == IDC_VENUE_COPY || p.id == IDCANCEL) ::OffsetRect(&r, dx, 0);
    }
    moves = ::DeferWindowPos(moves, ::GetDlgItem(dialog_, p.id), nullptr, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::EndDeferWindowPos(moves);
  ::InvalidateRect(dialog_, nullptr, TRUE);
}

void VenueWindow::OnGetMinMaxInfo(MINMAXINFO* info) {
  if (minimumSize_.cx == 0) return;
  info->ptMinTrackSize.x = minimumSize_.cx * 3 / 4;
  info->ptMinTrackSize.y = minimumSize_.cy * 3 / 4;
}

// Closing works as a stop: units being written finish (their workers go on
// whatever becomes of this window), the others are left alone. While units
// are written it asks first.
void VenueWindow::OnClose() {
  if (phase_ == Phase::kUpdating) {
    std::wstring names;
    const size_t writing = RowsBeingWritten(&names);
    if (writing > 0) {
      const std::wstring question =
          std::to_wstring(writing) + (writing == 1 ? L" unit is" : L" units are") + L" being written: " + names +
          L".\n\nThey will be finished whatever you choose. Units not yet being written are left alone.\n\n"
          L"Close the window now?";
      if (::MessageBoxW(dialog_, question.c_str(), L"Units being written", MB_YESNO | MB_ICONWARNING) != IDYES) return;
    }
    // Nothing new starts and workers that have not begun writing end; wait
    // (briefly) until the visit's thread has acted on that.
    ++stopRequests_;
    for (int i = 0; i < 100 && !stopSeen_; ++i) ::Sleep(20);
  }
  ::KillTimer(dialog_, kRedrawTimer);
  ::DestroyWindow(dialog_);
}

void VenueWindow::OnFound(size_t count) {
  if (phase_ != Phase::kSearching) return;
  SetStatus(L"Searching the networks: " + std::to_wstring(count) + (count == 1 ? L" unit" : L" units") +
            L" found so far");
}

void VenueWindow::OnPlanned() {
  std::vector<cli::PlanEntry> plan;
  {
    std::lock_guard<std::mutex> guard(planLock_);
    plan.swap(newPlan_);
  }
  if (thread_.joinable()) thread_.join();
  table_.SetPlan(plan, ::IsDlgButtonChecked(dialog_, IDC_VENUE_SKIP_CURRENT) == BST_CHECKED);
  attempted_.assign(plan.size(), false);
  {
    std::lock_guard<std::mutex> guard(dirtyLock_);
    dirty_.assign(plan.size(), false);
  }
  roundsRan_ = false;
  phase_ = Phase::kReady;
  ::ShowWindow(::GetDlgItem(dialog_, IDC_VENUE_SEARCH_BAR), SW_HIDE);
  FillList();
  size_t toUpdate = table_.CheckedCount(), cannot = 0;
  for (size_t i = 0; i < table_.Size(); ++i) cannot += table_.Checkable(i) ? 0 : 1;
  SetStatus(plan.empty() ? std::wstring(L"No unit answered. Check the cable and the network, then Search again.")
                         : std::to_wstring(plan.size()) + (plan.size() == 1 ? L" unit" : L" units") + L" found: " +
                               std::to_wstring(toUpdate) + L" to update, " + std::to_wstring(cannot) +
                               L" that cannot be updated");
  EnableControls();
}

void VenueWindow::OnNotice(std::string* text) {
  std::unique_ptr<std::string> owned(text);
  ::SetDlgItemTextW(dialog_, IDC_VENUE_NOTICE, W(*owned).c_str());
}

void VenueWindow::OnRoundsDone() {
  if (thread_.joinable()) thread_.join();
  phase_ = Phase::kReady;
  roundsRan_ = true;
  OnRedrawTimer();
  // Every check goes: a unit that failed may be checked again and retried.
  for (size_t i = 0; i < table_.Size(); ++i) table_.SetChecked(i, false);
  SyncChecks();
  ListView_RedrawItems(list_, 0, ListView_GetItemCount(list_) - 1);
  ShowSummary();
  EnableControls();
}

BOOL VenueWindow::OnAskPin(const std::string& unit, std::string* pinLine) {
  return AskPin(W(unit + " refused the installer PIN. Enter it again"), pinLine) ? TRUE : FALSE;
}

// Only the rows that changed since the last tick are drawn again.
void VenueWindow::OnRedrawTimer() {
  std::vector<bool> dirty;
  {
    std::lock_guard<std::mutex> guard(dirtyLock_);
    if (!anyDirty_) return;
    dirty = dirty_;
    std::fill(dirty_.begin(), dirty_.end(), false);
    anyDirty_ = false;
  }
  for (size_t row = 0; row < dirty.size(); ++row) {
    if (!dirty[row]) continue;
    const int item = ItemOfRow(row);
    if (item >= 0) ListView_RedrawItems(list_, item, item);
  }
  if (phase_ == Phase::kUpdating) {
    size_t ended = 0, chosen = 0;
    table_.RoundCounts(&ended, &chosen);
    if (stopRequests_ == 0)
      SetStatus(L"Updating: " + std::to_wstring(ended) + L" of " + std::to_wstring(chosen) + L" units done");
  }
}

// ------------------------------------------------------------ commands ----

void VenueWindow::OnSearchAgain() {
  if (phase_ != Phase::kReady) return;
  StartSearch();
}

void VenueWindow::OnUpdateChecked() {
  if (phase_ != Phase::kReady) return;
  const size_t count = table_.CheckedCount();
  if (count == 0) {
    ::MessageBoxW(dialog_, L"Check the units to update first.", L"Update checked units", MB_OK | MB_ICONINFORMATION);
    return;
  }
  const std::wstring question = L"Update " + std::to_wstring(count) + (count == 1 ? L" unit?" : L" units?");
  if (::MessageBoxW(dialog_, question.c_str(), L"Update checked units", MB_YESNO | MB_ICONQUESTION) != IDYES) return;

  auto pinLine = std::make_shared<std::string>();
  pinLine->reserve(kPinFieldSize + 2);  // no reallocation leaves a copy behind
  if (table_.CheckedNeedPin() &&
      !AskPin(L"Units running their application enter bootload mode with the installer PIN", pinLine.get()))
    return;

  request_ = RequestFromOptions();
  std::vector<bool> chosen = table_.CheckedRows();
  std::vector<bool> again(chosen.size(), false);
  for (size_t i = 0; i < chosen.size(); ++i) {
    again[i] = chosen[i] && attempted_[i];
    if (chosen[i]) attempted_[i] = true;
  }
  stopRequests_ = 0;
  stopSeen_ = false;
  phase_ = Phase::kUpdating;
  table_.BeginRounds(chosen);
  ListView_RedrawItems(list_, 0, ListView_GetItemCount(list_) - 1);
  SetStatus(L"Updating " + std::to_wstring(count) + (count == 1 ? L" unit" : L" units"));
  ::SetDlgItemTextW(dialog_, IDC_VENUE_NOTICE, L"");
  EnableControls();

  const cli::VenueRequest request = request_;
  RunVisitThread([this, request, chosen, again, pinLine]() mutable {
    std::vector<cli::PlanEntry> plan = table_.Plan();
    // A unit tried before is asked again first: a failed update leaves it
    // in bootload mode, whatever it ran before.
    std::vector<cli::VenueUnit> units;
    std::vector<size_t> rows;
    for (size_t i = 0; i < plan.size(); ++i)
      if (again[i]) {
        units.push_back(cli::VenueUnit{plan[i].target, plan[i].mac, false});
        rows.push_back(i);
      }
    if (!units.empty()) {
      const std::vector<cli::PlanEntry> fresh = cli::MakeVenuePlan(request, units, view_);
      for (size_t k = 0; k < rows.size(); ++k) {
        plan[rows[k]] = fresh[k];
        table_.SetPlanEntry(rows[k], fresh[k]);
      }
    }
    std::vector<cli::RoundReport> rounds = table_.Rounds();
    cli::RunVenueRounds(request, plan, chosen, *pinLine, std::string(), view_, rounds);
    cli::WipeMemory(&(*pinLine)[0], pinLine->size());
    cli::CompleteRounds(plan, &rounds);
    for (size_t i = 0; i < plan.size(); ++i) {
      if (!chosen[i]) continue;
      table_.EndRound(i, rounds[i]);
      MarkDirty(i);
    }
    ::PostMessageW(dialog_, WM_VENUE_ROUNDS_DONE, 0, 0);
  });
}

void VenueWindow::OnCancelUpdate() {
  if (phase_ != Phase::kUpdating || stopRequests_ > 0) return;
  ++stopRequests_;
  std::wstring names;
  const size_t writing = RowsBeingWritten(&names);
  SetStatus(writing == 0 ? std::wstring(L"Cancelled: no unit was being written; the others are left alone")
                         : L"Cancelling: " + std::to_wstring(writing) + (writing == 1 ? L" unit is" : L" units are") +
                               L" being written and will finish (" + names + L"); the others are left alone");
  EnableControls();
}

void VenueWindow::OnSaveReport() {
  if (!roundsRan_ || phase_ != Phase::kReady) return;
  wchar_t path[MAX_PATH] = L"venue-report.json";
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = dialog_;
  dialog.lpstrFilter = L"JSON report (*.json)\0*.json\0All files (*.*)\0*.*\0";
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = L"Save report";
  dialog.lpstrDefExt = L"json";
  dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
  if (!::GetSaveFileNameW(&dialog)) return;
  const std::vector<cli::PlanEntry> plan = table_.Plan();
  const std::vector<cli::RoundReport> rounds = table_.Rounds();
  const cli::Json document = cli::VisitReportDocument(request_, started_, stopRequests_ > 0 ? "stopped" : "done",
                                                      stopRequests_ > 0, plan, rounds, cli::VenueExitCode(rounds));
  std::string error;
  if (!cli::WriteFileAtomically(cli::Utf8(path), cli::JsonDocument(document), &error)) {
    const std::wstring text = L"The report could not be written to " + std::wstring(path) + L":\n" + W(error);
    ::MessageBoxW(dialog_, text.c_str(), L"Save report", MB_OK | MB_ICONERROR);
  }
}

void VenueWindow::OnCopyTable() {
  const std::wstring text = W(table_.TabSeparated(RowsInListOrder()));
  if (!::OpenClipboard(dialog_)) return;
  ::EmptyClipboard();
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (memory) {
    void* target = ::GlobalLock(memory);
    std::memcpy(target, text.c_str(), bytes);
    ::GlobalUnlock(memory);
    if (!::SetClipboardData(CF_UNICODETEXT, memory)) ::GlobalFree(memory);
  }
  ::CloseClipboard();
}

void VenueWindow::OnSkipCurrentChanged() {
  if (phase_ != Phase::kReady) return;
  const std::string current = cli::PackageApplicationVersion(cli::Utf8(unitProperties.Get(L"server-fw-version")));
  table_.SetSkipCurrent(::IsDlgButtonChecked(dialog_, IDC_VENUE_SKIP_CURRENT) == BST_CHECKED, current);
  SyncChecks();
  ListView_RedrawItems(list_, 0, ListView_GetItemCount(list_) - 1);
}

// ------------------------------------------------------- list notices ----

void VenueWindow::OnGetDispInfo(NMLVDISPINFOW* info) {
  if (!(info->item.mask & LVIF_TEXT) || info->item.cchTextMax <= 0) return;
  const std::wstring text = W(
      table_.Cell(static_cast<size_t>(info->item.lParam), static_cast<Column>(info->item.iSubItem)));
  lstrcpynW(info->item.pszText, text.c_str(), info->item.cchTextMax);
}

// A check box changes only by the person's hand while no update runs, and
// a unit that cannot be updated has none.
LRESULT VenueWindow::OnItemChanging(const NMLISTVIEW* change) {
  if (syncing_ || !(change->uChanged & LVIF_STATE)) return FALSE;
  if (((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) == 0) return FALSE;
  const size_t row = static_cast<size_t>(change->lParam);
  return phase_ != Phase::kReady || !table_.Checkable(row);
}

void VenueWindow::OnItemChanged(const NMLISTVIEW* change) {
  if (syncing_ || !(change->uChanged & LVIF_STATE)) return;
  if (((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) == 0) return;
  const bool checked = (change->uNewState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
  table_.SetChecked(static_cast<size_t>(change->lParam), checked);
  EnableControls();
}

// Greyed rows for units that cannot be updated; the progress column is a
// bar drawn here.
LRESULT VenueWindow::OnCustomDraw(NMLVCUSTOMDRAW* draw) {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
      return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT:
      return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const size_t row = static_cast<size_t>(draw->nmcd.lItemlParam);
      draw->clrText = ::GetSysColor(table_.Greyed(row) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT);
      if (draw->iSubItem != kProgress) return CDRF_DODEFAULT;
      const double percent = table_.Percent(row);
      if (percent < 0) return CDRF_DODEFAULT;
      RECT cell;
      ListView_GetSubItemRect(list_, static_cast<int>(draw->nmcd.dwItemSpec), kProgress, LVIR_BOUNDS, &cell);
      ::InflateRect(&cell, -3, -3);
      ::FillRect(draw->nmcd.hdc, &cell, ::GetSysColorBrush(COLOR_WINDOW));
      RECT done = cell;
      done.right = cell.left + static_cast<LONG>((cell.right - cell.left) * std::min(100.0, percent) / 100.0);
      ::FillRect(draw->nmcd.hdc, &done, ::GetSysColorBrush(COLOR_HIGHLIGHT));
      ::FrameRect(draw->nmcd.hdc, &cell, ::GetSysColorBrush(COLOR_BTNSHADOW));
      return CDRF_SKIPDEFAULT;
    }
    default:
      return CDRF_DODEFAULT;
  }
}

struct SortContext {
  const VenueTable* table;
  Column column;
  bool ascending;
};

int CALLBACK CompareRows(LPARAM a, LPARAM b, LPARAM context) {
  const SortContext* sort = reinterpret_cast<const SortContext*>(context);
  const int order = sort->table->Compare(static_cast<size_t>(a), static_cast<size_t>(b), sort->column);
  return sort->ascending ? order : -order;
}

void VenueWindow::OnColumnClick(int column) {
  if (column < 0 || column >= kColumnCount) return;
  sortAscending_ = column == sortColumn_ ? !sortAscending_ : true;
  sortColumn_ = column;
  SortContext context = {&table_, static_cast<Column>(column), sortAscending_};
  ListView_SortItems(list_, CompareRows, reinterpret_cast<LPARAM>(&context));
  HWND header = ListView_GetHeader(list_);
  for (int c = 0; c < kColumnCount; ++c) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    Header_GetItem(header, c, &item);
    item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
    if (c == column) item.fmt |= sortAscending_ ? HDF_SORTUP : HDF_SORTDOWN;
    Header_SetItem(header, c, &item);
  }
}

// -------------------------------------------------------------- pieces ----

void VenueWindow::RunVisitThread(std::function<void()> work) {
  if (thread_.joinable()) thread_.join();
  thread_ = std::thread(std::move(work));
}

void VenueWindow::StartSearch() {
  phase_ = Phase::kSearching;
  ListView_DeleteAllItems(list_);
  table_.SetPlan({}, true);
  ::ShowWindow(::GetDlgItem(dialog_, IDC_VENUE_SEARCH_BAR), SW_SHOW);
  SetStatus(L"Searching the networks: 0 units found so far");
  ::SetDlgItemTextW(dialog_, IDC_VENUE_NOTICE, L"");
  EnableControls();
  cli::VenueRequest request = RequestFromOptions();
  RunVisitThread([this, request] {
    const std::vector<cli::VenueUnit> units = cli::FindVenueUnits(request, view_);
    std::vector<cli::PlanEntry> plan = cli::MakeVenuePlan(request, units, view_);
    {
      std::lock_guard<std::mutex> guard(planLock_);
      newPlan_ = std::move(plan);
    }
    ::PostMessageW(dialog_, WM_VENUE_PLANNED, 0, 0);
  });
}

void VenueWindow::FillList() {
  ListView_DeleteAllItems(list_);
  syncing_ = true;
  for (size_t row = 0; row < table_.Size(); ++row) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(row);
    item.pszText = LPSTR_TEXTCALLBACKW;
    item.lParam = static_cast<LPARAM>(row);
    const int index = ListView_InsertItem(list_, &item);
    for (int c = 1; c < kColumnCount; ++c) ListView_SetItemText(list_, index, c, LPSTR_TEXTCALLBACKW);
  }
  syncing_ = false;
  SyncChecks();
  if (sortColumn_ >= 0) {
    SortContext context = {&table_, static_cast<Column>(sortColumn_), sortAscending_};
    ListView_SortItems(list_, CompareRows, reinterpret_cast<LPARAM>(&context));
  }
  if (ListView_GetItemCount(list_) > 0) ListView_SetItemState(list_, 0, LVIS_FOCUSED, LVIS_FOCUSED);
}

// The check boxes as the table has them; a unit that cannot be updated
// shows none.
void VenueWindow::SyncChecks() {
  syncing_ = true;
  const std::vector<size_t> rows = RowsInListOrder();
  for (size_t item = 0; item < rows.size(); ++item) {
    const size_t row = rows[item];
    const UINT image = !table_.Checkable(row) ? 0 : (table_.Checked(row) ? 2 : 1);
    ListView_SetItemState(list_, static_cast<int>(item), INDEXTOSTATEIMAGEMASK(image), LVIS_STATEIMAGEMASK);
  }
  syncing_ = false;
}

void VenueWindow::EnableControls() {
  const bool ready = phase_ == Phase::kReady;
  const bool anyChecked = table_.CheckedCount() > 0;
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SEARCH), ready);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_UPDATE), ready && anyChecked);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_STOP), phase_ == Phase::kUpdating && stopRequests_ == 0);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SAVE_REPORT), ready && roundsRan_);
  for (int id : {IDC_VENUE_FACTORY_DEFAULTS, IDC_VENUE_SKIP_CURRENT, IDC_VENUE_STAY_IN_BOOTLOAD})
    ::EnableWindow(::GetDlgItem(dialog_, id), ready);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SERVER_FIRMWARE), ready && appState.packageHasApplication);
  ::EnableWindow(::GetDlgItem(dialog_, IDC_VENUE_SERVER_UI), ready && appState.packageHasFlash);
}

void VenueWindow::SetStatus(const std::wstring& text) { ::SetDlgItemTextW(dialog_, IDC_VENUE_STATUS, text.c_str()); }

void VenueWindow::ShowSummary() {
  SetStatus(W(cli::VenueTally(table_.Rounds())));
  bool anyRetryable = false;
  for (size_t row = 0; row < table_.Size(); ++row) anyRetryable = anyRetryable || table_.Retryable(row);
  if (anyRetryable)
    ::SetDlgItemTextW(dialog_, IDC_VENUE_NOTICE,
                      L"A unit that failed stays in bootload mode: check it again and Update checked units to retry.");
}

cli::VenueRequest VenueWindow::RequestFromOptions() const {
  cli::VenueRequest request;
  request.seconds = options_.seconds;
  request.jobs = options_.jobs;
  request.choices.serverFirmware = ::IsDlgButtonChecked(dialog_, IDC_VENUE_SERVER_FIRMWARE) == BST_CHECKED;
  request.choices.serverUi = ::IsDlgButtonChecked(dialog_, IDC_VENUE_SERVER_UI) == BST_CHECKED;
  request.choices.factoryDefaults = ::IsDlgButtonChecked(dialog_, IDC_VENUE_FACTORY_DEFAULTS) == BST_CHECKED;
  request.skipCurrent = ::IsDlgButtonChecked(dialog_, IDC_VENUE_SKIP_CURRENT) == BST_CHECKED;
  request.stayInBootload = ::IsDlgButtonChecked(dialog_, IDC_VENUE_STAY_IN_BOOTLOAD) == BST_CHECKED;
  request.yes = true;
  request.queryArguments = cli::VenueQueryArguments(appState.parserPort);
  request.roundArguments = cli::VenueRoundArguments(appState.parserPort, request.choices);
  return request;
}

// The installer PIN dialog: four digits, masked; the field and every copy
// but the PIN line handed to the visit are wiped.
struct PinAsk {
  const std::wstring* caption;
  std::string* pinLine;
};

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      const PinAsk* ask = reinterpret_cast<const PinAsk*>(lParam);
      ::SetWindowTextW(dialog, L"Installer PIN");
      ::SendDlgItemMessageW(dialog, IDC_PIN, EM_LIMITTEXT, 4, 0);
      // The template's first text explains the PIN; here it says why it is asked.
      HWND explanation = ::GetWindow(dialog, GW_CHILD);
      if (explanation) ::SetWindowTextW(explanation, ask->caption->c_str());
      ::SetFocus(::GetDlgItem(dialog, IDC_PIN));
      return FALSE;
    }
    case WM_COMMAND: {
      wchar_t pin[kPinFieldSize] = {};
      switch (LOWORD(wParam)) {
        case IDC_PIN:
          if (HIWORD(wParam) == EN_CHANGE) {
            ::GetDlgItemTextW(dialog, IDC_PIN, pin, kPinFieldSize);
            ::EnableWindow(::GetDlgItem(dialog, IDOK), IsInstallerPin(pin));
          }
          break;
        case IDOK: {
          ::GetDlgItemTextW(dialog, IDC_PIN, pin, kPinFieldSize);
          if (!IsInstallerPin(pin)) break;
          PinAsk* ask = reinterpret_cast<PinAsk*>(::GetWindowLongPtrW(dialog, DWLP_USER));
          for (int i = 0; i < 4; ++i) ask->pinLine->push_back(static_cast<char>(pin[i]));
          ask->pinLine->push_back('\n');
          ::SetDlgItemTextW(dialog, IDC_PIN, L"");
          ::EndDialog(dialog, IDOK);
          break;
        }
        case IDCANCEL:
          ::SetDlgItemTextW(dialog, IDC_PIN, L"");
          ::EndDialog(dialog, IDCANCEL);
          break;
        default:
          break;
      }
      ::SecureZeroMemory(pin, sizeof pin);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

bool VenueWindow::AskPin(const std::wstring& caption, std::string* pinLine) {
  PinAsk ask = {&caption, pinLine};
  return ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_PIN), dialog_, PinDialogProc,
                           reinterpret_cast<LPARAM>(&ask)) == IDOK;
}

std::vector<size_t> VenueWindow::RowsInListOrder() const {
  std::vector<size_t> order;
  const int count = ListView_GetItemCount(list_);
  for (int item = 0; item < count; ++item) {
    LVITEMW read = {};
    read.mask = LVIF_PARAM;
    read.iItem = item;
    ListView_GetItem(list_, &read);
    order.push_back(static_cast<size_t>(read.lParam));
  }
  return order;
}

int VenueWindow::ItemOfRow(size_t row) const {
  LVFINDINFOW find = {};
  find.flags = LVFI_PARAM;
  find.lParam = static_cast<LPARAM>(row);
  return ListView_FindItem(list_, -1, &find);
}

size_t VenueWindow::RowsBeingWritten(std::wstring* names) const {
  size_t count = 0;
  for (size_t row = 0; row < table_.Size(); ++row) {
    if (!table_.Writing(row)) continue;
    *names += (count ? L", " : L"") + W(table_.Cell(row, kAddress));
    ++count;
  }
  return count;
}

INT_PTR CALLBACK VenueDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  VenueWindow* window = reinterpret_cast<VenueWindow*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  if (message == WM_INITDIALOG) {
    window = reinterpret_cast<VenueWindow*>(lParam);
    ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    window->Attach(dialog);
  }
  return window ? window->Dispatch(message, wParam, lParam) : FALSE;
}

}  // namespace

int RunVenueWindow(HINSTANCE instance, const VenueOptions& options, int show) {
  // The dialog's class, so that a test driver (and the person's tools) can
  // find the window by name.
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kVenueWindowClass;
  windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_PROGRAM));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpfnWndProc = ::DefDlgProcW;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.style = CS_DBLCLKS;
  ::RegisterClassExW(&windowClass);

  std::unique_ptr<VenueWindow> window(new VenueWindow(instance, options));
  HWND dialog = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_VENUE), nullptr, VenueDialogProc,
                                     reinterpret_cast<LPARAM>(window.get()));
  if (!dialog) {
    ::MessageBoxW(nullptr, L"The venue window could not be created.", L"Venue Update", MB_OK | MB_ICONERROR);
    return 1;
  }
  ::ShowWindow(dialog, show);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (::IsDialogMessageW(dialog, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  // A visit still running (the window was closed during an update) is left
  // to its workers: those writing a unit finish it on their own.
  window.release();
  return 0;
}

}  // namespace venue
