// The JSON of the event lines: one flat object per line. The writer escapes
// whatever text it is given (a unit's or a package's text may hold quotes or
// control characters); the reader takes back the flat objects that the
// workers of a parallel update write.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace cli {

class JsonObject {
 public:
  JsonObject& Add(const char* key, const std::string& value);
  JsonObject& Add(const char* key, const char* value);
  JsonObject& Add(const char* key, int64_t value);
  JsonObject& Add(const char* key, uint64_t value);
  JsonObject& Add(const char* key, int value) { return Add(key, static_cast<int64_t>(value)); }
  JsonObject& Add(const char* key, unsigned value) { return Add(key, static_cast<uint64_t>(value)); }
  JsonObject& Add(const char* key, double value);
  JsonObject& Add(const char* key, bool value);
  // A value that is already JSON text (an array or an object).
  JsonObject& AddRaw(const char* key, const std::string& json);
  // The object on one line, without a line end.
  std::string Text() const;

 private:
  void Key(const char* key);
  std::string body_;
};

// A JSON string literal with its quotes.
std::string JsonString(const std::string& utf8);

// One value of a flat object: its text, and whether it was a string.
struct JsonField {
  std::string text;  // the string's contents, or the literal as written (12, true, null)
  bool isString = false;
};
using JsonFields = std::map<std::string, JsonField>;

// Reads one flat object: string, number, true, false and null values. False
// for anything else (nested values, trailing text, broken escapes).
bool ParseFlatJson(const std::string& line, JsonFields* fields);

// Lookups with a fallback for a missing or mistyped field.
std::string FieldText(const JsonFields& fields, const char* key, const std::string& fallback = std::string());
int64_t FieldInt(const JsonFields& fields, const char* key, int64_t fallback = 0);
double FieldDouble(const JsonFields& fields, const char* key, double fallback = 0);

}  // namespace cli
