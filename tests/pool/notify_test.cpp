// Received lines driven straight into handle_line of a client that never connected: the subscribe
// result, mining.notify with its checks in order, difficulty and extranonce changes, job
// numbering. Every callback runs on the test thread here.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pool/hex.h"
#include "pool/stratum.h"
#include "pool/targets.h"
#include "tests/pool/recorder.h"

namespace tavo {
namespace {

// Bytes 00 01 02 ... 1f.
const std::string kPrevHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
// Version, one input, a null previous output, script length, then the height push 03 40 0d 03.
const std::string kCoinb1Hex = "01000000" "01" + std::string(64, '0') + "ffffffff" "2a" "03400d03" "ee";
const std::string kBranchHex = std::string(62, 'a') + "01";

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

// The parameters of a well-formed notification, as JSON texts, ready to be spoiled one by one.
std::vector<std::string> good_params(const std::string& job_id = "job1") {
  return {quoted(job_id), quoted(kPrevHex),     quoted(kCoinb1Hex), quoted(""),  "[" + quoted(kBranchHex) + "]",
          quoted("20000000"), quoted("1d00ffff"), quoted("5f5e1000"), "true"};
}

std::string notify_line(const std::vector<std::string>& params) {
  std::string line = R"({"id":null,"method":"mining.notify","params":[)";
  for (std::size_t i = 0; i < params.size(); ++i) line += (i ? "," : "") + params[i];
  return line + "]}";
}

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { rec.attach(client); }

  void line(const std::string& text) { client.handle_line(text); }
  void subscribe(const std::string& extranonce1 = "f000000a", const std::string& size = "4") {
    line(R"({"id":1,"result":[[["mining.notify","1"]],")" + extranonce1 + "\"," + size + R"(],"error":null})");
  }
  void difficulty(const std::string& value) {
    line(R"({"id":null,"method":"mining.set_difficulty","params":[)" + value + "]}");
  }

  test::Recorder rec;
  Stratum client;
};

TEST_F(NotifyTest, BuildsTheJobFromTheNotificationAndTheConnection) {
  subscribe("F000000A", "6");
  EXPECT_EQ(rec.log_texts(), std::vector<std::string>{"subscribed: extranonce1=f000000a extranonce2 size=6"});
  auto params = good_params();
  params.push_back("\"an extra parameter is ignored\"");
  line(notify_line(params));
  ASSERT_EQ(rec.jobs().size(), 1u);
  const Job job = rec.jobs()[0];
  EXPECT_EQ(job.seq, 1u);
  EXPECT_EQ(job.job_id, "job1");
  EXPECT_EQ(hex_encode(job.prev_hash), "03020100070605040b0a09080f0e0d0c13121110171615141b1a19181f1e1d1c");
  EXPECT_EQ(hex_encode(job.coinb1), kCoinb1Hex);
  EXPECT_TRUE(job.coinb2.empty());
  ASSERT_EQ(job.merkle_branches.size(), 1u);
  EXPECT_EQ(hex_encode(job.merkle_branches[0]), kBranchHex);  // not reversed
  EXPECT_EQ(job.version, 0x20000000u);
  EXPECT_EQ(job.nbits, 0x1d00ffffu);
  EXPECT_EQ(job.ntime, 0x5f5e1000u);
  EXPECT_TRUE(job.clean_jobs);
  EXPECT_EQ(hex_encode(job.extranonce1), "f000000a");
  EXPECT_EQ(job.extranonce2_size, 6);
  EXPECT_EQ(job.share_target, difficulty_to_target(1.0));  // no difficulty announced yet
  EXPECT_EQ(job.block_target, nbits_to_target(0x1d00ffff));
  EXPECT_EQ(job.height, 200000u);
  EXPECT_EQ(rec.log_texts().size(), 1u);  // a good notification reports nothing
}

TEST_F(NotifyTest, ChecksRunInOrderAndOnlyTheFirstFailureIsReported) {
  const std::string too_few = "mining.notify: too few parameters";
  const std::string prevhash = "mining.notify: malformed prevhash";
  const std::string coinbase = "mining.notify: malformed coinbase";
  const std::string merkle = "mining.notify: malformed merkle branch";
  const std::string fields = "mining.notify: malformed version/bits/ntime";
  struct Case {
    std::vector<std::pair<std::size_t, std::string>> spoil;  // parameter index -> JSON text
    std::string message;                                     // empty: accepted
  };
  const Case cases[] = {
      {{{1, quoted(kPrevHex.substr(2))}}, prevhash},            // 62 digits
      {{{1, quoted(kPrevHex + "00")}}, prevhash},               // 66 digits
      {{{1, quoted("g" + kPrevHex.substr(1))}}, prevhash},
      {{{1, "null"}}, prevhash},
      {{{2, quoted("")}}, coinbase},                            // coinb1 must hold a byte
      {{{2, quoted("abc")}}, coinbase},
      {{{3, quoted("zz")}}, coinbase},
      {{{2, "[]"}}, coinbase},
      {{{4, "null"}}, merkle},
      {{{4, "[" + quoted(kBranchHex.substr(1)) + "]"}}, merkle},  // 63 digits
      {{{4, "[" + quoted(kBranchHex) + ",5]"}}, merkle},
      {{{4, "[" + quoted(std::string(63, 'a') + "g") + "]"}}, merkle},
      {{{4, quoted(kBranchHex)}}, merkle},
      {{{5, quoted("2000000")}}, fields},                       // 7 digits
      {{{6, quoted("1d00ffff0")}}, fields},
      {{{7, quoted("5f5e100x")}}, fields},
      {{{7, "1600000000"}}, fields},
      // Several faults: the earliest check decides.
      {{{1, "1"}, {2, quoted("")}, {4, "null"}, {5, quoted("")}}, prevhash},
      {{{2, quoted("")}, {4, "null"}, {5, quoted("")}}, coinbase},
      {{{4, "{}"}, {6, "false"}}, merkle},
      // Accepted: empty coinb2, empty merkle list, any job id kind, any clean-jobs kind.
      {{{3, quoted("")}, {4, "[]"}}, ""},
      {{{0, "17"}, {8, "\"yes\""}}, ""},
      {{{5, quoted("FFFFFFFF")}}, ""},
  };
  std::size_t expected_jobs = 0;
  for (const auto& c : cases) {
    auto params = good_params();
    for (const auto& [index, text] : c.spoil) params[index] = text;
    const std::size_t logs_before = rec.log_texts().size();
    line(notify_line(params));
    const auto logs = rec.log_texts();
    if (c.message.empty()) {
      EXPECT_EQ(logs.size(), logs_before) << notify_line(params);
      ++expected_jobs;
    } else {
      ASSERT_EQ(logs.size(), logs_before + 1) << notify_line(params);
      EXPECT_EQ(logs.back(), c.message) << notify_line(params);
    }
    EXPECT_EQ(rec.jobs().size(), expected_jobs) << notify_line(params);
  }
  for (const std::string bad : {R"({"method":"mining.notify","params":{"0":"a"}})",
                                 R"({"method":"mining.notify","params":"job"})"}) {
    line(bad);
    EXPECT_EQ(rec.log_texts().back(), too_few);
  }
  auto eight = good_params();
  eight.pop_back();
  line(notify_line(eight));
  EXPECT_EQ(rec.log_texts().back(), too_few);
  // Without any params member there is nothing to build from and nothing to report.
  const std::size_t logs_before = rec.log_texts().size();
  line(R"({"method":"mining.notify"})");
  EXPECT_EQ(rec.log_texts().size(), logs_before);
  EXPECT_EQ(rec.jobs().size(), expected_jobs);
  const Job last = rec.jobs().back();
  EXPECT_EQ(last.version, 0xFFFFFFFFu);
}

TEST_F(NotifyTest, CleanJobsComesOnlyFromABoolean) {
  const std::pair<std::string, bool> cases[] = {{"true", true}, {"false", false}, {"1", false},
                                                {"\"true\"", false}, {"null", false}, {"[true]", false}};
  for (const auto& [text, clean] : cases) {
    auto params = good_params();
    params[8] = text;
    line(notify_line(params));
    EXPECT_EQ(rec.jobs().back().clean_jobs, clean) << text;
  }
}

TEST_F(NotifyTest, DifficultyChangeReissuesTheLastJobUnderANewSeq) {
  difficulty("2");  // before any job: stored and reported only
  EXPECT_EQ(rec.log_texts(), std::vector<std::string>{"difficulty set to 2"});
  EXPECT_TRUE(rec.jobs().empty());

  subscribe("aabbccdd", "4");
  line(notify_line(good_params("j1")));
  ASSERT_EQ(rec.jobs().size(), 1u);
  EXPECT_EQ(rec.jobs()[0].share_target, difficulty_to_target(2));

  difficulty("2.0");  // the same value: nothing
  EXPECT_EQ(rec.jobs().size(), 1u);
  EXPECT_EQ(rec.count("difficulty set to 2"), 1u);

  // A new extranonce reaches only later notifications, not the re-issued job.
  line(R"({"method":"mining.set_extranonce","params":["0102",2]})");
  difficulty("0.5");
  EXPECT_EQ(rec.log_texts().back(), "difficulty set to 0.5");
  ASSERT_EQ(rec.jobs().size(), 2u);
  Job reissued = rec.jobs()[1];
  const Job first = rec.jobs()[0];
  EXPECT_EQ(reissued.seq, 2u);
  EXPECT_EQ(reissued.share_target, difficulty_to_target(0.5));
  EXPECT_EQ(hex_encode(reissued.extranonce1), "aabbccdd");
  EXPECT_EQ(reissued.extranonce2_size, 4);
  reissued.seq = first.seq;
  reissued.share_target = first.share_target;
  EXPECT_TRUE(reissued.job_id == first.job_id && reissued.prev_hash == first.prev_hash &&
              reissued.coinb1 == first.coinb1 && reissued.coinb2 == first.coinb2 &&
              reissued.merkle_branches == first.merkle_branches && reissued.version == first.version &&
              reissued.nbits == first.nbits && reissued.ntime == first.ntime &&
              reissued.clean_jobs == first.clean_jobs && reissued.block_target == first.block_target &&
              reissued.height == first.height);

  line(notify_line(good_params("j2")));
  ASSERT_EQ(rec.jobs().size(), 3u);
  EXPECT_EQ(rec.jobs()[2].seq, 3u);
  EXPECT_EQ(hex_encode(rec.jobs()[2].extranonce1), "0102");
  EXPECT_EQ(rec.jobs()[2].extranonce2_size, 2);
  EXPECT_EQ(rec.jobs()[2].share_target, difficulty_to_target(0.5));
}

TEST_F(NotifyTest, DifficultyValuesThatAreIgnoredOrFormatted) {
  line(notify_line(good_params()));
  const std::size_t logs = rec.log_texts().size();
  for (const std::string params : {R"(["2"])", "[0]", "[-1]", "[]", "[null]", R"({"0":2})", "3", "[[2]]"}) {
    line(R"({"method":"mining.set_difficulty","params":)" + params + "}");
  }
  line(R"({"method":"mining.set_difficulty"})");
  EXPECT_EQ(rec.log_texts().size(), logs);
  EXPECT_EQ(rec.jobs().size(), 1u);

  const std::pair<std::string, std::string> formats[] = {
      {"65536", "difficulty set to 65536"}, {"0.001953125", "difficulty set to 0.00195312"},
      {"1e-5", "difficulty set to 1e-05"},   {"123456789", "difficulty set to 1.23457e+08"},
      {"[7, 8]", "difficulty set to 7"}};
  for (const auto& [value, text] : formats) {
    difficulty(value.front() == '[' ? value.substr(1, value.size() - 2) : value);
    EXPECT_EQ(rec.log_texts().back(), text);
  }
  EXPECT_EQ(rec.jobs().size(), 6u);  // each change re-issued the one job
}

TEST_F(NotifyTest, SetExtranonceKeepsTheSizeUnlessANewOneIsValid) {
  subscribe("00000001", "4");
  const std::size_t logs = rec.log_texts().size();
  for (const std::string params : {R"(["zz"])", R"([""])", "[]", "[5]", R"(["abc"])", R"({"0":"ab"})"}) {
    line(R"({"method":"mining.set_extranonce","params":)" + params + "}");
  }
  EXPECT_EQ(rec.log_texts().size(), logs);

  const struct {
    std::string params;
    std::string extranonce1;
    std::int32_t size;
  } cases[] = {
      {R"(["AB"])", "ab", 4},          {R"(["abcd",6])", "abcd", 6},  {R"(["01",9])", "01", 6},
      {R"(["02",0])", "02", 6},        {R"(["03","2"])", "03", 6},    {R"(["04",1.9])", "04", 1},
      {R"(["05",8,"x"])", "05", 8},    {R"(["06",5e9])", "06", 8},
  };
  for (const auto& c : cases) {
    line(R"({"method":"mining.set_extranonce","params":)" + c.params + "}");
    EXPECT_EQ(rec.log_texts().back(), "extranonce1 changed to " + c.extranonce1) << c.params;
    line(notify_line(good_params()));
    EXPECT_EQ(hex_encode(rec.jobs().back().extranonce1), c.extranonce1) << c.params;
    EXPECT_EQ(rec.jobs().back().extranonce2_size, c.size) << c.params;
  }
  EXPECT_EQ(rec.jobs().size(), std::size(cases));  // set_extranonce itself re-issues nothing
}

TEST_F(NotifyTest, SubscribeResultIsCheckedBeforeAnythingIsStored) {
  struct Case {
    std::string result_and_error;
    std::string message;
  };
  const Case cases[] = {
      {R"("result":null,"error":[20,"subscription refused",null])", "mining.subscribe failed: subscription refused"},
      {R"("result":null,"error":null)", "mining.subscribe failed: rejected"},
      {R"("error":"busy")", "mining.subscribe failed: busy"},
      {R"("result":[[],"00"],"error":null)", "mining.subscribe failed: rejected"},
      {R"("result":{"a":1},"error":{"message":"no"})", "mining.subscribe failed: no"},
      {R"("result":[[],"",4])", "unusable extranonce1"},
      {R"("result":[[],"0g",4])", "unusable extranonce1"},
      {R"("result":[[],"abc",4])", "unusable extranonce1"},
      {R"("result":[[],12,4])", "unusable extranonce1"},
      {R"("result":[[],"ab",0])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab",9])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab",-1])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab","4"])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab",4294967297])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab",0.9])", "unsupported extranonce2 size"},
      {R"("result":[[],"ab",null])", "unsupported extranonce2 size"},
      // Refused results store nothing: the size below is still the one of the last good result.
      {R"("result":[null,"0A0b",8.9])", "subscribed: extranonce1=0a0b extranonce2 size=8"},
      {R"("result":[[],"ff",1,"extra"])", "subscribed: extranonce1=ff extranonce2 size=1"},
  };
  for (const auto& c : cases) {
    line(R"({"id":1,)" + c.result_and_error + "}");
    EXPECT_EQ(rec.log_texts().back(), c.message) << c.result_and_error;
    line(notify_line(good_params()));
  }
  // Every notification after a refused result carried the initial size 4 and no extranonce1.
  const auto jobs = rec.jobs();
  ASSERT_EQ(jobs.size(), std::size(cases));
  for (std::size_t i = 0; i + 2 < jobs.size(); ++i) {
    EXPECT_EQ(jobs[i].extranonce2_size, 4) << i;
    EXPECT_TRUE(jobs[i].extranonce1.empty()) << i;
  }
  EXPECT_EQ(jobs[jobs.size() - 2].extranonce2_size, 8);
  EXPECT_EQ(jobs.back().extranonce2_size, 1);
  EXPECT_EQ(hex_encode(jobs.back().extranonce1), "ff");
}

TEST_F(NotifyTest, JobsAreNumberedOneByOneAndAFailedNotificationTakesNoNumber) {
  line(notify_line(good_params("a")));
  auto bad = good_params("b");
  bad[1] = quoted("");
  line(notify_line(bad));
  line(notify_line(good_params("c")));
  difficulty("4");
  line(notify_line(good_params("d")));
  const auto jobs = rec.jobs();
  ASSERT_EQ(jobs.size(), 4u);
  const std::pair<std::uint64_t, std::string> expected[] = {{1, "a"}, {2, "c"}, {3, "c"}, {4, "d"}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(jobs[i].seq, expected[i].first);
    EXPECT_EQ(jobs[i].job_id, expected[i].second);
  }
}

}  // namespace
}  // namespace tavo
