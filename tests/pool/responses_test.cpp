// Responses and the notifications that are not about work, driven straight into handle_line of a
// client that never connected: authorization, share answers matched against the pending set,
// show_message, reconnect requests and unreadable lines.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pool/stratum.h"
#include "tests/pool/recorder.h"

namespace tavo {
namespace {

using Shares = std::vector<std::pair<bool, std::string>>;

class ResponsesTest : public ::testing::Test {
 protected:
  void SetUp() override { rec.attach(client); }
  void line(const std::string& text) { client.handle_line(text); }
  void authorize() { line(R"({"id":2,"result":true,"error":null})"); }
  void submit() { client.submit("job", "00000000", 1, 2); }

  test::Recorder rec;
  Stratum client;
};

TEST_F(ResponsesTest, ShareAnswersMatchPendingIdsExactlyOnce) {
  authorize();
  ASSERT_TRUE(client.authorized());
  for (int i = 0; i < 8; ++i) submit();  // ids 100..107; the writes fail silently: no connection
  const std::vector<std::string> answers = {
      R"({"id":100,"result":true,"error":[1,"ignored when accepted",null]})",
      R"({"id":100,"result":true,"error":null})",   // answered twice: ignored
      R"({"id":101,"result":false,"error":[21,"stale",null]})",
      R"({"id":102,"result":null,"error":{"code":1,"message":"bad nonce"}})",
      R"({"id":103,"result":false,"error":"text error"})",
      R"({"id":104,"result":false,"error":null})",
      R"({"id":105,"result":"true"})",              // only a boolean true accepts
      R"({"id":999,"result":true,"error":null})",   // never sent
      R"({"id":"106","result":true})",              // a string id reads as 0
      R"([106,true,null])",                          // not an object: id 0
      R"({"id":1e300,"result":true})",
      R"({"id":-106,"result":true})",
      R"({"id":106.9,"result":true})",              // truncated to 106
      R"({"result":true})",
  };
  for (const auto& a : answers) line(a);
  EXPECT_EQ(rec.shares(), (Shares{{true, ""},
                                  {false, "stale"},
                                  {false, "bad nonce"},
                                  {false, "text error"},
                                  {false, "rejected"},
                                  {false, "rejected"},
                                  {true, ""}}));
  // 107 is still pending; a notification that carries its id does not answer it.
  line(R"({"id":107,"method":"client.show_message","params":["hello"]})");
  EXPECT_EQ(rec.shares().size(), 7u);
  EXPECT_EQ(rec.log_texts().back(), "pool: hello");
  line(R"({"id":107,"result":false,"error":[23,"low difficulty share",null]})");
  EXPECT_EQ(rec.shares().back(), std::make_pair(false, std::string("low difficulty share")));
  EXPECT_EQ(rec.count("unreadable message ignored"), 0u);
}

TEST_F(ResponsesTest, SubmitsWhileNotAuthorizedTakeNoIdAndReachNobody) {
  submit();  // dropped: never authorized
  authorize();
  submit();  // 100
  line(R"({"id":2,"result":false,"error":[24,"unauthorized worker",null]})");
  EXPECT_FALSE(client.authorized());
  EXPECT_EQ(rec.log_texts().back(),
            "authorization refused for '': unauthorized worker — check the address matches the network");
  submit();  // dropped again
  authorize();
  submit();  // 101
  line(R"({"id":100,"result":true})");
  line(R"({"id":101,"result":true})");
  line(R"({"id":102,"result":true})");
  EXPECT_EQ(rec.shares(), (Shares{{true, ""}, {true, ""}}));
}

TEST_F(ResponsesTest, AuthorizationNeedsABooleanTrue) {
  const std::pair<std::string, std::string> refusals[] = {
      {R"({"id":2,"result":"true"})", "rejected"},
      {R"({"id":2,"result":1,"error":null})", "rejected"},
      {R"({"id":2,"result":false,"error":{"message":"bad address"}})", "bad address"},
      {R"({"id":2.5,"result":null,"error":"no"})", "no"},
  };
  for (const auto& [text, reason] : refusals) {
    authorize();
    ASSERT_TRUE(client.authorized());
    line(text);
    EXPECT_FALSE(client.authorized()) << text;
    EXPECT_EQ(rec.log_texts().back(),
              "authorization refused for '': " + reason + " — check the address matches the network");
  }
  EXPECT_EQ(rec.count("authorized as "), std::size(refusals));
}

TEST_F(ResponsesTest, ShowMessageReconnectAndUnknownMethods) {
  const std::pair<std::string, std::string> show[] = {
      {R"(["maintenance at noon"])", "pool: maintenance at noon"},
      {R"(["first","second"])", "pool: first"},
      {R"([""])", ""},
      {"[]", ""},
      {"[5]", ""},
      {R"("bare text")", ""},
      {R"({"0":"x"})", ""},
  };
  for (const auto& [params, text] : show) {
    const std::size_t before = rec.log_texts().size();
    line(R"({"method":"client.show_message","params":)" + params + "}");
    if (text.empty()) {
      EXPECT_EQ(rec.log_texts().size(), before) << params;
    } else {
      EXPECT_EQ(rec.log_texts().back(), text) << params;
    }
  }
  authorize();
  line(R"({"id":null,"method":"client.reconnect","params":["evil.example",1,0]})");
  EXPECT_EQ(rec.log_texts().back(), "the pool asked us to reconnect");
  EXPECT_FALSE(client.authorized());

  const std::size_t before = rec.log_texts().size();
  for (const std::string text : {R"({"id":5,"method":"mining.ping","params":[]})",
                                  R"({"method":"Mining.Notify","params":[]})",
                                  R"({"method":"client.show_message ","params":["x"]})",
                                  R"({"method":"client.get_version"})"}) {
    line(text);
  }
  EXPECT_EQ(rec.log_texts().size(), before);
  EXPECT_TRUE(rec.jobs().empty());
  EXPECT_TRUE(rec.shares().empty());
}

TEST_F(ResponsesTest, UnreadableLinesAreReportedAndDropped) {
  for (const std::string& text : std::vector<std::string>{"this is not json {", "{", R"({"id":1,"result":[[],"ab",4]} x)",
                                                         "\r", "", std::string("\x00", 1), "\xff\xfe{}"}) {
    const std::size_t before = rec.log_texts().size();
    line(text);
    ASSERT_EQ(rec.log_texts().size(), before + 1);
    EXPECT_EQ(rec.log_texts().back(), "unreadable message ignored");
  }
  // A carriage return left by a CRLF line end is whitespace to the reader.
  line("{\"method\":\"client.show_message\",\"params\":[\"crlf\"]}\r");
  EXPECT_EQ(rec.log_texts().back(), "pool: crlf");
}

}  // namespace
}  // namespace tavo
