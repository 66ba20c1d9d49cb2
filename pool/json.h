// A small JSON reader and escaper for the pool's line-delimited JSON-RPC.
//
// JsonValue is a value tree: every alternative is held side by side and only the one named by
// `kind` is meaningful; the others stay empty or zero, so a handler may read `string` of a
// number (empty) or `number` of a string (0) without checking the kind first. A value owns its
// whole subtree. Nothing here keeps global state: any thread may parse or escape at any time,
// and a tree is used by one thread at a time.
//
// The reader is strict about structure (brackets, commas, colons, quoted keys, whole-text
// consumption) and lenient about numbers: a number is the longest run of sign, digit, point and
// exponent characters, converted in the "C" locale with whatever does not convert ignored.
// Non-empty containers nest at most 31 deep, so recursion stays shallow.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavo {

enum class JsonKind : std::int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Object = 4, Array = 5 };

struct JsonValue {
  // Declared here and defaulted below the class: a value holds vectors of itself, and the
  // special members may only be generated once the type is complete.
  JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  JsonKind kind = JsonKind::Null;
  bool boolean = false;
  double number = 0.0;
  std::string string;                                    // decoded bytes; escapes as UTF-8
  std::vector<JsonValue> array;                          // document order
  std::vector<std::pair<std::string, JsonValue>> object; // document order, duplicates kept

  // For an Object: the value of the first member whose key equals `key` byte for byte.
  // Null for any other kind or when no member matches.
  const JsonValue* find(std::string_view key) const;
};

inline JsonValue::JsonValue() = default;
inline JsonValue::JsonValue(const JsonValue&) = default;
inline JsonValue::JsonValue(JsonValue&&) noexcept = default;
inline JsonValue& JsonValue::operator=(const JsonValue&) = default;
inline JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
inline JsonValue::~JsonValue() = default;

// The deepest level a non-empty Array or Object may sit at, counting the top value as 1.
inline constexpr int kJsonMaxDepth = 32;

// Parses one whole document. Resets `out` first; returns true only when `text` holds exactly
// one value with optional whitespace around it. After false, `out` holds a partial tree.
bool json_parse(std::string_view text, JsonValue& out);

// The member's string when `object` has a String member `key`, else `fallback`.
std::string get_string(const JsonValue& object, std::string_view key, std::string_view fallback);

// The member's number when `object` has a Number member `key`, else `fallback`.
double get_number(const JsonValue& object, std::string_view key, double fallback);

// `text` escaped for the inside of a JSON string (no quotes added). Quote, backslash and control
// bytes are escaped; every other byte, UTF-8 included, passes unchanged.
std::string json_escape(std::string_view text);

}  // namespace tavo
