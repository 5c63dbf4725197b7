// tq35b_venue.exe: the venue window. It carries the same package as the
// other two programs and runs its workers in the console tool beside it,
// tq35b.exe, started without a window.
//
//   tq35b_venue.exe [--time SECONDS] [--jobs N]
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "cli/package_startup.h"
#include "cli/text.h"
#include "cli/workers/child_process.h"
#include "venue_window/venue_window.h"

namespace {

// --time and --jobs, for a long search on a slow network and for a bound
// on the units written at once. Anything else is refused with a box.
bool ReadOptions(venue::VenueOptions* options, std::wstring* problem) {
  int count = 0;
  LPWSTR* words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!words) return true;
  bool ok = true;
  for (int i = 1; i < count && ok; ++i) {
    const std::wstring name = words[i];
    wchar_t* end = nullptr;
    const unsigned long value = i + 1 < count ? std::wcstoul(words[i + 1], &end, 10) : 0;
    const bool number = i + 1 < count && end && *end == L'\0' && words[i + 1][0] != L'\0';
    if (name == L"--time" && number && value >= 1 && value <= 3600) {
      options->seconds = static_cast<uint32_t>(value);
      ++i;
    } else if (name == L"--jobs" && number && value >= 1 && value <= 1024) {
      options->jobs = value;
      ++i;
    } else {
      *problem = L"Unknown or out-of-range option: " + name +
                 L"\n\nUsage: tq35b_venue.exe [--time SECONDS (1-3600)] [--jobs N (1-1024)]";
      ok = false;
    }
  }
  ::LocalFree(words);
  return ok;
}

// The console tool beside this program runs the workers.
std::wstring WorkerProgramBeside() {
  wchar_t own[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring path(own, length);
  const size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + L"tq35b.exe";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
  WSADATA sockets;
  ::WSAStartup(MAKEWORD(2, 2), &sockets);  // a failure shows later, where a socket is needed
  INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_WIN95_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&classes);

  venue::VenueOptions options;
  std::wstring problem;
  if (!ReadOptions(&options, &problem)) {
    ::MessageBoxW(nullptr, problem.c_str(), L"Venue Update", MB_OK | MB_ICONERROR);
    return 2;
  }
  std::string packageProblem;
  if (!cli::LoadPackage(&packageProblem)) {
    ::MessageBoxW(nullptr, cli::Wide(packageProblem).c_str(), L"Venue Update", MB_OK | MB_ICONERROR);
    return 1;
  }
  const std::wstring workers = WorkerProgramBeside();
  if (workers.empty() || ::GetFileAttributesW(workers.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const std::wstring text =
        L"The console tool tq35b.exe must be in the same folder as this program: it does "
        L"the work on each unit.\n\nNot found: " +
        workers;
    ::MessageBoxW(nullptr, text.c_str(), L"Venue Update", MB_OK | MB_ICONERROR);
    return 1;
  }
  cli::SetWorkerProgram(cli::Utf8(workers));
  const int code = venue::RunVenueWindow(instance, options, show);
  ::WSACleanup();
  return code;
}
