// Seeded, repeatable line faults for the simulated unit. Every frame draws
// the same amount from its direction's generator whatever happens to it, so
// a given seed and a given sequence of frames always give the same faults.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace sim {

struct FaultRates {
  double drop = 0;          // the frame vanishes
  double corrupt = 0;       // one byte of it is changed
  double duplicate = 0;     // it arrives twice
  double delay = 0;         // it arrives delayMs late
  uint32_t delayMs = 1500;  // beyond the host's usual 1000 ms time-out
  bool Any() const { return drop > 0 || corrupt > 0 || duplicate > 0 || delay > 0; }
};

struct FaultDecision {
  bool drop = false;
  bool duplicate = false;
  bool delay = false;
  bool corrupt = false;
  size_t corruptAt = 0;    // index into the raw frame
  uint8_t corruptXor = 0;  // never 0
};

class FaultInjector {
 public:
  FaultInjector(uint64_t seed, uint64_t stream, const FaultRates& rates);
  // Decides the fate of one frame of `size` wire bytes.
  FaultDecision Decide(size_t size);
  // Applies a decision's corruption to a frame.
  static void Corrupt(const FaultDecision& d, std::vector<uint8_t>* frame);
  const FaultRates& Rates() const { return rates_; }

 private:
  FaultRates rates_;
  std::mt19937_64 random_;
};

}  // namespace sim
