// A resource table of the test's own, installed for the life of the object,
// so the package classes load from it exactly as from the program's module.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/platform.h"

class TestResources {
 public:
  TestResources() = default;
  ~TestResources() { platform::SetResourceTable(nullptr); }
  TestResources(const TestResources&) = delete;
  TestResources& operator=(const TestResources&) = delete;

  // Adds a resource with these bytes (replacing one of the same name and
  // type) and installs the table again.
  void Add(const wchar_t* name, const wchar_t* type, const std::string& bytes) {
    for (size_t i = 0; i < bytes_.size(); ++i) {
      if (names_[i] == name && types_[i] == type) {
        names_[i] = L"(replaced)";
        break;
      }
    }
    bytes_.push_back(bytes);
    names_.push_back(name);
    types_.push_back(type);
    entries_.clear();
    for (size_t i = 0; i < bytes_.size(); ++i)
      entries_.push_back({names_[i].c_str(), types_[i].c_str(), reinterpret_cast<const uint8_t*>(bytes_[i].data()),
                          static_cast<uint32_t>(bytes_[i].size())});
    table_ = {entries_.data(), entries_.size(), nullptr, 0};
    platform::SetResourceTable(&table_);
  }

 private:
  std::deque<std::string> bytes_;  // deque: stored bytes never move
  std::deque<std::wstring> names_;
  std::deque<std::wstring> types_;
  std::vector<platform::ResourceEntry> entries_;
  platform::ResourceTable table_{};
};
