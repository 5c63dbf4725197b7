// Prints how long loading and handing out the packaged images takes.
// A figure for people, not a test: the machine is shared and noisy.
#include <chrono>
#include <clocale>
#include <cstdio>

#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"

namespace {

double Milliseconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

template <typename Work>
double Best(int rounds, Work work) {
  double best = 1e9;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    double ms = Milliseconds(std::chrono::steady_clock::now() - start);
    if (ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main() {
  std::setlocale(LC_ALL, "");  // as the program does at start-up
  const int kRounds = 20;
  CHexManager hex;
  double load = Best(kRounds, [&] { hex.LoadFromResource(L"P32_APPLICATION"); });
  uint8_t frame[2048];
  unsigned long total = 0;
  double handOut = Best(kRounds, [&] {
    hex.Rewind();
    while (uint16_t n = hex.NextRecord(frame, sizeof frame)) total += n;
  });
  std::printf("hex load       %8.2f ms  (%u records, best of %d)\n", load, hex.RecordCount(), kRounds);
  std::printf("hex hand-out   %8.2f ms\n", handOut);

  CBinManager flash(0x40000);
  double flashLoad = Best(kRounds, [&] { flash.LoadFromResource(L"P32_FLASH"); });
  double blocks = Best(kRounds, [&] {
    flash.Rewind();
    uint32_t address;
    while (uint16_t n = flash.NextBlock(frame, 64, &address)) total += n;
  });
  std::printf("flash load     %8.3f ms  (%u bytes)\n", flashLoad, flash.Size());
  std::printf("flash blocks   %8.3f ms\n", blocks);

  double props = Best(kRounds, [&] {
    PropertiesContainer unit, updater;
    unit.LoadFromResource(L"UNIT");
    updater.LoadFromResource(L"UPDATER");
  });
  std::printf("properties     %8.3f ms  (both texts)\n", props);
  return total == 0;
}
