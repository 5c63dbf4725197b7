#include "sim/fault_injector.h"

namespace sim {

FaultInjector::FaultInjector(uint64_t seed, uint64_t stream, const FaultRates& rates)
    : rates_(rates), random_(seed * 0x9E3779B97F4A7C15ull + stream) {}

FaultDecision FaultInjector::Decide(size_t size) {
  // A clean line decides nothing, and its rates never change (new rates
  // make a new injector), so its stream need not be kept in step.
  if (!rates_.Any()) return FaultDecision{};
  // Draw everything, always, in one order: the stream stays in step.
  auto unit = [this] { return static_cast<double>(random_() >> 11) * (1.0 / 9007199254740992.0); };
  const double drop = unit(), corrupt = unit(), duplicate = unit(), delay = unit();
  const uint64_t where = random_();
  const uint64_t what = random_();
  FaultDecision d;
  d.drop = drop < rates_.drop;
  d.corrupt = size > 0 && corrupt < rates_.corrupt;
  d.duplicate = duplicate < rates_.duplicate;
  d.delay = delay < rates_.delay;
  d.corruptAt = size ? static_cast<size_t>(where % size) : 0;
  d.corruptXor = static_cast<uint8_t>(1 + what % 255);
  return d;
}

void FaultInjector::Corrupt(const FaultDecision& d, std::vector<uint8_t>* frame) {
  if (d.corrupt && d.corruptAt < frame->size()) (*frame)[d.corruptAt] ^= d.corruptXor;
}

}  // namespace sim
