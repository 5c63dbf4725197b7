#include "package/properties_container.h"

#include <cwchar>

namespace {

bool IsBlank(wchar_t c) { return c == L'\t' || c == L' '; }

// Drops leading and trailing tabs and spaces in place.
void Trim(wchar_t* text) {
  size_t length = std::wcslen(text);
  while (length > 0 && IsBlank(text[length - 1])) --length;
  text[length] = L'\0';
  size_t start = 0;
  while (IsBlank(text[start])) ++start;
  if (start > 0) std::wmemmove(text, text + start, length - start + 1);
}

}  // namespace

PropertiesContainer::~PropertiesContainer() {
  while (head_) {
    Entry* next = head_->next;
    delete head_;
    head_ = next;
  }
}

bool PropertiesContainer::LoadFromResource(const wchar_t* name) { return LoadFromResource(name, L"PROPERTIES"); }

bool PropertiesContainer::ParseLine(const wchar_t* line) {
  // Leading blanks are skipped before copying, so that the length limit
  // applies to the text that is kept.
  const wchar_t* p = line;
  while (IsBlank(*p)) ++p;
  size_t k = 0;
  while (*p && *p != L'=') {
    if (k < kMaxTextLength) key_[k++] = *p;
    ++p;
  }
  key_[k] = L'\0';
  size_t v = 0;
  if (*p == L'=') {
    ++p;
    while (IsBlank(*p)) ++p;
    while (*p && *p != L'\r' && *p != L'\n') {
      wchar_t c = *p++;
      if (c == L'\\' && *p == L'n') {
        c = L'\n';
        ++p;
      }
      if (v < kMaxTextLength) value_[v++] = c;
    }
  }
  value_[v] = L'\0';
  Trim(value_);
  Trim(key_);
  Add(key_, value_);
  return true;
}

const PropertiesContainer::Entry* PropertiesContainer::Lookup(const wchar_t* key) const {
  if (!key) return nullptr;
  for (const Entry* e = head_; e; e = e->next)
    if (e->key == key) return e;
  return nullptr;
}

const wchar_t* PropertiesContainer::Find(const wchar_t* key) const {
  const Entry* e = Lookup(key);
  return e ? e->value.c_str() : nullptr;
}

const wchar_t* PropertiesContainer::Get(const wchar_t* key) const {
  const wchar_t* value = Find(key);
  return value ? value : L"";
}

void PropertiesContainer::Add(const wchar_t* key, const wchar_t* value) {
  if (!key || Lookup(key)) return;
  head_ = new Entry{head_, key, value ? value : L""};
}
