#include "cli/unit_query.h"

#include "app/app_state.h"
#include "app/messages.h"
#include "cli/console_window.h"
#include "control/version_queries.h"

namespace cli {

namespace {

// The messages of one query arrive in a fixed order. A unit whose
// bootloader is silent gives the two enable messages twice when its text
// interface answers: once as "neither" while the interface is asked, then
// with the letter it reported.
class QueryWatcher : public MessageHandler {
 public:
  void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    switch (message) {
      case UWM_UNIT_IN_BOOTLOADER:
        findings.bootloaderAnswered = true;
        findings.bootloaderVersion = static_cast<unsigned>(wParam & 0xFFFF);
        break;
      case UWM_UNIT_NOT_IN_BOOTLOADER:
        notInBootloader_ = true;
        break;
      case UWM_APPLICATION_VERSION:
        findings.applicationVersion = static_cast<uint32_t>(lParam);
        break;
      case UWM_ENABLE_ENTER_BOOTLOAD:
        if (notInBootloader_ && ++enterReports_ == 2) findings.textAnswered = true;
        findings.canEnterBootload = wParam != 0;
        break;
      case UWM_ENABLE_EXIT_BOOTLOAD:
        findings.canExitBootload = wParam != 0;
        break;
      case UWM_QUERY_DONE:
        done = true;
        break;
      default:
        break;
    }
  }
  void OnStatus(const std::wstring&) override {}

  QueryFindings findings;
  bool done = false;

 private:
  bool notInBootloader_ = false;
  int enterReports_ = 0;
};

}  // namespace

QueryFindings QueryUnitVersions(const UnitTarget& target, bool keepWorker) {
  QueryWatcher watcher;
  {
    ConsoleWindow window(watcher);
    if (!window.Ready()) return watcher.findings;
    StartVersionQueries();
    SubmitVersionQuery(new WorkerRequest{window.Ref(), MakeBootloaderLink(target)});
    window.RunUntil([&] { return watcher.done; });
    // The worker has posted its last message, and posts no more until it is
    // given another request. Stopping it also makes sure that the query's
    // link is gone before anyone opens the port again.
    if (!keepWorker) StopVersionQueries();
  }
  return watcher.findings;
}

bool IsAcceptedBootloaderVersion(unsigned version) { return version >= 0x0300 && version <= 0x0302; }

bool HasApplicationVersion(uint32_t version) { return version != 0xFFFFFFFFu && version != 0; }

}  // namespace cli
