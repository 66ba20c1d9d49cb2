// How promptly stop ends the session in each state, starting again after a stop, and one test
// on the real clock that shows the backoff wait really waits.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "tests/pool/session_fixture.h"

namespace tavo::test {
namespace {

using namespace std::chrono_literals;

class StopTest : public SessionFixture {};

// A socket that sits in the pool's accept queue, so that the next client's connect stays pending
// until the queue is drained (the pool listens with a backlog of 0).
int fill_accept_queue(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  (void)::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::this_thread::sleep_for(100ms);
  return fd;
}

TEST_F(StopTest, StopWithoutStartAndTwiceIsHarmless) {
  Stratum idle;
  idle.stop();
  idle.stop();
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  client.stop();
  client.stop();
  EXPECT_TRUE(peer->wait_closed());
}

TEST_F(StopTest, StartsAgainWithAnotherLoginAndKeepsCountingIds) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  client.submit("j", "00", 0, 0);  // 100
  ASSERT_TRUE(peer->read_line());
  client.stop();
  EXPECT_FALSE(client.authorized());

  Stratum::Config other = config(pool.port());
  other.user = "vx1qdeveloper";
  other.worker = "";
  client.start(other);
  auto again = pool.accept();
  ASSERT_TRUE(again);
  ASSERT_EQ(again->read_line(), subscribe_line());
  ASSERT_TRUE(again->send(R"({"id":1,"result":[[],"00",4],"error":null})" "\n"));
  ASSERT_EQ(again->read_line(), R"({"id":2,"method":"mining.authorize","params":["vx1qdeveloper","x"]})");
  ASSERT_TRUE(again->send("{\"id\":2,\"result\":true,\"error\":null}\n"));
  ASSERT_TRUE(rec.wait_log("authorized as vx1qdeveloper"));
  client.submit("j", "00", 0, 0);
  const auto line = again->read_line();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, R"({"id":101,"method":"mining.submit","params":["vx1qdeveloper","j","00","00000000","00000000"]})");
}

TEST_F(StopTest, DuringTheLongestBackoffWait) {
  const std::uint16_t port = refusing_port();
  client.set_clock(clock);
  rec.attach(client, [this] { return clock.slept(); });
  // From the 30 s wait on, the clock sleeps for real, so stop meets a wait in progress.
  auto record = client.on_log;
  client.on_log = [this, record](const std::string& text) {
    if (text.find("retrying in 30 s") != std::string::npos) clock.use_real_sleeps();
    record(text);
  };
  client.start(config(port));
  ASSERT_TRUE(rec.wait_log(failed_line("127.0.0.1:" + std::to_string(port), 30), 10s));
  std::this_thread::sleep_for(300ms);
  const auto took = timed([&] { client.stop(); });
  EXPECT_LT(took, 500ms);  // one 100 ms slice, with room for a loaded machine
  EXPECT_EQ(rec.count(failed_line("127.0.0.1:" + std::to_string(port), 30)), 1u);
}

TEST_F(StopTest, WhileReading) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  std::this_thread::sleep_for(200ms);
  const auto took = timed([&] { client.stop(); });
  EXPECT_LT(took, 1200ms);
  EXPECT_TRUE(peer->wait_closed());
  // A stop is not a disconnect: nothing more is reported.
  EXPECT_EQ(rec.log_texts().back(), "authorized as " + kLogin);
}

TEST_F(StopTest, DuringAConnectLetsTheAttemptFinish) {
  FakePool slow(nullptr, false, /*backlog=*/0);
  const int filler = fill_accept_queue(slow.port());
  start(slow.port());
  std::this_thread::sleep_for(300ms);  // the client's connect is now pending
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    client.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(stopped);
  auto queued = slow.accept_raw();
  ASSERT_TRUE(queued);
  // Once the queue has room the pending connect completes: the attempt is reported and the
  // subscribe still sent before the session notices the stop.
  auto peer = slow.accept(5s);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->read_line(), subscribe_line());
  EXPECT_TRUE(peer->wait_closed());
  stopper.join();
  EXPECT_EQ(rec.log_texts(), std::vector<std::string>{"connected to 127.0.0.1:" + std::to_string(slow.port())});
  ::close(filler);
}

TEST_F(StopTest, ConnectGivesUpAfterTenSecondsOfTheClock) {
  FakePool slow(nullptr, false, /*backlog=*/0);
  const int filler = fill_accept_queue(slow.port());
  start(slow.port());
  std::this_thread::sleep_for(300ms);
  clock.advance(9999ms);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(rec.log_texts().empty());
  clock.advance(1ms);
  EXPECT_TRUE(rec.wait_log(failed_line("127.0.0.1:" + std::to_string(slow.port()), 1), 2s));
  EXPECT_LT(stop_while_advancing(), 2s);
  ::close(filler);
}

TEST_F(StopTest, RealClockWaitsTheBackoffForReal) {
  const std::uint16_t port = refusing_port();
  Stratum real;  // the steady clock
  std::mutex m;
  std::vector<std::chrono::steady_clock::time_point> failures;
  real.on_log = [&](const std::string&) {
    std::lock_guard<std::mutex> lock(m);
    failures.push_back(std::chrono::steady_clock::now());
  };
  real.start(config(port));
  for (int i = 0; i < 300; ++i) {
    {
      std::lock_guard<std::mutex> lock(m);
      if (failures.size() >= 2) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  const auto took = timed([&] { real.stop(); });
  std::lock_guard<std::mutex> lock(m);
  ASSERT_GE(failures.size(), 2u);
  const auto gap = failures[1] - failures[0];
  EXPECT_GE(gap, 1000ms);
  EXPECT_LT(gap, 3000ms);
  EXPECT_LT(took, 500ms);  // stopped during the 2 s wait
}

}  // namespace
}  // namespace tavo::test
