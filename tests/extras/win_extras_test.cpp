// The presentation extras and the firewall rule on Windows (run under Wine
// by the Wine tests). Prints each failed check and "N passed, N failed";
// exits 0 when nothing failed.
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <string_view>

#include "tests/extras/win_check.h"

void RunFirewallCases();
void RunDialogCases();
void RunTrayCases();

namespace {
int g_passed = 0, g_failed = 0;
}

void Check(bool ok, const char* area, const char* what) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  std::printf("FAILED: %s: %s\n", area, what);
  std::fflush(stdout);
}
int FailedChecks() { return g_failed; }
int PassedChecks() { return g_passed; }

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");  // as the program does, for the notes conversion
  bool all = argc < 2;
  for (int i = 1; i < argc || all; ++i) {
    const char* part = all ? "all" : argv[i];
    bool every = all || std::string_view(part) == "all";
    if (every || std::string_view(part) == "firewall") {
      std::puts("firewall");
      RunFirewallCases();
    }
    if (every || std::string_view(part) == "dialogs") {
      std::puts("dialogs");
      RunDialogCases();
    }
    if (every || std::string_view(part) == "tray") {
      std::puts("tray");
      RunTrayCases();
    }
    if (all) break;
  }
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
