// Turns the update worker's progress position into what a person wants to
// see: bytes delivered, throughput and time left.
//
// The position counts three kinds of unit at once (application records,
// flash image bytes and a fixed 10 for the factory defaults), so neither
// bytes nor time follow it in proportion. The meter knows the size of every
// record the worker will send and how the worker packs them into frames,
// and estimates the time left from the frames still to go: each frame is
// one round trip to the unit, which is what an update spends its time on.
#pragma once

#include <cstdint>
#include <vector>

namespace cli {

struct ProgressPlan {
  std::vector<uint16_t> recordBytes;  // application records, empty when not written
  uint32_t flashBytes = 0;            // 0 when the flash image is not written
  bool factoryDefaults = false;
};

struct ProgressReading {
  uint32_t position = 0;
  uint32_t total = 0;
  double percent = 0;  // of the bytes; of the position when no bytes are sent
  uint64_t bytes = 0;  // package bytes delivered to the unit so far
  uint64_t totalBytes = 0;
  double bytesPerSecond = 0;
  int64_t elapsedMs = 0;
  int64_t remainingMs = -1;  // -1 until something has been delivered
};

class ProgressMeter {
 public:
  static constexpr uint32_t kRecordsPerFrame = 8;
  static constexpr uint32_t kFlashBlockBytes = 64;
  static constexpr uint32_t kFactoryDefaultsUnits = 10;

  explicit ProgressMeter(ProgressPlan plan);

  // The worker announced its range; the clock starts here.
  void Start(uint32_t total, int64_t nowMs);
  ProgressReading At(uint32_t position, int64_t nowMs) const;

  // The plan's own total in progress units: what the worker's range must be.
  uint32_t PlannedTotal() const;

 private:
  struct Split {
    uint32_t records, flash, defaults;
  };
  Split SplitPosition(uint32_t position) const;
  uint64_t BytesAt(const Split& split) const;
  uint64_t FramesAt(const Split& split) const;

  ProgressPlan plan_;
  std::vector<uint64_t> bytesBefore_;  // bytes of the first n records
  uint32_t total_ = 0;
  int64_t startMs_ = 0;
};

}  // namespace cli
