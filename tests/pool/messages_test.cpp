// The three messages the client writes, byte for byte, and the text it makes of a pool's error.
#include <string>

#include <gtest/gtest.h>

#include "pool/json.h"
#include "pool/messages.h"

namespace tavo {
namespace {

TEST(Messages, SubscribeAndAuthorizeAreFixedPiecesAroundEscapedText) {
  EXPECT_EQ(subscribe_message("TavoVornic-QRB/1.1.0"),
            "{\"id\":1,\"method\":\"mining.subscribe\",\"params\":[\"TavoVornic-QRB/1.1.0\"]}\n");
  EXPECT_EQ(subscribe_message("a\"b\\c\n"),
            "{\"id\":1,\"method\":\"mining.subscribe\",\"params\":[\"a\\\"b\\\\c\\n\"]}\n");
  EXPECT_EQ(authorize_message("vx1qaddr.rig1"),
            "{\"id\":2,\"method\":\"mining.authorize\",\"params\":[\"vx1qaddr.rig1\",\"x\"]}\n");
  EXPECT_EQ(authorize_message("\"},{\"id\":9"),
            "{\"id\":2,\"method\":\"mining.authorize\",\"params\":[\"\\\"},{\\\"id\\\":9\",\"x\"]}\n");
}

TEST(Messages, SubmitWritesIdDecimalAndTimeAndNonceAsEightHexDigits) {
  EXPECT_EQ(submit_message(100, "vx1qaddr.rig1", "1f", "02000007", 0x5f5e1000, 255),
            "{\"id\":100,\"method\":\"mining.submit\",\"params\":[\"vx1qaddr.rig1\",\"1f\",\"02000007\","
            "\"5f5e1000\",\"000000ff\"]}\n");
  EXPECT_EQ(submit_message(18446744073709551615u, "u", "job\"1", "", 0, 0xFFFFFFFF),
            "{\"id\":18446744073709551615,\"method\":\"mining.submit\",\"params\":[\"u\",\"job\\\"1\","
            "\"\",\"00000000\",\"ffffffff\"]}\n");
}

TEST(Messages, EveryMessageIsOneJsonObjectOnOneLine) {
  const std::string hostile = std::string("\x01\x1f\"\\\n\r\t/\xc3\xa9\x7f", 12);
  for (const std::string& m : {subscribe_message(hostile), authorize_message(hostile),
                               submit_message(7, hostile, hostile, "00", 1, 2)}) {
    ASSERT_EQ(m.find('\n'), m.size() - 1) << m;
    JsonValue v;
    ASSERT_TRUE(json_parse(std::string_view(m).substr(0, m.size() - 1), v)) << m;
    const JsonValue* params = v.find("params");
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->array.at(0).string, hostile);
  }
}

TEST(ErrorText, FirstMatchingRuleWins) {
  struct Case {
    const char* error_json;  // null: no error member
    const char* text;
  };
  const Case cases[] = {
      {nullptr, "rejected"},
      {"null", "rejected"},
      {"true", "rejected"},
      {"23", "rejected"},
      {R"([23,"low difficulty share",null])", "low difficulty share"},
      {R"([21,"stale"])", "stale"},
      {R"([21,42,null])", ""},  // a message that is not text
      {R"([21])", "rejected"},
      {"[]", "rejected"},
      {R"("job not found")", "job not found"},
      {R"("")", ""},
      {R"({"code":21,"message":"stale work"})", "stale work"},
      {R"({"code":21,"message":5})", "rejected"},
      {R"({"code":21})", "rejected"},
  };
  for (const auto& c : cases) {
    if (c.error_json == nullptr) {
      EXPECT_EQ(error_text(nullptr), c.text);
      continue;
    }
    JsonValue v;
    ASSERT_TRUE(json_parse(c.error_json, v)) << c.error_json;
    EXPECT_EQ(error_text(&v), c.text) << c.error_json;
  }
}

}  // namespace
}  // namespace tavo
