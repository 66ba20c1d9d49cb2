// The JSON reader's structure rules, number leniency, strings and escapes, nesting limit,
// lookups and the escaper.
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "pool/json.h"
#include "tests/support/temp_dir.h"

namespace tavo {
namespace {

using namespace std::string_literals;

JsonValue parse_ok(const std::string& text) {
  JsonValue v;
  EXPECT_TRUE(json_parse(text, v)) << "text: " << text;
  return v;
}

bool parses(const std::string& text) {
  JsonValue v;
  return json_parse(text, v);
}

TEST(JsonStructure, AcceptsAndRejectsWholeDocuments) {
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"  {}  ", true},
      {"{} x", false},
      {"", false},
      {"   ", false},
      {"[1,]", false},
      {"{\"a\":1,}", false},
      {"{a:1}", false},
      {"[1 2]", false},
      {"[1,2]", true},
      {"\t\r\n[ 1 , \"a\" , true , false , null , { } , [ ] ]\r\n", true},
      {"{\"a\" : {\"b\" : [ ]} }", true},
      {"[", false},
      {"[1", false},
      {"{\"a\"", false},
      {"{\"a\":", false},
      {"{\"a\":1", false},
      {"{\"a\" 1}", false},
      {"\"abc", false},
      {"tru", false},
      {"true", true},
      {"truex", false},
      {"nul", false},
      {"null", true},
      {"fals", false},
      {"false", true},
      {"NaN", false},
      {"Infinity", false},
      {"]", false},
      {",", false},
      {":", false},
      {"\x01", false},
      {"[1]]", false},
      {"{}{}", false},
      {"\f{}", false},  // form feed is not whitespace here
  };
  for (const auto& c : cases) EXPECT_EQ(parses(c.text), c.ok) << "text: " << c.text;
}

TEST(JsonStructure, KeepsKindsOrderAndDuplicates) {
  const JsonValue v = parse_ok(R"({"b":true,"a":[1,"x",null,false,{}],"b":2})");
  ASSERT_EQ(v.kind, JsonKind::Object);
  ASSERT_EQ(v.object.size(), 3u);
  EXPECT_EQ(v.object[0].first, "b");
  EXPECT_EQ(v.object[1].first, "a");
  EXPECT_EQ(v.object[2].first, "b");
  const JsonValue* b = v.find("b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->kind, JsonKind::Bool);  // the first of two equal keys
  EXPECT_TRUE(b->boolean);
  const JsonValue* a = v.find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->array.size(), 5u);
  EXPECT_EQ(a->array[0].kind, JsonKind::Number);
  EXPECT_EQ(a->array[1].kind, JsonKind::String);
  EXPECT_EQ(a->array[2].kind, JsonKind::Null);
  EXPECT_EQ(a->array[3].kind, JsonKind::Bool);
  EXPECT_FALSE(a->array[3].boolean);
  EXPECT_EQ(a->array[4].kind, JsonKind::Object);
  EXPECT_EQ(a->find("b"), nullptr);  // arrays have no members
  EXPECT_EQ(v.find("c"), nullptr);
  EXPECT_EQ(v.find("b\0"s), nullptr);  // keys compare by length too
}

TEST(JsonStructure, AlternativesOfOtherKindsStayEmpty) {
  const JsonValue v = parse_ok(R"({"s":"12","n":12,"t":true,"o":{"k":1},"a":[1]})");
  EXPECT_EQ(get_number(v, "s", -1), -1);  // digits in a string are not a number
  EXPECT_EQ(get_number(v, "n", -1), 12);
  EXPECT_EQ(get_string(v, "n", "dflt"), "dflt");
  EXPECT_EQ(get_string(v, "s", "dflt"), "12");
  EXPECT_EQ(get_string(v, "missing", "dflt"), "dflt");
  for (const char* key : {"s", "t", "o", "a"}) {
    const JsonValue* m = v.find(key);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->number, 0.0) << key;
  }
  for (const char* key : {"n", "t", "o", "a"}) EXPECT_TRUE(v.find(key)->string.empty()) << key;
  EXPECT_FALSE(v.find("n")->boolean);
  EXPECT_TRUE(v.find("o")->array.empty());
  EXPECT_TRUE(v.find("a")->object.empty());
  const JsonValue arr = parse_ok("[1]");
  EXPECT_EQ(get_string(arr, "x", "d"), "d");
  EXPECT_EQ(get_number(arr, "x", 7), 7);
}

TEST(JsonNumbers, LenientRunsConvertAsFarAsTheyGo) {
  struct Case {
    std::string text;
    double value;
  };
  const Case cases[] = {
      {"-5", -5},       {"+5", 5},     {"-", 0},          {".", 0},         {"e", 0},
      {"1.5.5", 1.5},   {"1-2", 1},    {"0", 0},          {"-0.25", -0.25}, {"1e3", 1000},
      {"1E-2", 0.01},   {"007", 7},    {"+-3", 0},        {"2e", 2},        {"1e5e5", 1e5},
      {"  42  ", 42},   {"[3.5]", 0},  {"123456789012", 123456789012.0},
  };
  for (const auto& c : cases) {
    const JsonValue v = parse_ok(c.text);
    if (c.text == "[3.5]") {
      ASSERT_EQ(v.array.size(), 1u);
      EXPECT_EQ(v.array[0].number, 3.5);
      continue;
    }
    EXPECT_EQ(v.kind, JsonKind::Number) << c.text;
    EXPECT_EQ(v.number, c.value) << c.text;
  }
  const JsonValue big = parse_ok("1e400");
  EXPECT_TRUE(std::isinf(big.number));
  EXPECT_GT(big.number, 0);
  EXPECT_TRUE(std::isinf(parse_ok("-1e400").number));
  EXPECT_FALSE(parses("0x10"));
  EXPECT_FALSE(parses("1 2"));
}

// Switches LC_NUMERIC to a locale whose decimal mark is a comma; compiles one into `dir` with
// localedef when the system has none installed. Returns the name, or null.
const char* comma_locale(const std::string& dir) {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) return name;
  }
  const std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return nullptr;
  setenv("LOCPATH", dir.c_str(), 1);
  return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ? "de_DE.UTF-8" : nullptr;
}

TEST(JsonNumbers, IgnoresTheProcessLocale) {
  test::TempDir dir;
  const char* chosen = comma_locale(dir.path());
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma is available";
  ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
  JsonValue v;
  const bool ok = json_parse("[1.5,-0.25]", v);
  std::setlocale(LC_NUMERIC, "C");
  ASSERT_TRUE(ok);
  EXPECT_EQ(v.array[0].number, 1.5) << chosen;
  EXPECT_EQ(v.array[1].number, -0.25) << chosen;
}

TEST(JsonStrings, EscapesAndRawBytes) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  const Case cases[] = {
      {R"("a\"b\\c\/d")", "a\"b\\c/d"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\u0000")", "\0"s},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\uD83D")", "\xED\xA0\xBD"},
      {R"("\ud83dx")", "\xED\xA0\xBDx"},
      {R"("\ude00")", "\xED\xB8\x80"},
      {R"("\ud83d\u0041")", "\xED\xA0\xBD" "A"},     // a non-low escape is read on its own
      {R"("\ud83d\ud83d\ude00")", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
      {"\"tab\there\x01\"", "tab\there\x01"},
      {"\"\xC3\xA9\xFF\xFE\"", "\xC3\xA9\xFF\xFE"},   // bytes as received, valid UTF-8 or not
  };
  for (const auto& c : cases) {
    const JsonValue v = parse_ok(c.text);
    EXPECT_EQ(v.kind, JsonKind::String) << c.text;
    EXPECT_EQ(v.string, c.bytes) << c.text;
  }
  for (const std::string bad : {R"("\x")", R"("\u12")", R"("\u12G4")", "\"abc\\", R"("\ud83d\u12")",
                                 R"("\ud83d\uZZZZ")", "\"\\", R"("\U0041")"}) {
    EXPECT_FALSE(parses(bad)) << bad;
  }
}

std::string nested_arrays(int depth, const std::string& inner) {
  return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
}

TEST(JsonNesting, ThirtyOneNonEmptyLevelsParseThirtyTwoFail) {
  EXPECT_TRUE(parses(nested_arrays(31, "1")));
  EXPECT_FALSE(parses(nested_arrays(32, "1")));
  // An empty container closes before the limit applies.
  EXPECT_TRUE(parses(nested_arrays(31, "[]")));
  EXPECT_TRUE(parses(nested_arrays(31, "{}")));
  std::string objects;
  for (int i = 0; i < 31; ++i) objects += "{\"k\":";
  objects += "1" + std::string(31, '}');
  EXPECT_TRUE(parses(objects));
  EXPECT_FALSE(parses("{\"k\":" + objects + "}"));
  // Far beyond the limit: rejected at once instead of recursing.
  EXPECT_FALSE(parses(std::string(1000000, '[')));
  EXPECT_FALSE(parses(nested_arrays(100000, "1")));
}

TEST(JsonParse, ResetsTheOutputFirst) {
  JsonValue v;
  ASSERT_TRUE(json_parse(R"({"a":[1,2]})", v));
  ASSERT_TRUE(json_parse("7", v));
  EXPECT_EQ(v.kind, JsonKind::Number);
  EXPECT_TRUE(v.object.empty());
  EXPECT_TRUE(v.array.empty());
}

TEST(JsonEscape, EscapesOnlyQuoteBackslashAndControlBytes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\n\r\t", "\\n\\r\\t"},
      {"\x08", "\\u0008"},
      {"\x1b", "\\u001b"},
      {"\x0c", "\\u000c"},
      {"\0"s, "\\u0000"},
      {"\x7f", "\x7f"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a/b", "a/b"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.out) << c.in;
}

TEST(JsonEscape, EveryByteRoundTripsThroughTheReader) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  JsonValue v;
  std::string quoted = "\"";
  quoted += json_escape(all);
  quoted += '"';
  ASSERT_TRUE(json_parse(quoted, v));
  EXPECT_EQ(v.string, all);
}

}  // namespace
}  // namespace tavo
