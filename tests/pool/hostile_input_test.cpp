// Nothing a pool sends may crash or wedge the client: every field of every message with every
// JSON kind, huge and deeply nested values, invalid UTF-8, and a large set of random mutations of
// real messages. Whatever happens must be one of the client's own reports, and every job it hands
// on must still keep the promises the miner relies on.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pool/stratum.h"
#include "tests/pool/recorder.h"

namespace tavo {
namespace {

const std::string kPrev(64, '1');
const std::string kCoinb1 = std::string(84, '0') + "0301000011";

std::vector<std::string> good_notify_params() {
  return {R"("j")", "\"" + kPrev + "\"", "\"" + kCoinb1 + "\"", R"("")", "[]",
          R"("20000000")", R"("1d00ffff")", R"("5f5e1000")", "false"};
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out;
}

// JSON values of every kind, including ones at the limits of the reader.
std::vector<std::string> odd_values() {
  std::vector<std::string> v = {"null", "true", "false", "0", "-1", "8.9", "1e308", "-1e400", "1e-400",
                                R"("")", R"("x")", R"("zz")", R"("00")", "[]", "{}", R"(["00",4])",
                                R"({"message":"m"})", "\"\xff\xfe\xc3\"", R"("\u0000\ud800")"};
  v.push_back(std::string(30, '[') + "1" + std::string(30, ']'));
  v.push_back("\"" + std::string(60000, 'a') + "\"");
  v.push_back(std::string(20000, '9'));
  std::string many = "[";
  for (int i = 0; i < 2000; ++i) many += (i ? ",\"" : "\"") + std::string(64, 'f') + "\"";
  v.push_back(many + "]");
  return v;
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override { rec.attach(client); }

  // Every report is one of the client's own lines, and every job is one the miner may use.
  void expect_sane() {
    static const std::vector<std::string> exact = {
        "unreadable message ignored",        "mining.notify: too few parameters",
        "mining.notify: malformed prevhash",  "mining.notify: malformed coinbase",
        "mining.notify: malformed merkle branch", "mining.notify: malformed version/bits/ntime",
        "the pool asked us to reconnect",     "unusable extranonce1",
        "unsupported extranonce2 size"};
    static const std::vector<std::string> prefixes = {
        "difficulty set to ",        "extranonce1 changed to ", "pool: ", "mining.subscribe failed: ",
        "subscribed: extranonce1=", "authorized as ",          "authorization refused for '"};
    for (const std::string& text : rec.log_texts()) {
      bool known = false;
      for (const auto& e : exact) known = known || text == e;
      for (const auto& p : prefixes) known = known || text.rfind(p, 0) == 0;
      EXPECT_TRUE(known) << text.substr(0, 200);
    }
    std::uint64_t seq = 0;
    for (const Job& job : rec.jobs()) {
      EXPECT_EQ(job.seq, ++seq);
      EXPECT_FALSE(job.coinb1.empty());
      EXPECT_GE(job.extranonce2_size, 1);
      EXPECT_LE(job.extranonce2_size, 8);
    }
  }

  test::Recorder rec;
  Stratum client;
};

TEST_F(HostileInputTest, EveryFieldWithEveryKind) {
  const auto values = odd_values();
  const char* methods[] = {"mining.notify", "mining.set_difficulty", "mining.set_extranonce",
                           "client.show_message", "client.reconnect"};
  for (const std::string& v : values) {
    for (const char* m : methods) {
      client.handle_line(std::string(R"({"method":")") + m + R"(","params":)" + v + "}");
      client.handle_line(std::string(R"({"method":")") + m + R"(","params":[)" + v + "]}");
      client.handle_line(std::string(R"({"method":")") + m + R"(","params":[)" + v + "," + v + "]}");
    }
    for (std::size_t i = 0; i < 9; ++i) {
      auto params = good_notify_params();
      params[i] = v;
      client.handle_line(R"({"method":"mining.notify","params":[)" + join(params) + "]}");
    }
    for (const char* id : {"1", "2", "100", "0"}) {
      client.handle_line(std::string(R"({"id":)") + id + R"(,"result":)" + v + R"(,"error":)" + v + "}");
      client.handle_line(std::string(R"({"id":)") + id + R"(,"result":[)" + v + "," + v + "," + v + "]}");
    }
    client.handle_line(R"({"id":)" + v + R"(,"method":)" + v + R"(,"params":)" + v + "}");
    client.handle_line(v);
  }
  EXPECT_GT(rec.jobs().size(), 0u);
  expect_sane();
}

TEST_F(HostileInputTest, RandomMutationsOfRealMessages) {
  const std::vector<std::string> seeds = {
      R"({"id":1,"result":[[["mining.notify","ae6812eb4cd7735a302a8a9dd95cf71f"]],"f000000a",4],"error":null})",
      R"({"id":2,"result":true,"error":null})",
      R"({"id":100,"result":false,"error":[23,"low difficulty share",null]})",
      R"({"id":null,"method":"mining.set_difficulty","params":[0.5]})",
      R"({"id":null,"method":"mining.set_extranonce","params":["08000002",4]})",
      R"({"id":null,"method":"client.show_message","params":["hi \u00e9 \ud83d\ude00"]})",
      R"({"id":null,"method":"mining.notify","params":[)" + join(good_notify_params()) + "]}",
  };
  std::mt19937 rng(20240611);
  const char alphabet[] = "{}[]\":,.-+eE0123456789abcdefnultrsx \\u\t\r\xff\x80";
  for (int round = 0; round < 20000; ++round) {
    std::string line = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !line.empty(); ++e) {
      const std::size_t at = rng() % line.size();
      switch (rng() % 4) {
        case 0: line[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
        case 1: line.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
        case 2: line.erase(at, 1 + rng() % 8); break;
        default: line.insert(at, line.substr(at, rng() % 40)); break;
      }
    }
    client.handle_line(line);
  }
  EXPECT_GT(rec.jobs().size(), 0u);
  EXPECT_GT(rec.count("unreadable message ignored"), 0u);
  expect_sane();
}

TEST_F(HostileInputTest, HugeAndDeeplyNestedLines) {
  const std::size_t big = 65536;
  for (const std::string& text : {std::string(big, '['), std::string(big, '{'), std::string(big, '1'),
                                  "\"" + std::string(big - 2, '\\') + "\"",
                                  "[" + std::string(big / 2, '-') + "]",
                                  R"({"method":"client.show_message","params":[")" + std::string(big - 60, 'x') + "\"]}"}) {
    client.handle_line(text);
  }
  std::string surrogates = R"({"method":"client.show_message","params":[")";
  while (surrogates.size() < big - 10) surrogates += "\\ud83d";
  client.handle_line(surrogates + "\"]}");
  std::string nested = R"({"method":"mining.notify","params":)";
  for (int i = 0; i < 5000; ++i) nested += "[{\"a\":";
  client.handle_line(nested);
  expect_sane();
  // The brackets and the nested notification are unreadable; the rest are valid documents.
  EXPECT_EQ(rec.count("unreadable message ignored"), 3u);
  EXPECT_EQ(rec.log_texts().size(), 5u);
  EXPECT_TRUE(rec.jobs().empty());
}

}  // namespace
}  // namespace tavo
