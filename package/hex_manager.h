// CHexManager: the application image as the list of its Intel HEX records.
//
// Each non-empty line becomes one record of binary bytes (byte count,
// address, type, data, checksum, exactly as written), in file order. The
// records are not interpreted here: the unit's bootloader decodes them, so
// checksums, types and addresses go out unchanged.
//
// What the image refuses, so that no damaged record can reach a unit: a
// line with a character that is not a hexadecimal digit (trailing tabs and
// spaces aside), or a record of more than kMaxRecordBytes bytes. Either makes
// the whole load fail and leaves the image empty, rather than sending a
// firmware with a hole or a garbled record in it.
//
// Handing out starts at the first record after a load (as after Rewind).
// NextRecord never cuts a record short. A record that does not
// fit the space offered is held back and returns 0 without being consumed;
// the caller ends its frame and offers the record a fresh one. Since no
// record exceeds kMaxRecordBytes, a caller that offers at least that much to
// an empty frame always makes progress. To tell "held back" from "all handed
// out", look at NextRecordLength (0 only when nothing is left).
#pragma once

#include <cstdint>

#include "package/loadable_text.h"

class CHexManager : public LoadableText {
 public:
  // The largest binary record taken: a byte count of 255 would need 260,
  // but nothing larger than 16 data bytes is ever packaged.
  static constexpr uint16_t kMaxRecordBytes = 256;

  CHexManager();
  ~CHexManager();

  using LoadableText::LoadFromResource;
  // Loads the resource `name` of type "HEX".
  bool LoadFromResource(const wchar_t* name);

  bool ParseLine(const wchar_t* line) override;
  // Frees every record and zeroes the counts; runs at the start of each load.
  bool Reset() override;

  // Starts handing out from the first record again.
  bool Rewind();
  // Copies the next record whole into destination if it fits `space` bytes
  // and returns its length; returns 0 when it does not fit (held back) or
  // when every record has been handed out.
  uint16_t NextRecord(uint8_t* destination, uint32_t space);
  // Length of the record the next NextRecord hands out; 0 when none is left.
  uint16_t NextRecordLength() const;

  uint32_t RecordCount() const { return recordCount_; }
  uint32_t RecordsConsumed() const { return recordsConsumed_; }

 private:
  struct Record;
  bool Reject();

  Record* head_ = nullptr;
  Record* tail_ = nullptr;
  Record* cursor_ = nullptr;
  uint32_t recordCount_ = 0;
  uint32_t recordsConsumed_ = 0;
  uint8_t scratch_[kMaxRecordBytes] = {};
};
