// The real binary (CPU stand-in back end) against the bundled test pool over loopback, with the
// NVML stand-in on the library search path: what a user sees, and what the pool's own independent
// share check says about every share the miner sent.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/pool_process.h"
#include "tests/pool/test_certs.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace tavo {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::PoolProcess;
using test::ProcessResult;
using test::ProcessSpec;

constexpr const char* kUser = "vx1qd0a5jmvvfs5wyrt8nqg6tq4gz8lfq7lf3rx3kp";
// The program's fixed developer payout address.
constexpr const char* kDeveloper = "vx1qt6mz0am9k9k8eswgqrw4g60eh6xvrasayxknhd";

ProcessSpec miner(std::vector<std::string> args) {
  ProcessSpec spec;
  spec.argv = {TAVO_BINARY};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.set_env = {{"NO_COLOR", "1"}, {"LD_LIBRARY_PATH", TAVO_BUILD_DIR "/nvml/standard"}};
  return spec;
}

std::string pool_address(const PoolProcess& pool) {
  return "127.0.0.1:" + std::to_string(pool.port());
}

// Every share the pool hashed met its target; no share went out twice.
void expect_every_submit_valid(const PoolProcess& pool, int& accepted) {
  accepted = 0;
  for (const JsonValue& submit : pool.events("submit")) {
    const std::string reason = get_string(submit, "reason", "");
    EXPECT_NE(reason, "duplicate share");
    EXPECT_NE(reason, "low difficulty share");
    EXPECT_EQ(reason.find("malformed"), std::string::npos) << reason;
    if (const JsonValue* valid = submit.find("valid"); valid != nullptr) {
      EXPECT_TRUE(valid->kind == JsonKind::Bool && valid->boolean)
          << "nonce " << get_string(submit, "nonce", "?");
    }
    if (get_string(submit, "verdict", "") == "accepted") ++accepted;
  }
}

TEST(EndToEnd, MinesSharesTheTestPoolAcceptsAndReportsThem) {
  PoolProcess pool({"--nbits", "easy", "--job-interval", "0"});
  ASSERT_TRUE(pool.ok());
  test::TempDir dir;
  const std::string stats = dir.file("stats.json");

  // A reader that polls the stats file all through the run must never see a partial document.
  std::atomic<bool> done{false};
  std::atomic<int> seen{0}, torn{0};
  std::thread reader([&] {
    const std::regex whole(
        R"(\{"hashrate_hs":\d+,"gpus":\[\d+\],"accepted":\d+,"rejected":\d+,"uptime_s":\d+,)"
        R"("version":"1\.1\.0","algo":"dovhash"\}\n)");
    while (!done.load()) {
      const std::string text = test::read_file(stats);
      if (!text.empty()) {
        ++seen;
        if (!std::regex_match(text, whole)) ++torn;
      }
      std::this_thread::sleep_for(2ms);
    }
  });

  ChildProcess child;
  ASSERT_TRUE(child.start(miner({"-o", pool_address(pool), "-u", std::string(kUser) + ".rig1",
                                 "--stats-file", stats})));
  EXPECT_TRUE(child.wait_for("auto-tuned: profile ", 150s)) << child.out();
  EXPECT_TRUE(child.wait_for("share accepted (1/0)", 60s)) << child.out();

  // A rejection shows the pool's reason; then the pool answers normally again.
  EXPECT_EQ(pool.command("submit reject").rfind("ok", 0), 0u);
  EXPECT_TRUE(child.wait_for("/1) — rejected by script", 60s)) << child.out();
  EXPECT_EQ(pool.command("submit answer").rfind("ok", 0), 0u);

  // A new block is announced with its height.
  EXPECT_EQ(pool.command("newblock").rfind("ok", 0), 0u);
  EXPECT_TRUE(child.wait_for("job   new work — block 100001", 20s)) << child.out();
  EXPECT_TRUE(child.wait_for("BLOCK candidate found at height 10000", 60s)) << child.out();

  // The ten-second report with the monitor's readings, and the stats file.
  EXPECT_TRUE(child.wait_for("  61°C  150 W  fan 45%\n", 30s)) << child.out();
  EXPECT_TRUE(child.wait_for("   151 W\n", 5s)) << child.out();
  EXPECT_TRUE(test::eventually([&] { return seen.load() > 0; }, 15s));

  const auto signalled = std::chrono::steady_clock::now();
  child.signal(SIGTERM);
  const ProcessResult r = child.wait(10s);
  const auto stop_time = std::chrono::steady_clock::now() - signalled;
  done.store(true);
  reader.join();

  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_LT(stop_time, 2500ms);
  EXPECT_NE(r.out.find(" exit  shutdown requested — clean exit\n"), std::string::npos);
  EXPECT_EQ(torn.load(), 0);

  // The start-up summary.
  EXPECT_NE(r.out.find("] pool  " + pool_address(pool) + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::string("] user  ") + kUser + ".rig1\n"), std::string::npos);
  EXPECT_NE(r.out.find("] fee   2% dev contribution\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\] gpu0  .*CPU stand-in.* · \d+ GB\n)")));
  EXPECT_NE(r.out.find("] net   authorized as " + std::string(kUser) + ".rig1\n"),
            std::string::npos);

  // Everything the miner sent was a real share by the pool's own arithmetic.
  int accepted = 0;
  expect_every_submit_valid(pool, accepted);
  EXPECT_GE(accepted, 1);
  std::smatch last;
  std::string::const_iterator from = r.out.begin();
  std::string counts;
  while (std::regex_search(from, r.out.end(), last, std::regex(R"(\((\d+)/\d+\))"))) {
    counts = last[1];
    from = last.suffix().first;
  }
  EXPECT_EQ(std::to_string(accepted), counts) << "the pool and the miner count alike";
  const std::string document = test::read_file(stats);
  EXPECT_TRUE(std::regex_match(
      document, std::regex(R"(\{"hashrate_hs":[1-9]\d*,"gpus":\[[1-9]\d*\],"accepted":\d+,)"
                           R"("rejected":\d+,"uptime_s":\d+0,"version":"1\.1\.0",)"
                           R"("algo":"dovhash"\}\n)")))
      << document;
}

TEST(EndToEnd, MinesOverVerifiedTls) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  ASSERT_TRUE(pki.ok());
  test::CertSpec spec;
  spec.common_name = "localhost";
  spec.dns = {"localhost"};
  spec.ips = {"127.0.0.1"};
  const test::CertFiles server = pki.issue("pool", spec);
  ASSERT_FALSE(server.cert.empty());
  PoolProcess pool({"--tls", "--cert", server.cert, "--key", server.key});
  ASSERT_TRUE(pool.ok());

  ChildProcess child;
  ProcessSpec run = miner({"-o", "stratum+ssl://localhost:" + std::to_string(pool.port()), "-u",
                           kUser});
  run.set_env.emplace_back("SSL_CERT_FILE", pki.ca_file());
  ASSERT_TRUE(child.start(run));
  EXPECT_TRUE(child.wait_for(
      "tls: encrypted connection established (TLSv1.3, certificate verified)\n", 30s))
      << child.out();
  EXPECT_TRUE(child.wait_for("share accepted (1/0)", 180s)) << child.out();
  child.signal(SIGTERM);
  const ProcessResult r = child.wait(10s);
  EXPECT_TRUE(r.exited && r.exit_code == 0);
  EXPECT_NE(r.out.find(" (TLS)\n"), std::string::npos);
  int accepted = 0;
  expect_every_submit_valid(pool, accepted);
  EXPECT_GE(accepted, 1);
}

TEST(EndToEnd, CardsThatDoNotExistEndTheRunBeforeAnyThread) {
  struct Case { std::vector<std::string> args; std::string devices, line; };
  const Case cases[] = {
      {{"-d", "0,1"}, "", " error card 1 does not exist (1 card(s) found)\n"},
      {{"-d", "2"}, "2", " error card 2 does not exist (2 card(s) found)\n"},
      {{}, "0", " error no NVIDIA card found (driver missing?)\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-o", "127.0.0.1:9", "-u", kUser};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessSpec spec = miner(args);
    if (!c.devices.empty()) spec.set_env.emplace_back("TAVO_CPU_DEVICES", c.devices);
    const ProcessResult r = test::run_process(spec, 20s);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    const std::size_t banner = r.out.find("Tavo Vornic QRB");
    const std::size_t line = r.out.find("\n" + c.line.substr(0));
    EXPECT_NE(banner, std::string::npos);
    EXPECT_NE(line, std::string::npos) << r.out;
    EXPECT_LT(banner, line);
    EXPECT_EQ(r.out.find("] pool"), std::string::npos);  // no start-up summary
  }
}

TEST(EndToEnd, LosingEveryCardEndsTheRunWithStatusZero) {
  PoolProcess pool;
  ASSERT_TRUE(pool.ok());
  ProcessSpec spec = miner({"-o", pool_address(pool), "-u", kUser, "-d", "0,0"});
  spec.set_env.emplace_back("TAVO_CPU_FAULTS", "wrong=plain,wrong=il");
  const ProcessResult r = test::run_process(spec, 120s);
  ASSERT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.exit_code, 0);
  const std::string stopped =
      "] gpu0  stopped: no kernel profile passed the exactness check on this card\n";
  const std::size_t first = r.out.find(stopped);
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_NE(r.out.find(stopped, first + 1), std::string::npos);  // both workers
  const std::size_t error = r.out.find("] error no usable card — exiting\n");
  const std::size_t exit_line = r.out.find("] exit  shutdown requested — clean exit\n");
  ASSERT_NE(error, std::string::npos);
  EXPECT_LT(error, exit_line);
  EXPECT_EQ(r.out.find("auto-tuned"), std::string::npos);
}

}  // namespace
}  // namespace tavo

namespace tavo {
namespace {

// The test build starts its supervision clock 5875 s late, so the contribution phase begins about
// five seconds into the run instead of 98 minutes.
TEST(EndToEnd, ContributionPhaseMinesForTheDevelopersThenReturns) {
  PoolProcess pool;
  ASSERT_TRUE(pool.ok());
  ProcessSpec spec = miner({"-o", pool_address(pool), "-u", "vx1quseraddress.rig7"});
  spec.argv[0] = TAVO_BUILD_DIR "/tavo-vornic-qrb-seams";
  spec.set_env.emplace_back("TAVO_TEST_ELAPSED_OFFSET", "5875");
  ChildProcess child;
  ASSERT_TRUE(child.start(spec));
  EXPECT_TRUE(child.wait_for("] fee   2% dev contribution (120 s)\n", 90s)) << child.out();
  EXPECT_TRUE(child.wait_for("] fee   back to your wallet\n", 400s)) << child.out();
  EXPECT_TRUE(child.wait_for("] share accepted (1/0)\n", 120s)) << child.out();
  child.signal(SIGTERM);
  const ProcessResult r = child.wait(10s);
  EXPECT_TRUE(r.exited && r.exit_code == 0);

  // No share line while the phase ran: the first counted share comes after the return.
  const std::size_t back = r.out.find("back to your wallet");
  EXPECT_EQ(r.out.rfind("] share ", back), std::string::npos);

  std::vector<std::string> logins;
  for (const JsonValue& a : pool.events("authorize")) logins.push_back(get_string(a, "login", ""));
  EXPECT_EQ(logins, (std::vector<std::string>{"vx1quseraddress.rig7", kDeveloper, "vx1quseraddress.rig7"}));
  int developer_shares = 0;
  for (const JsonValue& s : pool.events("submit")) {
    if (get_string(s, "login", "") == kDeveloper && get_string(s, "verdict", "") == "accepted") {
      ++developer_shares;
    }
  }
  EXPECT_GT(developer_shares, 0);
}

}  // namespace
}  // namespace tavo
