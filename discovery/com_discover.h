// The pieces of serial discovery that tests call directly.
#pragma once

#include <cstddef>
#include <cstdint>

struct MatchString;

constexpr uint16_t kIdentityTries = 5;
constexpr uint16_t kIdentityTimeoutMs = 500;
constexpr unsigned kTextProbeTimeoutMs = 250;
constexpr int kBootloaderProbeRate = 115200;
// A pass that found no port to visit waits this long before the next one,
// so that an empty port table does not keep a processor busy.
constexpr uint32_t kEmptyPassPauseMs = 50;

// The bootloader's identity text (`length` bytes, no terminator needed) says
// bootload mode when its third line, after `skip` characters that are not
// compared, is exactly " - Bootload".
bool IdentityNamesBootloader(const uint8_t* text, size_t length, size_t skip);

// How many characters of the identity's third line the unit's maker and
// model take, which are skipped rather than compared: the match string's
// length in characters. Its 8-bit form is no measure, since a model with no
// 8-bit form under the user's locale has none, and the unit names itself
// on the line all the same.
size_t IdentityModelLength(const MatchString& match);
