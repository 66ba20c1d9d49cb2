// Fuzz target: the JSON reader and escaper the pool client reads every received line with.
//
// Beyond "no crash, no leak, no undefined behaviour" (the sanitizers), each input is held to
// properties a handler relies on:
//  - a tree that parsed keeps only the alternative its kind names, and never nests non-empty
//    containers deeper than the reader's limit (so handlers recurse a bounded amount);
//  - a document that parsed still parses, to the same tree, inside whitespace, as the only
//    element of an array and as the value of an object member (when the limit leaves room);
//  - any byte string, escaped and quoted, reads back as exactly itself: what the client writes
//    into its messages cannot break out of its string.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "pool/json.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using tavo::JsonKind;
using tavo::JsonValue;

// Depth of nested non-empty containers, the outermost counting 1; 0 for a scalar or empty one.
int nesting(const JsonValue& v) {
  int inner = 0;
  for (const JsonValue& e : v.array) inner = std::max(inner, nesting(e));
  for (const auto& m : v.object) inner = std::max(inner, nesting(m.second));
  const bool filled = !v.array.empty() || !v.object.empty();
  return filled ? inner + 1 : 0;
}

// Only the alternative named by the kind carries anything.
void check_alternatives(const JsonValue& v) {
  if (v.kind != JsonKind::Bool) FUZZ_CHECK(!v.boolean);
  if (v.kind != JsonKind::Number) FUZZ_CHECK(v.number == 0.0);
  if (v.kind != JsonKind::String) FUZZ_CHECK(v.string.empty());
  if (v.kind != JsonKind::Array) FUZZ_CHECK(v.array.empty());
  if (v.kind != JsonKind::Object) FUZZ_CHECK(v.object.empty());
  for (const JsonValue& e : v.array) check_alternatives(e);
  for (const auto& m : v.object) {
    check_alternatives(m.second);
    // Lookups give the first member of a key, of whatever kind.
    FUZZ_CHECK(v.find(m.first) != nullptr);
  }
}

bool same(const JsonValue& a, const JsonValue& b) {
  if (a.kind != b.kind || a.boolean != b.boolean || a.string != b.string ||
      a.array.size() != b.array.size() || a.object.size() != b.object.size()) {
    return false;
  }
  // Numbers come from the same text through the same conversion: bit-identical or both NaN.
  if (!(a.number == b.number) && !(a.number != a.number && b.number != b.number)) return false;
  for (std::size_t i = 0; i < a.array.size(); ++i) {
    if (!same(a.array[i], b.array[i])) return false;
  }
  for (std::size_t i = 0; i < a.object.size(); ++i) {
    if (a.object[i].first != b.object[i].first || !same(a.object[i].second, b.object[i].second)) {
      return false;
    }
  }
  return true;
}

void check_contexts(std::string_view text, const JsonValue& tree) {
  JsonValue again;
  FUZZ_CHECK(tavo::json_parse(" \t" + std::string(text) + "\r\n ", again));
  FUZZ_CHECK(same(tree, again));
  if (nesting(tree) >= tavo::kJsonMaxDepth - 1) return;  // no room for one more level
  JsonValue wrapped;
  FUZZ_CHECK(tavo::json_parse("[" + std::string(text) + "]", wrapped));
  FUZZ_CHECK(wrapped.kind == JsonKind::Array && wrapped.array.size() == 1);
  FUZZ_CHECK(same(tree, wrapped.array[0]));
  JsonValue member;
  FUZZ_CHECK(tavo::json_parse("{\"k\":" + std::string(text) + "}", member));
  const JsonValue* found = member.find("k");
  FUZZ_CHECK(found != nullptr && same(tree, *found));
}

void check_escape(std::string_view raw) {
  const std::string escaped = tavo::json_escape(raw);
  for (const char c : escaped) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  JsonValue back;
  FUZZ_CHECK(tavo::json_parse("\"" + escaped + "\"", back));
  FUZZ_CHECK(back.kind == JsonKind::String);
  FUZZ_CHECK(back.string == raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonValue tree;
  if (tavo::json_parse(text, tree)) {
    FUZZ_CHECK(nesting(tree) < tavo::kJsonMaxDepth);
    check_alternatives(tree);
    (void)tavo::get_string(tree, "method", "");
    (void)tavo::get_number(tree, "id", 0.0);
    check_contexts(text, tree);
  }
  check_escape(text);
  return 0;
}
