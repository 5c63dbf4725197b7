#include "tests/faults/update_harness.h"

#include <arpa/inet.h>
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "boot/bootload_thread.h"
#include "boot/bootloader_session.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"

namespace faults {

namespace {

using Clock = std::chrono::steady_clock;

bool IsOutcome(uint32_t message) {
  return message == UWM_UPDATE_SUCCEEDED || message == UWM_UPDATE_FAILED || message == UWM_NO_RESPONSE ||
         message == UWM_WRONG_RESPONSE;
}

// Takes the worker's messages as the main window would: status texts are
// released once read, the outcome is noted with its time.
class OutcomeWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    Take(message, wParam, lParam);
  }
  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override {
    Take(message, wParam, lParam);
    return 0;
  }
  std::mutex mutex;
  uint32_t outcome = 0;
  int outcomes = 0;
  Clock::time_point at{};
  uint32_t range = 0, position = 0;

 private:
  void Take(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) {
    if (message == UWM_SET_STATUS) ReleaseStatusText(lParam);
    std::lock_guard<std::mutex> lock(mutex);
    if (message == UWM_PROGRESS_RANGE) range = static_cast<uint32_t>(lParam);
    if (message == UWM_PROGRESS_POSITION) position = static_cast<uint32_t>(wParam);
    if (IsOutcome(message)) {
      outcome = message;
      ++outcomes;
      at = Clock::now();
    }
  }
};

// The host's link with a tally of what went out, and the means to close it
// underneath the worker.
class WatchedLink : public Transport {
 public:
  WatchedLink(Transport* inner, const LinkFault& fault, UpdateOutcome* tally)
      : inner_(inner), fault_(fault), tally_(tally) {}
  ~WatchedLink() override { delete inner_; }
  int Open() override { return inner_->Open(); }
  int IsOpen() override { return inner_->IsOpen(); }
  int Close() override { return inner_->Close(); }
  int Write(const uint8_t* data, int length) override {
    std::vector<uint8_t> frame(data, data + length);
    ++tally_->writes;
    if (frame == last_) ++tally_->resends;
    last_ = std::move(frame);
    const int result = inner_->Write(data, length);
    if (fault_.closeAfterWrites != 0 && tally_->writes == fault_.closeAfterWrites) inner_->Close();
    return result;
  }
  uint16_t Read(uint8_t* buffer, int capacity) override { return inner_->Read(buffer, capacity); }
  const wchar_t* Kind() override { return inner_->Kind(); }
  uint16_t ReadPending(uint8_t* buffer, int capacity) override { return inner_->ReadPending(buffer, capacity); }
  uint16_t ReadText(uint8_t* buffer, int capacity) override { return inner_->ReadText(buffer, capacity); }
  uint16_t ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) override {
    return inner_->ReadWithin(buffer, capacity, waitUs);
  }
  uint32_t WireTimeUs(int bytes) override { return inner_->WireTimeUs(bytes); }

 private:
  Transport* inner_;
  LinkFault fault_;
  UpdateOutcome* tally_;
  std::vector<uint8_t> last_;
};

}  // namespace

void LoadPackage() {
  static std::once_flag once;
  std::call_once(once, [] {
    LoadUiStrings(nullptr);
    unitProperties.LoadFromResource(L"UNIT");
    updaterProperties.LoadFromResource(L"UPDATER");
    applicationImage.LoadFromResource(L"P32_APPLICATION");
    flashImage.LoadFromResource(L"P32_FLASH");
  });
  appState.writeApplication = true;
  appState.writeFlash = true;
  appState.writeFactoryDefaults = true;
}

const sim::PackageImages& Package() {
  static sim::PackageImages images;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string error;
    if (!sim::LoadPackageImages("", &images, &error)) {
      std::fprintf(stderr, "package: %s\n", error.c_str());
      std::abort();
    }
  });
  return images;
}

bool MemoryEqualsPackage(const sim::SimulatedUnit& unit) {
  return unit.Program() == Package().program && unit.Flash() == Package().flash;
}

UpdateOutcome RunUpdate(const sim::SimulatedUnit* unit, Transport* link, const LinkFault& fault) {
  LoadPackage();
  UpdateOutcome result;
  OutcomeWindow window;
  WorkerRequest request{&window, new WatchedLink(link, fault, &result)};
  const auto start = Clock::now();
  platform::Thread thread = platform::StartThread(bootload_thread, &request);
  if (!thread) std::abort();
  platform::WaitThread(thread);
  platform::CloseThread(thread);
  // The shared session keeps the (closed) link until the next update; let
  // it go now, so that nothing of this run outlives it.
  bootloaderSession.SetTransport(nullptr);
  {
    std::lock_guard<std::mutex> lock(window.mutex);
    result.message = window.outcome;
    result.outcomes = window.outcomes;
    result.seconds = window.outcomes ? std::chrono::duration<double>(window.at - start).count() : 0;
    result.progressRange = window.range;
    result.lastProgress = window.position;
  }
  result.memoryExact = unit != nullptr && MemoryEqualsPackage(*unit);
  return result;
}

Transport* UdpLink(const sim::SimulatedUnit& unit) {
  return new EthernetTransport(htonl(INADDR_LOOPBACK), unit.UdpPort());
}

Transport* SerialLink(const sim::SimulatedUnit& unit) {
  const std::string path = unit.SerialPath();
  return new COMTransport(std::wstring(path.begin(), path.end()).c_str(), 115200);
}

const char* MessageName(uint32_t message) {
  switch (message) {
    case UWM_UPDATE_SUCCEEDED:
      return "UWM_UPDATE_SUCCEEDED";
    case UWM_UPDATE_FAILED:
      return "UWM_UPDATE_FAILED";
    case UWM_NO_RESPONSE:
      return "UWM_NO_RESPONSE";
    case UWM_WRONG_RESPONSE:
      return "UWM_WRONG_RESPONSE";
    case 0:
      return "(none)";
  }
  return "(other)";
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    --count;  // the directory's own descriptor
  }
  return count;
}

long ResidentKilobytes() {
  long kilobytes = -1;
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status))
      if (std::strncmp(line, "VmRSS:", 6) == 0) kilobytes = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
  }
  return kilobytes;
}

}  // namespace faults
