#include "cli/json.h"

#include <cmath>

namespace cli {

std::string JsonLine(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

std::string JsonDocument(const Json& value) {
  return value.dump(2, ' ', false, nlohmann::detail::error_handler_t::replace) + "\n";
}

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
  if (it->is_number_float()) return static_cast<int64_t>(it->get<double>());
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
