// The JSON of the event lines and of the visit report, through nlohmann's
// JSON library. Objects keep their keys in the order they were added, so a
// line reads the way it was written. The writer replaces bytes that are not
// UTF-8 (a unit's or a package's text may hold any byte) instead of failing;
// the reader takes back the objects that the worker processes write.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace cli {

using Json = nlohmann::ordered_json;

// The value on one line, without a line end.
std::string JsonLine(const Json& value);
// The value over several indented lines, ending with a line end.
std::string JsonDocument(const Json& value);

// A figure with one decimal, as the event lines give rates and shares;
// null when it is not a finite number, which JSON cannot carry.
Json OneDecimal(double value);
// A text, or null when it is empty (a version that was not read).
Json TextOrNull(const std::string& text);

// Reads one JSON object. False for anything else (an array, a bare value,
// broken text, trailing text).
bool ParseJsonObject(const std::string& line, Json* object);

// Lookups with a fallback for a missing or mistyped field.
std::string FieldText(const Json& object, const char* key, const std::string& fallback = std::string());
int64_t FieldInt(const Json& object, const char* key, int64_t fallback = 0);
double FieldDouble(const Json& object, const char* key, double fallback = 0);
bool FieldFlag(const Json& object, const char* key);

}  // namespace cli
