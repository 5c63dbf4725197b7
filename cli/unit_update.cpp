#include "cli/unit_update.h"

#include <mutex>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/bootload_thread.h"
#include "cli/console_message_boxes.h"
#include "cli/console_window.h"
#include "cli/package_startup.h"
#include "cli/text.h"
#include "cli/unit_query.h"
#include "control/version_queries.h"
#include "link/transport.h"
#include "package/bin_manager.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace cli {

namespace {

constexpr int64_t kProgressIntervalMs = 100;

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

// The main window's part during an update: it takes the worker's messages
// and turns them into events.
class UpdateWatcher : public MessageHandler {
 public:
  UpdateWatcher(const std::string& label, const ProgressPlan& plan, const EventSink& sink)
      : label_(label), meter_(plan), sink_(sink) {}

  void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    switch (message) {
      case UWM_PROGRESS_RANGE:
        // wParam is the low end, always 0 from this worker.
        meter_.Start(static_cast<uint32_t>(lParam), Now());
        started_ = true;
        Progress(0);
        break;
      case UWM_PROGRESS_POSITION:
        if (started_) Progress(static_cast<uint32_t>(wParam));
        break;
      case UWM_UPDATE_SUCCEEDED:
        Finish(UpdateResult::kSucceeded);
        break;
      case UWM_UPDATE_FAILED:
        Finish(UpdateResult::kFailed);
        break;
      case UWM_NO_RESPONSE:
        Finish(UpdateResult::kNoResponse);
        break;
      case UWM_WRONG_RESPONSE:
        Finish(UpdateResult::kWrongResponse);
        break;
      default:
        break;
    }
  }

  void OnStatus(const std::wstring& text) override {
    UpdateEvent event = Event(UpdateEvent::kStatus);
    event.text = Utf8(text);
    event.step = Utf8(StepOfStatus(text));
    sink_(event);
  }

  bool finished = false;
  UpdateResult result = UpdateResult::kFailed;

 private:
  UpdateEvent Event(UpdateEvent::Kind kind) const {
    UpdateEvent event;
    event.kind = kind;
    event.unit = label_;
    return event;
  }
  void Progress(uint32_t position) {
    UpdateEvent event = Event(UpdateEvent::kProgress);
    const int64_t now = Now();
    event.progress = meter_.At(position, now);
    if (throttle_.Pass(event, now)) sink_(event);
  }
  void Finish(UpdateResult outcome) {
    finished = true;
    result = outcome;
  }

  std::string label_;
  ProgressMeter meter_;
  const EventSink& sink_;
  ProgressThrottle throttle_{kProgressIntervalMs};
  bool started_ = false;
};

std::string OutcomeText(UpdateResult result) {
  switch (result) {
    case UpdateResult::kSucceeded:
      return Utf8(UiText(IDS_UPDATE_SUCCEEDED));
    case UpdateResult::kFailed:
      return Utf8(UiText(IDS_UPDATE_FAILED));
    case UpdateResult::kNoResponse:
      return Utf8(updaterProperties.Get(L"error-message.NoResponse"));
    case UpdateResult::kWrongResponse:
      return Utf8(updaterProperties.Get(L"error-message.WrongResponse"));
  }
  return std::string();
}

ProgressPlan PlanFor(const UpdateChoices& choices) {
  ProgressPlan plan;
  if (choices.serverFirmware) plan.recordBytes = ReadApplicationFigures().recordBytes;
  if (choices.serverUi) plan.flashBytes = flashImage.Size();
  plan.factoryDefaults = choices.factoryDefaults;
  return plan;
}

// Why the update is not started when the bootloader did not answer the
// query: the worker would only find the same silence, after five seconds.
std::string SilentBootloaderText(const QueryFindings& found) {
  if (found.textAnswered && found.canEnterBootload)
    return "The unit is running its application with bootload mode off. Put it into bootload mode first "
           "(enter-bootload).";
  if (found.textAnswered) return "The unit's application answers, but its bootloader does not.";
  return Utf8(updaterProperties.Get(L"error-message.NoResponse"));
}

}  // namespace

bool ProgressThrottle::Pass(const UpdateEvent& event, int64_t nowMs) {
  if (event.kind != UpdateEvent::kProgress) return true;
  const bool last = event.progress.position >= event.progress.total;
  if (any_ && !last && nowMs - lastMs_ < intervalMs_) return false;
  any_ = true;
  lastMs_ = nowMs;
  return true;
}

UpdateResult RunUnitUpdate(const UnitTarget& target, const UpdateChoices& choices, const EventSink& sink) {
  const int64_t start = Now();
  UpdateEvent event;
  event.unit = target.label;

  event.kind = UpdateEvent::kStart;
  event.serverFirmware = choices.serverFirmware;
  event.serverUi = choices.serverUi;
  event.factoryDefaults = choices.factoryDefaults;
  sink(event);

  // A box may be shown on a worker's thread (a socket that cannot be set
  // up); its text waits here until the loop's thread passes it on, so that
  // every event reaches the sink from one thread.
  std::mutex boxMutex;
  std::vector<ShownMessage> shownBoxes;
  const ConsoleMessageBoxes boxes([&](const ShownMessage& shown) {
    std::lock_guard<std::mutex> lock(boxMutex);
    shownBoxes.push_back(shown);
  });
  auto passBoxesOn = [&] {
    std::vector<ShownMessage> waiting;
    {
      std::lock_guard<std::mutex> lock(boxMutex);
      waiting.swap(shownBoxes);
    }
    for (const ShownMessage& shown : waiting) {
      UpdateEvent message;
      message.kind = UpdateEvent::kMessage;
      message.unit = target.label;
      message.caption = shown.caption;
      message.text = shown.text;
      sink(message);
    }
  };

  auto finish = [&](UpdateResult result, const std::string& text) {
    passBoxesOn();
    UpdateEvent outcome;
    outcome.kind = UpdateEvent::kOutcome;
    outcome.unit = target.label;
    outcome.result = result;
    outcome.text = text;
    outcome.elapsedMs = Now() - start;
    sink(outcome);
    return result;
  };

  // The main window enables Update only once the query has found the
  // unit's bootloader; the same check comes first here. Over the network
  // the query's UDP link and the update's do not get in each other's way,
  // so the query worker is stopped while the update worker makes its
  // closing pause; a serial port must be free before the update opens it.
  const bool network = target.kind == UnitTarget::kNetwork;
  const QueryFindings found = QueryUnitVersions(target, network);
  passBoxesOn();
  struct QueryWorkerStop {
    bool pending;
    void Stop() {
      if (pending) StopVersionQueries();
      pending = false;
    }
    ~QueryWorkerStop() { Stop(); }
  } queryWorker{network};
  UpdateEvent unit;
  unit.kind = UpdateEvent::kUnit;
  unit.unit = target.label;
  unit.inBootloader = found.bootloaderAnswered;
  if (found.bootloaderAnswered) unit.bootloaderVersion = BootloaderVersionText(found.bootloaderVersion);
  if (HasApplicationVersion(found.applicationVersion))
    unit.applicationVersion = ApplicationVersionText(found.applicationVersion);
  sink(unit);
  if (!found.bootloaderAnswered) return finish(UpdateResult::kNoResponse, SilentBootloaderText(found));

  // From here on the worker decides, with its own version check.
  appState.writeApplication = choices.serverFirmware;
  appState.writeFlash = choices.serverUi;
  appState.writeFactoryDefaults = choices.factoryDefaults;
  UpdateWatcher watcher(target.label, PlanFor(choices), sink);
  {
    ConsoleWindow window(watcher);
    if (!window.Ready()) return finish(UpdateResult::kFailed, "the program could not make its message window");
    appState.workerRequest = WorkerRequest{window.Ref(), MakeBootloaderLink(target)};
    platform::Thread worker = platform::StartThread(bootload_thread, &appState.workerRequest);
    if (!worker) {
      delete appState.workerRequest.link;
      appState.workerRequest = {};
      return finish(UpdateResult::kFailed, "the update worker could not be started");
    }
    window.RunUntil([&] {
      passBoxesOn();
      return watcher.finished;
    });
    // The outcome is known now; the worker only pauses before it ends.
    finish(watcher.result, OutcomeText(watcher.result));
    queryWorker.Stop();
    platform::WaitThread(worker);
    platform::CloseThread(worker);
    appState.workerRequest = {};
  }
  return watcher.result;
}

}  // namespace cli
