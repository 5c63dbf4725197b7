#include "tests/discovery/discovery_test_support.h"

#include <dirent.h>

#include <clocale>
#include <fstream>

#include "app/app_state.h"
#include "package/properties_container.h"

void ReportWindow::Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    reports_.push_back({message, static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam), platform::TickCount()});
  }
  arrived_.notify_all();
}

platform::MessageResult ReportWindow::Send(uint32_t, platform::MessageWParam, platform::MessageLParam) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++sent_;  // the workers must never send: the dialog waits for them
  return 0;
}

std::vector<Report> ReportWindow::Reports() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return reports_;
}

std::vector<Report> ReportWindow::From(uint32_t lParam) const {
  std::vector<Report> out;
  for (const Report& r : Reports())
    if (r.lParam == lParam) out.push_back(r);
  return out;
}

bool ReportWindow::WaitUntil(const std::function<bool(const std::vector<Report>&)>& done,
                             std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(mutex_);
  return arrived_.wait_for(guard, limit, [&] { return done(reports_); });
}

bool ReportWindow::WaitForCount(size_t count, std::chrono::milliseconds limit) const {
  return WaitUntil([count](const std::vector<Report>& r) { return r.size() >= count; }, limit);
}

int ReportWindow::SentCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return sent_;
}

BoxLog::BoxLog() { platform::SetMessageBoxHandler(&BoxLog::Handler, this); }
BoxLog::~BoxLog() { platform::SetMessageBoxHandler(nullptr, nullptr); }

std::vector<Box> BoxLog::Boxes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return boxes_;
}

int BoxLog::Handler(platform::WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                    void* context) {
  auto* self = static_cast<BoxLog*>(context);
  std::lock_guard<std::mutex> guard(self->mutex_);
  self->boxes_.push_back({text ? text : L"", caption ? caption : L"", type, owner != nullptr});
  return IDOK;
}

void LoadProgramTexts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  std::setlocale(LC_ALL, "C.UTF-8");
  LoadUiStrings(nullptr);
  unitProperties.LoadFromResource(L"UNIT");
}

std::vector<std::string> ThreadNames() {
  std::vector<std::string> names;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return names;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  closedir(tasks);
  return names;
}

int CountThreadsNamed(const std::string& name) {
  int count = 0;
  for (const std::string& n : ThreadNames())
    if (n == name) ++count;
  return count;
}
