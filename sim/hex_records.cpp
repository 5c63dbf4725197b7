#include "sim/hex_records.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace sim {

namespace {

constexpr uint8_t kData = 0x00;
constexpr uint8_t kEndOfFile = 0x01;
constexpr uint8_t kExtendedSegment = 0x02;
constexpr uint8_t kStartSegment = 0x03;
constexpr uint8_t kExtendedLinear = 0x04;
constexpr uint8_t kStartLinear = 0x05;

void SetError(std::string* error, const char* what, size_t offset) {
  if (!error) return;
  char text[96];
  std::snprintf(text, sizeof text, "%s (record at byte %zu)", what, offset);
  *error = text;
}

// One pass over the records; writes only when memory is given.
bool Walk(const uint8_t* p, size_t length, HexAddressState* state, SparseMemory* memory, std::string* error) {
  size_t at = 0;
  while (at < length) {
    const size_t count = p[at];
    if (length - at < count + 5) return SetError(error, "record cut short", at), false;
    const uint8_t* r = p + at;
    // The writing pass comes only after a checking pass over the same
    // records, so it need not add them up again.
    if (!memory) {
      uint8_t sum = 0;
      for (size_t i = 0; i < count + 5; ++i) sum = static_cast<uint8_t>(sum + r[i]);
      if (sum != 0) return SetError(error, "bad checksum", at), false;
    }
    const uint16_t offset = static_cast<uint16_t>((r[1] << 8) | r[2]);
    const uint8_t type = r[3];
    const uint8_t* data = r + 4;
    switch (type) {
      case kData:
        if (memory) {
          // Segment addresses wrap inside their 64 KiB window; linear
          // ones run on across it. So a segment record may be two runs.
          size_t first = count;
          if (state->kind == HexAddressState::Kind::Segment) first = std::min<size_t>(count, 0x10000u - offset);
          memory->Write(state->base + offset, data, first);
          if (first < count) memory->Write(state->base, data + first, count - first);
        }
        break;
      case kEndOfFile:
        if (count != 0) return SetError(error, "end-of-file record with data", at), false;
        break;
      case kExtendedSegment:
        if (count != 2) return SetError(error, "segment address record of wrong length", at), false;
        state->kind = HexAddressState::Kind::Segment;
        state->base = static_cast<uint32_t>((data[0] << 8) | data[1]) << 4;
        break;
      case kExtendedLinear:
        if (count != 2) return SetError(error, "linear address record of wrong length", at), false;
        state->kind = HexAddressState::Kind::Linear;
        state->base = static_cast<uint32_t>((data[0] << 8) | data[1]) << 16;
        break;
      case kStartSegment:
      case kStartLinear:
        if (count != 4) return SetError(error, "start address record of wrong length", at), false;
        break;  // where execution starts is no concern of program memory
      default:
        return SetError(error, "unknown record type", at), false;
    }
    at += count + 5;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool DecodeHexRecords(const uint8_t* records, size_t length, HexAddressState* state, SparseMemory* memory,
                      std::string* error) {
  HexAddressState trial = *state;
  if (!Walk(records, length, &trial, nullptr, error)) return false;
  if (memory) Walk(records, length, state, memory, error);
  return true;
}

bool DecodeHexText(const char* text, size_t length, SparseMemory* memory, std::string* error, size_t* recordCount) {
  HexAddressState state;
  std::vector<uint8_t> record;
  size_t records = 0, line = 0, at = 0;
  while (at < length) {
    size_t end = at;
    while (end < length && text[end] != '\n' && text[end] != '\r') ++end;
    ++line;
    if (end > at) {
      char where[64];
      std::snprintf(where, sizeof where, "line %zu: ", line);
      if (text[at] != ':' || (end - at) % 2 != 1) {
        if (error) *error = std::string(where) + "not a HEX record";
        return false;
      }
      record.clear();
      for (size_t i = at + 1; i < end; i += 2) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
          if (error) *error = std::string(where) + "not a hexadecimal digit";
          return false;
        }
        record.push_back(static_cast<uint8_t>(hi * 16 + lo));
      }
      if (record.empty() || record.size() != static_cast<size_t>(record[0]) + 5) {
        if (error) *error = std::string(where) + "byte count does not match the line";
        return false;
      }
      std::string fault;
      if (!DecodeHexRecords(record.data(), record.size(), &state, memory, &fault)) {
        if (error) *error = std::string(where) + fault;
        return false;
      }
      ++records;
    }
    at = end;
    while (at < length && (text[at] == '\n' || text[at] == '\r')) ++at;
  }
  if (recordCount) *recordCount = records;
  return true;
}

}  // namespace sim
