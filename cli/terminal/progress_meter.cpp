#include "cli/terminal/progress_meter.h"

#include <algorithm>

namespace cli {

ProgressMeter::ProgressMeter(ProgressPlan plan) : plan_(std::move(plan)) {
  bytesBefore_.resize(plan_.recordBytes.size() + 1, 0);
  for (size_t i = 0; i < plan_.recordBytes.size(); ++i) bytesBefore_[i + 1] = bytesBefore_[i] + plan_.recordBytes[i];
}

uint32_t ProgressMeter::PlannedTotal() const {
  return static_cast<uint32_t>(plan_.recordBytes.size()) + plan_.flashBytes +
         (plan_.factoryDefaults ? kFactoryDefaultsUnits : 0);
}

void ProgressMeter::Start(uint32_t total, int64_t nowMs) {
  total_ = total;
  startMs_ = nowMs;
}

// The worker runs its steps in this order, so a position is first records,
// then flash bytes, then the factory defaults.
ProgressMeter::Split ProgressMeter::SplitPosition(uint32_t position) const {
  Split split{};
  split.records = std::min<uint32_t>(position, static_cast<uint32_t>(plan_.recordBytes.size()));
  position -= split.records;
  split.flash = std::min(position, plan_.flashBytes);
  position -= split.flash;
  split.defaults = plan_.factoryDefaults ? std::min(position, kFactoryDefaultsUnits) : 0;
  return split;
}

uint64_t ProgressMeter::BytesAt(const Split& split) const { return bytesBefore_[split.records] + split.flash; }

uint64_t ProgressMeter::FramesAt(const Split& split) const {
  return (split.records + kRecordsPerFrame - 1) / kRecordsPerFrame +
         (split.flash + kFlashBlockBytes - 1) / kFlashBlockBytes + (split.defaults > 0 ? 1 : 0);
}

ProgressReading ProgressMeter::At(uint32_t position, int64_t nowMs) const {
  ProgressReading reading;
  reading.total = total_;
  reading.position = std::min(position, total_);
  reading.elapsedMs = std::max<int64_t>(0, nowMs - startMs_);
  const double unitShare = total_ == 0 ? 1.0 : double(reading.position) / total_;

  const Split all = SplitPosition(PlannedTotal());
  reading.totalBytes = BytesAt(all);
  if (total_ != PlannedTotal()) {
    // The worker's range is not the one planned (an image it could not
    // use): bytes and frames are no longer known, the share still is.
    reading.bytes = static_cast<uint64_t>(reading.totalBytes * unitShare);
  } else {
    reading.bytes = BytesAt(SplitPosition(reading.position));
  }
  // The share of the bytes, which is what the bytes shown beside it say; the
  // worker's own units weigh a 21-byte record like a single flash byte.
  reading.percent = reading.totalBytes > 0 && total_ == PlannedTotal()
                        ? 100.0 * double(reading.bytes) / double(reading.totalBytes)
                        : 100.0 * unitShare;
  const double seconds = reading.elapsedMs / 1000.0;
  if (seconds > 0) reading.bytesPerSecond = reading.bytes / seconds;

  if (reading.position >= total_) {
    reading.remainingMs = 0;
  } else if (total_ == PlannedTotal()) {
    const uint64_t framesDone = FramesAt(SplitPosition(reading.position));
    const uint64_t framesAll = FramesAt(all);
    if (framesDone > 0)
      reading.remainingMs = static_cast<int64_t>(reading.elapsedMs * double(framesAll - framesDone) / framesDone);
  } else if (reading.position > 0) {
    reading.remainingMs = static_cast<int64_t>(reading.elapsedMs * double(total_ - reading.position) /
                                               reading.position);
  }
  return reading;
}

}  // namespace cli
