// PropertiesContainer: the key/value texts of the package (the unit's names
// and versions, the updater's warning, error and help texts).
//
// One line is one entry: the key up to the first "=", the value after it,
// both trimmed of tabs and spaces; "\n" in a value is a line break, the only
// escape. The first definition of a key wins. Keys and values longer than
// kMaxTextLength characters are cut to that length.
#pragma once

#include <string>

#include "package/loadable_text.h"

class PropertiesContainer : public LoadableText {
 public:
  static constexpr size_t kMaxTextLength = 511;

  PropertiesContainer() = default;
  ~PropertiesContainer();

  using LoadableText::LoadFromResource;
  // Loads the resource `name` of type "PROPERTIES". Loading a second text
  // adds to what is there.
  bool LoadFromResource(const wchar_t* name);

  bool ParseLine(const wchar_t* line) override;

  // The stored value, or null when the key is absent. A key that was added
  // without a value gives the empty string, so non-null always means present.
  const wchar_t* Find(const wchar_t* key) const;
  // The stored value, or the empty string when the key is absent; never null.
  const wchar_t* Get(const wchar_t* key) const;
  // Inserts the entry unless the key is present already. The value may be null.
  void Add(const wchar_t* key, const wchar_t* value);

 private:
  struct Entry {
    Entry* next;
    std::wstring key;
    std::wstring value;
  };
  const Entry* Lookup(const wchar_t* key) const;

  Entry* head_ = nullptr;  // newest first
  // Scratch for the line being parsed; per object, so parsing is reentrant.
  wchar_t key_[kMaxTextLength + 1] = {};
  wchar_t value_[kMaxTextLength + 1] = {};
};
