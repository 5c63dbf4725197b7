#include "cli/json.h"

#include <cmath>
#include <limits>

namespace cli {

std::string JsonLine(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string JsonDocument(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

Json OneDecimal(double value) {
  if (!std::isfinite(value)) return nullptr;
  return std::round(value * 10.0) / 10.0;
}

Json TextOrNull(const std::string& text) {
  if (text.empty()) return nullptr;
  return text;
}

bool ParseJsonObject(const std::string& line, Json* object) {
  Json parsed = Json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return false;
  *object = std::move(parsed);
  return true;
}

std::string FieldText(const Json& object, const char* key, const std::string& fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

int64_t FieldInt(const Json& object, const char* key, int64_t fallback) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return fallback;
  if (it->is_number_unsigned()) {
    const uint64_t value = it->get<uint64_t>();
    return value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? fallback : static_cast<int64_t>(value);
  }
  if (it->is_number_float()) {
    // A double outside int64_t's range (or not a number) has no integer to
    // give; casting it would be undefined.
    const double value = it->get<double>();
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return fallback;
    return static_cast<int64_t>(value);
  }
  return it->get<int64_t>();
}

double FieldDouble(const Json& object, const char* key, double fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

bool FieldFlag(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace cli
