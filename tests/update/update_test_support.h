// What the update and exit tests share: a window stand-in that records every
// message in order, the packaged images loaded into the program's globals,
// the HEX image decoded the way a unit stores it, and a worker runner.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "platform/platform.h"
#include "sim/package_images.h"
#include "sim/simulated_unit.h"

class Transport;

namespace updatetest {

struct Message {
  uint32_t id;
  platform::MessageWParam wParam;
  platform::MessageLParam lParam;
  bool sent;
  std::wstring status;  // UWM_SET_STATUS only: the text as it arrived
};

// Copies each status text the moment it arrives, then releases it, as the
// main window does; so a text that changed or died before arrival shows.
class RecordingWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override;
  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override;

  std::vector<Message> Messages() const;
  std::vector<Message> Only(uint32_t id) const;
  std::vector<std::wstring> Statuses() const;
  size_t Count(uint32_t id) const { return Only(id).size(); }
  // The last message, or id 0 when none came.
  Message Last() const;

 private:
  void Record(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam, bool sent);
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

// The packaged images and the unit properties, loaded once into the
// program's globals, and the user-interface texts.
void LoadPackage();

// The bytes of a package resource.
std::string ResourceBytes(const wchar_t* name, const wchar_t* type);

// The package as a unit holds it after a full update, decoded once.
const sim::PackageImages& PackagedImages();

// A simulated unit on loopback UDP (a free port) and on a pseudo-terminal,
// running until destroyed.
class TestUnit {
 public:
  explicit TestUnit(sim::BootloaderOptions bootloader = {}, sim::UnitOptions options = {});
  sim::SimulatedUnit& operator*() { return *unit_; }
  sim::SimulatedUnit* operator->() { return unit_.get(); }
  bool started() const { return started_; }
  const std::string& error() const { return error_; }

  // New links to the unit, for a WorkerRequest to take over.
  Transport* UdpLink() const;
  Transport* SerialLink() const;
  // The command codes the unit received, in order, bit 7 included.
  std::vector<uint8_t> Codes() const;

 private:
  std::unique_ptr<sim::SimulatedUnit> unit_;
  bool started_ = false;
  std::string error_;
};

// Runs the worker against the unit through the link, reporting to window.
void RunWorkerOn(platform::ThreadRoutine routine, Transport* link, platform::MessageReceiver* window);

// Codes as runs, e.g. "1 9 2 3x2471 8", for readable comparisons.
std::string Runs(const std::vector<uint8_t>& codes);
std::string Runs(const std::vector<uint32_t>& ids);

// The user's overwrite choices for the next run.
void Choose(bool application, bool flash, bool factoryDefaults);

// Runs the routine on a thread of its own, as the main window does, and
// waits for it to end.
void RunWorker(platform::ThreadRoutine routine, WorkerRequest* request);

// The outcome messages of the message table, for readable failures.
const char* MessageName(uint32_t id);

}  // namespace updatetest
