#include "pool/json.h"

#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace tavo {
namespace {

// The pool's numbers use a full stop whatever locale the process runs in, so conversion goes
// through a private "C" locale instead of the global one.
locale_t c_locale() {
  static const locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

double to_double(const std::string& text) {
  const locale_t loc = c_locale();
  if (loc == static_cast<locale_t>(nullptr)) return std::strtod(text.c_str(), nullptr);
  return strtod_l(text.c_str(), nullptr, loc);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : pos_(text.data()), end_(text.data() + text.size()) {}

  bool document(JsonValue& out) {
    if (!value(out)) return false;
    skip_space();
    return pos_ == end_;
  }

 private:
  void skip_space() {
    while (pos_ != end_ && is_space(*pos_)) ++pos_;
  }

  bool value(JsonValue& out) {
    skip_space();
    if (pos_ == end_) return false;
    switch (*pos_) {
      case '"':
        ++pos_;
        out.kind = JsonKind::String;
        return string(out.string);
      case '[':
        ++pos_;
        return array(out);
      case '{':
        ++pos_;
        return object(out);
      case 't':
        return literal("true", JsonKind::Bool, true, out);
      case 'f':
        return literal("false", JsonKind::Bool, false, out);
      case 'n':
        return literal("null", JsonKind::Null, false, out);
      default:
        return number(out);
    }
  }

  bool literal(std::string_view word, JsonKind kind, bool flag, JsonValue& out) {
    if (static_cast<std::size_t>(end_ - pos_) < word.size()) return false;
    if (std::string_view(pos_, word.size()) != word) return false;
    pos_ += word.size();
    out.kind = kind;
    out.boolean = flag;
    return true;
  }

  bool number(JsonValue& out) {
    const char* start = pos_;
    if (*pos_ == '+' || *pos_ == '-') ++pos_;
    while (pos_ != end_ && is_number_char(*pos_)) ++pos_;
    if (pos_ == start) return false;
    out.kind = JsonKind::Number;
    out.number = to_double(std::string(start, pos_));
    return true;
  }

  // Raises the depth for the contents of a non-empty container; false past the limit.
  bool enter() { return ++depth_ <= kJsonMaxDepth; }
  void leave() { --depth_; }

  bool array(JsonValue& out) {
    out.kind = JsonKind::Array;
    skip_space();
    if (pos_ != end_ && *pos_ == ']') {
      ++pos_;
      return true;
    }
    if (!enter()) return false;
    for (;;) {
      out.array.emplace_back();
      if (!value(out.array.back())) return false;
      skip_space();
      if (pos_ == end_) return false;
      const char c = *pos_++;
      if (c == ']') break;
      if (c != ',') return false;
    }
    leave();
    return true;
  }

  bool object(JsonValue& out) {
    out.kind = JsonKind::Object;
    skip_space();
    if (pos_ != end_ && *pos_ == '}') {
      ++pos_;
      return true;
    }
    if (!enter()) return false;
    for (;;) {
      skip_space();
      if (pos_ == end_ || *pos_ != '"') return false;
      ++pos_;
      out.object.emplace_back();
      auto& member = out.object.back();
      if (!string(member.first)) return false;
      skip_space();
      if (pos_ == end_ || *pos_ != ':') return false;
      ++pos_;
      if (!value(member.second)) return false;
      skip_space();
      if (pos_ == end_) return false;
      const char c = *pos_++;
      if (c == '}') break;
      if (c != ',') return false;
    }
    leave();
    return true;
  }

  // Reads four hex digits at `p` (caller checked they are there); -1 when one is not hex.
  static long hex4(const char* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex_digit(p[i]);
      if (d < 0) return -1;
      v = (v << 4) | d;
    }
    return v;
  }

  bool string(std::string& out) {
    for (;;) {
      if (pos_ == end_) return false;
      const char c = *pos_++;
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ == end_) return false;
      const char e = *pos_++;
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u':
          if (!unicode_escape(out)) return false;
          break;
        default:
          return false;
      }
    }
  }

  // After "\u": four hex digits, and for a high surrogate an immediately following low one.
  bool unicode_escape(std::string& out) {
    if (end_ - pos_ < 4) return false;
    const long cp = hex4(pos_);
    if (cp < 0) return false;
    pos_ += 4;
    if (cp >= 0xD800 && cp <= 0xDBFF && end_ - pos_ >= 6 && pos_[0] == '\\' && pos_[1] == 'u') {
      const long low = hex4(pos_ + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        pos_ += 6;
        append_utf8(out, 0x10000 + (static_cast<std::uint32_t>(cp) - 0xD800) * 0x400 +
                             (static_cast<std::uint32_t>(low) - 0xDC00));
        return true;
      }
    }
    // A surrogate without its partner is kept as its own three bytes; the pool's text is
    // passed on, not judged.
    append_utf8(out, static_cast<std::uint32_t>(cp));
    return true;
  }

  const char* pos_;
  const char* end_;
  int depth_ = 1;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind != JsonKind::Object) return nullptr;
  for (const auto& member : object) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

bool json_parse(std::string_view text, JsonValue& out) {
  out = JsonValue();
  return JsonReader(text).document(out);
}

std::string get_string(const JsonValue& object, std::string_view key, std::string_view fallback) {
  const JsonValue* v = object.find(key);
  if (v != nullptr && v->kind == JsonKind::String) return v->string;
  return std::string(fallback);
}

double get_number(const JsonValue& object, std::string_view key, double fallback) {
  const JsonValue* v = object.find(key);
  if (v != nullptr && v->kind == JsonKind::Number) return v->number;
  return fallback;
}

std::string json_escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out.push_back(kHex[b >> 4]);
          out.push_back(kHex[b & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

}  // namespace tavo
