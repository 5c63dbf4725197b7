#include "package/hex_manager.h"

#include <cstring>
#include <cwchar>
#include <new>

// A record and its bytes share one allocation: the image has some twenty
// thousand records, and half the allocations make loading visibly quicker.
struct CHexManager::Record {
  Record* next;
  uint16_t length;
  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
};

namespace {

// Value of a hexadecimal digit, or -1.
int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

CHexManager::CHexManager() { Reset(); }

CHexManager::~CHexManager() { Reset(); }

bool CHexManager::LoadFromResource(const wchar_t* name) { return LoadFromResource(name, L"HEX"); }

bool CHexManager::Reset() {
  while (head_) {
    Record* next = head_->next;
    head_->~Record();
    ::operator delete(head_);
    head_ = next;
  }
  tail_ = cursor_ = nullptr;
  recordCount_ = recordsConsumed_ = 0;
  return true;
}

bool CHexManager::Reject() {
  Reset();
  return false;
}

bool CHexManager::ParseLine(const wchar_t* line) {
  // The first character is the record mark; it is not looked at.
  if (!*line) return true;
  const wchar_t* digits = line + 1;
  size_t length = std::wcslen(digits);
  // Blanks after the record are not part of it.
  while (length > 0 && (digits[length - 1] == L' ' || digits[length - 1] == L'\t')) --length;
  uint16_t count = 0;
  // Pairs of digits; a single digit left over is ignored.
  for (size_t i = 0; i + 1 < length; i += 2) {
    int high = DigitValue(digits[i]);
    int low = DigitValue(digits[i + 1]);
    if (high < 0 || low < 0 || count == kMaxRecordBytes) return Reject();
    scratch_[count++] = static_cast<uint8_t>(high << 4 | low);
  }
  if (count == 0) return true;
  void* block = ::operator new(sizeof(Record) + count, std::nothrow);
  if (!block) return Reject();
  Record* record = new (block) Record{nullptr, count};
  std::memcpy(record->Bytes(), scratch_, count);
  if (tail_)
    tail_->next = record;
  else
    head_ = record;
  tail_ = record;
  if (!cursor_) cursor_ = record;
  ++recordCount_;
  return true;
}

bool CHexManager::Rewind() {
  cursor_ = head_;
  recordsConsumed_ = 0;
  return true;
}

uint16_t CHexManager::NextRecord(uint8_t* destination, uint32_t space) {
  if (!cursor_ || !destination || cursor_->length > space) return 0;
  std::memcpy(destination, cursor_->Bytes(), cursor_->length);
  uint16_t copied = cursor_->length;
  cursor_ = cursor_->next;
  ++recordsConsumed_;
  return copied;
}

uint16_t CHexManager::NextRecordLength() const { return cursor_ ? cursor_->length : 0; }
