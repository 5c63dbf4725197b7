#include "cli/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cli/text.h"

namespace cli {

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonObject::Key(const char* key) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonString(key);
  body_ += ':';
}

JsonObject& JsonObject::Add(const char* key, const std::string& value) {
  Key(key);
  body_ += JsonString(value);
  return *this;
}

JsonObject& JsonObject::Add(const char* key, const char* value) { return Add(key, std::string(value ? value : "")); }

JsonObject& JsonObject::Add(const char* key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Add(const char* key, uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Add(const char* key, double value) {
  Key(key);
  // JSON has no infinities or NaN.
  if (!std::isfinite(value)) {
    body_ += "null";
    return *this;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.1f", value);
  body_ += text;
  return *this;
}

JsonObject& JsonObject::Add(const char* key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddRaw(const char* key, const std::string& json) {
  Key(key);
  body_ += json;
  return *this;
}

std::string JsonObject::Text() const { return "{" + body_ + "}"; }

namespace {

class FlatReader {
 public:
  explicit FlatReader(const std::string& text) : text_(text) {}

  bool Read(JsonFields* fields) {
    Blanks();
    if (!Take('{')) return false;
    Blanks();
    if (Take('}')) return AtEnd();
    for (;;) {
      std::string key;
      JsonField value;
      Blanks();
      if (!String(&key)) return false;
      Blanks();
      if (!Take(':')) return false;
      Blanks();
      if (!Value(&value)) return false;
      (*fields)[key] = value;
      Blanks();
      if (Take(',')) continue;
      if (Take('}')) return AtEnd();
      return false;
    }
  }

 private:
  bool AtEnd() {
    Blanks();
    return at_ == text_.size();
  }
  void Blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
      ++at_;
  }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Hex4(unsigned* value) {
    if (at_ + 4 > text_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      unsigned digit;
      if (c >= '0' && c <= '9')
        digit = unsigned(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = unsigned(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = unsigned(c - 'A' + 10);
      else
        return false;
      *value = *value * 16 + digit;
    }
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          *out += e;
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'u': {
          unsigned unit;
          if (!Hex4(&unit)) return false;
          std::wstring one;
          if (unit >= 0xD800 && unit <= 0xDBFF && at_ + 6 <= text_.size() && text_[at_] == '\\' &&
              text_[at_ + 1] == 'u') {
            const size_t mark = at_;
            at_ += 2;
            unsigned low;
            if (Hex4(&low) && low >= 0xDC00 && low <= 0xDFFF) {
              const char32_t c32 = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
              if (sizeof(wchar_t) == 2) {
                one += static_cast<wchar_t>(unit);
                one += static_cast<wchar_t>(low);
              } else {
                one += static_cast<wchar_t>(c32);
              }
            } else {
              at_ = mark;
              one += static_cast<wchar_t>(0xFFFD);
            }
          } else {
            one += static_cast<wchar_t>(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
          }
          *out += Utf8(one);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Literal(const char* word, JsonField* value) {
    size_t n = 0;
    while (word[n]) ++n;
    if (text_.compare(at_, n, word) != 0) return false;
    value->text = word;
    at_ += n;
    return true;
  }
  bool Number(JsonField* value) {
    const size_t start = at_;
    Take('-');
    size_t digits = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_, ++digits;
    if (digits == 0) return false;
    if (Take('.')) {
      digits = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_, ++digits;
      if (digits == 0) return false;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      digits = 0;
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_, ++digits;
      if (digits == 0) return false;
    }
    value->text = text_.substr(start, at_ - start);
    return true;
  }
  bool Value(JsonField* value) {
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '"') {
      value->isString = true;
      return String(&value->text);
    }
    if (c == 't') return Literal("true", value);
    if (c == 'f') return Literal("false", value);
    if (c == 'n') return Literal("null", value);
    return Number(value);
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool ParseFlatJson(const std::string& line, JsonFields* fields) {
  fields->clear();
  FlatReader reader(line);
  if (reader.Read(fields)) return true;
  fields->clear();
  return false;
}

std::string FieldText(const JsonFields& fields, const char* key, const std::string& fallback) {
  auto it = fields.find(key);
  return it != fields.end() && it->second.isString ? it->second.text : fallback;
}

int64_t FieldInt(const JsonFields& fields, const char* key, int64_t fallback) {
  auto it = fields.find(key);
  if (it == fields.end() || it->second.isString || it->second.text == "null") return fallback;
  char* end = nullptr;
  const long long value = std::strtoll(it->second.text.c_str(), &end, 10);
  return end && *end == '\0' ? value : static_cast<int64_t>(std::strtod(it->second.text.c_str(), nullptr));
}

double FieldDouble(const JsonFields& fields, const char* key, double fallback) {
  auto it = fields.find(key);
  if (it == fields.end() || it->second.isString || it->second.text == "null") return fallback;
  return std::strtod(it->second.text.c_str(), nullptr);
}

}  // namespace cli
