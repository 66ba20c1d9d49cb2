// The client against the real test pool (tools/testpool, a separate Python implementation of the
// pool side) over 127.0.0.1, plain and with verified TLS: log-in, jobs, a share mined on the CPU
// and judged by the pool, and the pool's own notifications sent through its control channel.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pool/hex.h"
#include "pool/json.h"
#include "pool/targets.h"
#include "tests/pool/session_fixture.h"
#include "tests/pool/test_certs.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "work/job.h"
#include "work/pow.h"

namespace tavo::test {
namespace {

using namespace std::chrono_literals;

// The test pool as a child process with a control channel and a JSON-lines log.
class TestPool {
 public:
  explicit TestPool(std::vector<std::string> extra) {
    std::vector<std::string> argv = {TAVO_PYTHON, "-B", TAVO_TESTPOOL, "--host", "127.0.0.1", "--port", "0",
                                     "--port-file", dir_.file("port"), "--control-port", "0",
                                     "--control-port-file", dir_.file("control"), "--log", log_path(),
                                     "--quiet"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessSpec launch;
    launch.argv = argv;
    started_ = process_.start(launch) && process_.wait_for("control on", 15s);
    if (started_) {
      port_ = static_cast<std::uint16_t>(std::atoi(read_file(dir_.file("port")).c_str()));
      control_port_ = static_cast<std::uint16_t>(std::atoi(read_file(dir_.file("control")).c_str()));
    }
  }
  ~TestPool() {
    if (control_fd_ >= 0) ::close(control_fd_);
    process_.signal(SIGTERM);
    process_.wait(5s);
  }

  bool started() const { return started_ && port_ != 0 && control_port_ != 0; }
  std::string failure() const { return process_.out() + process_.err(); }
  std::uint16_t port() const { return port_; }
  std::string log_path() const { return dir_.file("log.jsonl"); }

  // One control command; the pool's one-line reply.
  std::string control(const std::string& command) {
    if (control_fd_ < 0) {
      control_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
      timeval tv{5, 0};
      setsockopt(control_fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(control_port_);
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(control_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "no control channel";
    }
    const std::string line = command + "\n";
    if (::send(control_fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      return "send failed";
    }
    std::string reply;
    char c;
    while (::recv(control_fd_, &c, 1, 0) == 1 && c != '\n') reply += c;
    return reply;
  }

  // The logged events of one kind, in order.
  std::vector<JsonValue> events(const std::string& kind) const {
    std::vector<JsonValue> out;
    const std::string text = read_file(log_path());
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      if (end == std::string::npos) break;  // a line still being written
      JsonValue v;
      if (json_parse(std::string_view(text).substr(start, end - start), v) && get_string(v, "event", "") == kind) {
        out.push_back(std::move(v));
      }
      start = end + 1;
    }
    return out;
  }

 private:
  TempDir dir_;
  ChildProcess process_;
  bool started_ = false;
  std::uint16_t port_ = 0;
  std::uint16_t control_port_ = 0;
  int control_fd_ = -1;
};

// The first nonce whose digest does (or does not) meet the job's share target.
std::optional<std::uint32_t> search(const Job& job, const Bytes& extranonce2, bool meeting) {
  Header header = build_header(job, extranonce2);
  for (std::uint32_t nonce = 0; nonce < (1u << 22); ++nonce) {
    set_header_nonce(header, nonce);
    if (meets_target(pow_hash(header), job.share_target) == meeting) return nonce;
  }
  return std::nullopt;
}

class TestPoolSession : public SessionFixture {};

TEST_F(TestPoolSession, MinesAShareTheIndependentPoolAccepts) {
  TestPool testpool({"--difficulty", "1/1048576", "--job-interval", "0", "--extranonce1", "0badf00d",
                     "--seed", "7", "--height", "321000"});
  ASSERT_TRUE(testpool.started()) << testpool.failure();
  start(testpool.port());
  ASSERT_TRUE(rec.wait_log("authorized as " + kLogin, 10s));
  ASSERT_TRUE(rec.wait_jobs(1, 10s));
  const Job job = rec.jobs()[0];
  EXPECT_EQ(job.seq, 1u);
  EXPECT_EQ(job.height, 321000u);
  EXPECT_EQ(hex_encode(job.extranonce1), "0badf00d");
  EXPECT_EQ(job.extranonce2_size, 4);
  EXPECT_TRUE(job.clean_jobs);
  EXPECT_EQ(job.share_target, difficulty_to_target(1.0 / 1048576));
  EXPECT_EQ(job.block_target, nbits_to_target(0x1b00ffff));
  EXPECT_EQ(rec.log_texts()[1], "subscribed: extranonce1=0badf00d extranonce2 size=4");

  std::uint32_t counter = 0;
  const Bytes extranonce2 = make_extranonce2(job.extranonce2_size, 0, counter);
  const auto good = search(job, extranonce2, true);
  const auto bad = search(job, extranonce2, false);
  ASSERT_TRUE(good && bad);
  client.submit(job.job_id, hex_encode(extranonce2), job.ntime, *good);
  ASSERT_TRUE(rec.wait_shares(1));
  client.submit(job.job_id, hex_encode(extranonce2), job.ntime, *good);
  client.submit(job.job_id, hex_encode(extranonce2), job.ntime, *bad);
  ASSERT_TRUE(rec.wait_shares(3));
  EXPECT_EQ(rec.shares(), (std::vector<std::pair<bool, std::string>>{
                              {true, ""}, {false, "duplicate share"}, {false, "low difficulty share"}}));

  // The pool saw our agent and login, and judged the share on its own.
  const auto subscribes = testpool.events("subscribe");
  ASSERT_FALSE(subscribes.empty());
  EXPECT_EQ(get_string(subscribes[0], "agent", ""), kAgent);
  const auto authorizes = testpool.events("authorize");
  ASSERT_FALSE(authorizes.empty());
  EXPECT_EQ(get_string(authorizes[0], "login", ""), kLogin);
  const auto submits = testpool.events("submit");
  ASSERT_EQ(submits.size(), 3u);
  EXPECT_EQ(get_number(submits[0], "id", 0), 100);
  EXPECT_EQ(get_string(submits[0], "verdict", ""), "accepted");
  EXPECT_EQ(get_string(submits[0], "nonce", ""), hex_u32(*good));

  // The pool's notifications, sent live.
  EXPECT_EQ(testpool.control("difficulty 0.5"), "ok 1");
  ASSERT_TRUE(rec.wait_log("difficulty set to 0.5"));
  ASSERT_TRUE(rec.wait_jobs(2));
  EXPECT_EQ(rec.jobs()[1].seq, 2u);
  EXPECT_EQ(rec.jobs()[1].job_id, job.job_id);
  EXPECT_EQ(rec.jobs()[1].share_target, difficulty_to_target(0.5));
  EXPECT_EQ(testpool.control("message maintenance at noon"), "ok 1");
  ASSERT_TRUE(rec.wait_log("pool: maintenance at noon"));
  EXPECT_EQ(testpool.control("garbage"), "ok 1");
  ASSERT_TRUE(rec.wait_log("unreadable message ignored"));
  EXPECT_EQ(testpool.control("reconnect 10.0.0.1 1 0"), "ok 1");
  ASSERT_TRUE(rec.wait_log("the pool asked us to reconnect"));
  ASSERT_TRUE(rec.wait_log("authorized as " + kLogin, 10s, 2));
  ASSERT_TRUE(rec.wait_jobs(3, 10s));
  EXPECT_EQ(rec.jobs()[2].seq, 3u);
  EXPECT_EQ(rec.count("connected to 127.0.0.1:" + std::to_string(testpool.port())), 2u);
}

TEST_F(TestPoolSession, VerifiedTlsSession) {
  TempDir certs;
  TestPki pki(certs.path());
  ASSERT_TRUE(pki.ok());
  CertSpec request;
  request.dns = {"localhost"};
  request.ips = {"127.0.0.1"};
  const CertFiles files = pki.issue("pool", request);
  ASSERT_FALSE(files.cert.empty());
  ::setenv("SSL_CERT_FILE", pki.ca_file().c_str(), 1);
  TestPool testpool({"--tls", "--cert", files.cert, "--key", files.key, "--job-interval", "0"});
  ASSERT_TRUE(testpool.started()) << testpool.failure();
  start(config(testpool.port(), "localhost", true));
  ASSERT_TRUE(rec.wait_log("authorized as " + kLogin, 10s));
  ASSERT_TRUE(rec.wait_jobs(1, 10s));
  EXPECT_EQ(rec.log_texts()[0], "tls: encrypted connection established (TLSv1.3, certificate verified)");
  const auto tls = testpool.events("tls");
  ASSERT_FALSE(tls.empty());
  EXPECT_EQ(get_string(tls[0], "version", ""), "TLSv1.3");
}

}  // namespace
}  // namespace tavo::test
