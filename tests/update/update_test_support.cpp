#include "tests/update/update_test_support.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/messages.h"
#include "app/status.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "sim/package_images.h"

namespace updatetest {

void RecordingWindow::Record(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam,
                             bool sent) {
  Message m{message, wParam, lParam, sent, {}};
  if (message == UWM_SET_STATUS) {
    m.status = StatusTextOf(lParam);
    ReleaseStatusText(lParam);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(m);
}

void RecordingWindow::Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) {
  Record(message, wParam, lParam, false);
}

platform::MessageResult RecordingWindow::Send(uint32_t message, platform::MessageWParam wParam,
                                              platform::MessageLParam lParam) {
  Record(message, wParam, lParam, true);
  return 0;
}

std::vector<Message> RecordingWindow::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<Message> RecordingWindow::Only(uint32_t id) const {
  std::vector<Message> picked;
  for (const Message& m : Messages())
    if (m.id == id) picked.push_back(m);
  return picked;
}

std::vector<std::wstring> RecordingWindow::Statuses() const {
  std::vector<std::wstring> texts;
  for (const Message& m : Only(UWM_SET_STATUS)) texts.push_back(m.status);
  return texts;
}

Message RecordingWindow::Last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_.empty() ? Message{0, 0, 0, false, {}} : messages_.back();
}

void LoadPackage() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  LoadUiStrings(nullptr);
  unitProperties.LoadFromResource(L"UNIT");
  applicationImage.LoadFromResource(L"P32_APPLICATION");
  flashImage.LoadFromResource(L"P32_FLASH");
}

std::string ResourceBytes(const wchar_t* name, const wchar_t* type) {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform::FindModuleResource(name, type, &data, &size)) return {};
  return std::string(reinterpret_cast<const char*>(data), size);
}

const sim::PackageImages& PackagedImages() {
  static sim::PackageImages images;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    if (!sim::LoadPackageImages("", &images, &error)) {
      std::fprintf(stderr, "package: %s\n", error.c_str());
      std::abort();
    }
    loaded = true;
  }
  return images;
}

TestUnit::TestUnit(sim::BootloaderOptions bootloader, sim::UnitOptions options) {
  options.bindAddress = "127.0.0.1";
  options.udpPort = 0;
  options.serial = true;
  options.bootloader = bootloader;
  unit_ = std::make_unique<sim::SimulatedUnit>(options);
  started_ = unit_->Start(&error_);
  // Serial port names hold 11 characters: give a longer slave a short alias.
  if (started_ && unit_->SerialPath().size() > 11) {
    unit_->Stop();
    char alias[16];
    std::snprintf(alias, sizeof alias, "/tmp/tu%04d", int(getpid() % 10000));
    options.ptyLink = alias;
    unit_ = std::make_unique<sim::SimulatedUnit>(options);
    started_ = unit_->Start(&error_);
  }
}

Transport* TestUnit::UdpLink() const { return new EthernetTransport(htonl(INADDR_LOOPBACK), unit_->UdpPort()); }

Transport* TestUnit::SerialLink() const {
  const std::string path = unit_->SerialPath();
  return new COMTransport(std::wstring(path.begin(), path.end()).c_str(), 115200);
}

std::vector<uint8_t> TestUnit::Codes() const {
  std::vector<uint8_t> codes;
  for (const sim::FrameRecord& frame : unit_->Log()) codes.push_back(frame.code);
  return codes;
}

void RunWorkerOn(platform::ThreadRoutine routine, Transport* link, platform::MessageReceiver* window) {
  WorkerRequest request{window, link};
  RunWorker(routine, &request);
}

namespace {

template <typename T>
std::string RunsOf(const std::vector<T>& values) {
  std::string text;
  for (size_t i = 0; i < values.size();) {
    size_t j = i;
    while (j < values.size() && values[j] == values[i]) ++j;
    if (!text.empty()) text += ' ';
    text += std::to_string(values[i]);
    if (j - i > 1) text += 'x' + std::to_string(j - i);
    i = j;
  }
  return text;
}

}  // namespace

std::string Runs(const std::vector<uint8_t>& codes) { return RunsOf(codes); }
std::string Runs(const std::vector<uint32_t>& ids) { return RunsOf(ids); }

void Choose(bool application, bool flash, bool factoryDefaults) {
  appState.writeApplication = application;
  appState.writeFlash = flash;
  appState.writeFactoryDefaults = factoryDefaults;
}

void RunWorker(platform::ThreadRoutine routine, WorkerRequest* request) {
  platform::Thread thread = platform::StartThread(routine, request);
  if (!thread) std::abort();
  platform::WaitThread(thread);
  platform::CloseThread(thread);
}

const char* MessageName(uint32_t id) {
  switch (id) {
    case UWM_UPDATE_SUCCEEDED:
      return "UWM_UPDATE_SUCCEEDED";
    case UWM_UPDATE_FAILED:
      return "UWM_UPDATE_FAILED";
    case UWM_SET_STATUS:
      return "UWM_SET_STATUS";
    case UWM_WRONG_RESPONSE:
      return "UWM_WRONG_RESPONSE";
    case UWM_NO_RESPONSE:
      return "UWM_NO_RESPONSE";
    case UWM_BOOTLOAD_EXITED:
      return "UWM_BOOTLOAD_EXITED";
    case UWM_PROGRESS_RANGE:
      return "UWM_PROGRESS_RANGE";
    case UWM_PROGRESS_POSITION:
      return "UWM_PROGRESS_POSITION";
    case 0:
      return "(none)";
    default:
      return "(other)";
  }
}

}  // namespace updatetest
