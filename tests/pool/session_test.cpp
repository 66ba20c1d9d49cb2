// The session against a scripted pool on 127.0.0.1: the messages on the wire, share ids and the
// pending set across connections, the reconnect schedule and disconnect lines, the idle limit,
// and lines as they arrive from a socket. Time moves only when the test moves the clock.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pool/framing.h"
#include "pool/json.h"
#include "pool/targets.h"
#include "tests/pool/session_fixture.h"

namespace tavo::test {
namespace {

using namespace std::chrono_literals;
using Shares = std::vector<std::pair<bool, std::string>>;

std::string show_message(const std::string& text) {
  return R"({"id":null,"method":"client.show_message","params":[")" + text + "\"]}";
}

class SessionTest : public SessionFixture {
 protected:
  std::string where() const { return "127.0.0.1:" + std::to_string(pool.port()); }
};

TEST_F(SessionTest, LogsInAndSubmitsWithExactMessages) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  client.submit("early", "00000000", 1, 1);  // not authorized yet: dropped, no id taken
  ASSERT_TRUE(peer->send(R"({"id":1,"result":[[["mining.notify","1"]],"f000000a",4],"error":null})" "\n"));
  ASSERT_EQ(peer->read_line(), authorize_line());
  ASSERT_TRUE(peer->send("{\"id\":2,\"result\":true,\"error\":null}\n"));
  ASSERT_TRUE(rec.wait_log("authorized as " + kLogin));
  EXPECT_TRUE(client.authorized());

  client.submit("job\"1", "02000007", 0x5f5e1000, 0x1234);
  client.submit("2", "0200000a", 0, 0xffffffff);
  EXPECT_EQ(peer->read_line(), R"({"id":100,"method":"mining.submit","params":[")" + kLogin +
                                   R"(","job\"1","02000007","5f5e1000","00001234"]})");
  EXPECT_EQ(peer->read_line(), R"({"id":101,"method":"mining.submit","params":[")" + kLogin +
                                   R"(","2","0200000a","00000000","ffffffff"]})");
  ASSERT_TRUE(peer->send("{\"id\":101,\"result\":null,\"error\":[21,\"stale\",null]}\n"
                         "{\"id\":100,\"result\":true,\"error\":null}\n"));
  ASSERT_TRUE(rec.wait_shares(2));
  EXPECT_EQ(rec.shares(), (Shares{{false, "stale"}, {true, ""}}));
  EXPECT_EQ(rec.log_texts(), (std::vector<std::string>{"connected to " + where(),
                                                       "subscribed: extranonce1=f000000a extranonce2 size=4",
                                                       "authorized as " + kLogin}));
}

TEST_F(SessionTest, PendingSharesBelongToTheirConnectionAndIdsNeverRepeat) {
  start(pool.port());
  auto first = pool.accept();
  ASSERT_TRUE(first);
  log_in(*first);
  client.submit("a", "00", 1, 1);  // 100
  client.submit("a", "01", 1, 1);  // 101, never answered on this connection
  ASSERT_TRUE(first->read_line() && first->read_line());
  ASSERT_TRUE(first->send("{\"id\":100,\"result\":true,\"error\":null}\n"));
  ASSERT_TRUE(rec.wait_shares(1));
  first->close();
  ASSERT_TRUE(rec.wait_log("disconnected after 0 s — reconnecting in 1 s"));
  EXPECT_FALSE(client.authorized());
  client.submit("a", "02", 1, 1);  // between connections: dropped

  auto second = pool.accept();
  ASSERT_TRUE(second);
  log_in(*second);
  // The answer to the first connection's id is stale news; an id sent now continues at 102.
  ASSERT_TRUE(second->send("{\"id\":101,\"result\":true,\"error\":null}\n"));
  client.submit("b", "03", 1, 1);
  const auto line = second->read_line();
  ASSERT_TRUE(line);
  EXPECT_EQ(line->rfind("{\"id\":102,", 0), 0u) << *line;
  ASSERT_TRUE(second->send("{\"id\":102,\"result\":false,\"error\":[23,\"low difficulty share\",null]}\n"));
  ASSERT_TRUE(rec.wait_shares(2));
  EXPECT_EQ(rec.shares(), (Shares{{true, ""}, {false, "low difficulty share"}}));
}

TEST_F(SessionTest, ConnectionStateStartsAfreshWhileCountersCarryOn) {
  const std::string notify =
      R"({"id":null,"method":"mining.notify","params":["J","00000000000000000000000000000000000000000000000000000000000000ff","01","",[],"20000000","1d00ffff","5f5e1000",true]})";
  start(pool.port());
  auto first = pool.accept();
  ASSERT_TRUE(first);
  log_in(*first, "0a0b0c0d", 6);
  ASSERT_TRUE(first->send(R"({"id":null,"method":"mining.set_difficulty","params":[2]})" "\n" + notify + "\n"));
  ASSERT_TRUE(rec.wait_jobs(1));
  first->close();

  auto second = pool.accept();
  ASSERT_TRUE(second);
  ASSERT_EQ(second->read_line(), subscribe_line());
  // Before the subscribe answer: no extranonce1 yet, the size of the last answer, no difficulty.
  ASSERT_TRUE(second->send(notify + "\n"));
  ASSERT_TRUE(rec.wait_jobs(2));
  // The same difficulty as before is news on a new connection; it re-issues this connection's job.
  ASSERT_TRUE(second->send(R"({"id":null,"method":"mining.set_difficulty","params":[2]})" "\n"));
  ASSERT_TRUE(rec.wait_jobs(3));
  // A second answer to the subscribe is handled again: another authorize goes out.
  const std::string answer = R"({"id":1,"result":[[],"01020304",4],"error":null})" "\n";
  ASSERT_TRUE(second->send(answer + answer));
  EXPECT_EQ(second->read_line(), authorize_line());
  EXPECT_EQ(second->read_line(), authorize_line());

  const auto jobs = rec.jobs();
  EXPECT_EQ(jobs[0].seq, 1u);
  EXPECT_EQ(jobs[0].share_target, difficulty_to_target(2));
  EXPECT_EQ(jobs[1].seq, 2u);
  EXPECT_TRUE(jobs[1].extranonce1.empty());
  EXPECT_EQ(jobs[1].extranonce2_size, 6);
  EXPECT_EQ(jobs[1].share_target, difficulty_to_target(1));
  EXPECT_EQ(jobs[2].seq, 3u);
  EXPECT_EQ(jobs[2].share_target, difficulty_to_target(2));
  EXPECT_EQ(rec.count("difficulty set to 2"), 2u);
}

TEST_F(SessionTest, ConcurrentSubmitsArriveAsWholeLinesWithDistinctIds) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  expect_concurrent_submits_arrive_whole(*peer);
}

TEST_F(SessionTest, UnreachablePoolIsRetriedOnTheBackoffSchedule) {
  const std::uint16_t port = refusing_port();
  start(port);
  const std::string at = "127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(rec.wait_log_if([&](const std::string& t) { return t.rfind("connection to", 0) == 0; }, 10s, 10));
  client.stop();
  const int waits[] = {1, 2, 4, 8, 16, 32, 30, 30, 30, 30};
  const auto logs = rec.logs();
  ASSERT_GE(logs.size(), 10u);
  std::chrono::milliseconds slept{0};
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(logs[i].text, failed_line(at, waits[i])) << i;
    // Each line is written before its wait; the clock has slept exactly the waits before it.
    EXPECT_EQ(logs[i].clock_slept, slept) << i;
    slept += std::chrono::seconds(waits[i]);
  }
}

TEST_F(SessionTest, ShortConnectionsBackOffAndALongOneResetsTheSchedule) {
  start(pool.port());
  const std::string refused = "authorization refused for '" + kLogin +
                              "': unauthorized worker — check the address matches the network";
  // 1: authorization refused at once.
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  ASSERT_TRUE(peer->send(R"({"id":1,"result":[[],"00",4],"error":null})" "\n"));
  ASSERT_EQ(peer->read_line(), authorize_line());
  ASSERT_TRUE(peer->send(R"({"id":2,"result":false,"error":[24,"unauthorized worker",null]})" "\n"));
  ASSERT_TRUE(rec.wait_log("disconnected after 0 s — reconnecting in 1 s"));
  EXPECT_TRUE(peer->wait_closed());
  // 2 and 3: the pool hangs up after 3 s and after 3.9 s.
  for (const auto& [lived, line] : {std::make_pair(3000ms, "disconnected after 3 s — reconnecting in 2 s"),
                                    std::make_pair(3900ms, "disconnected after 3 s — reconnecting in 4 s")}) {
    peer = pool.accept();
    ASSERT_TRUE(peer);
    ASSERT_EQ(peer->read_line(), subscribe_line());
    clock.advance(lived);
    peer->close();
    ASSERT_TRUE(rec.wait_log(line));
  }
  // 4: ten seconds is long enough: no wait before the next attempt, and the schedule starts over.
  peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  EXPECT_EQ(clock.slept(), 7000ms);
  clock.advance(10s);
  peer->close();
  ASSERT_TRUE(rec.wait_log("disconnected — reconnecting"));
  // 5: 9.999 s is still short.
  peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  EXPECT_EQ(clock.slept(), 7000ms);
  clock.advance(9999ms);
  peer->close();
  ASSERT_TRUE(rec.wait_log("disconnected after 9 s — reconnecting in 1 s"));
  peer = pool.accept();
  ASSERT_TRUE(peer);
  EXPECT_EQ(clock.slept(), 8000ms);

  std::vector<std::string> disconnects;
  for (const auto& t : rec.log_texts()) {
    if (t.rfind("disconnected", 0) == 0 || t.rfind("authorization", 0) == 0) disconnects.push_back(t);
  }
  EXPECT_EQ(disconnects, (std::vector<std::string>{refused, "disconnected after 0 s — reconnecting in 1 s",
                                                   "disconnected after 3 s — reconnecting in 2 s",
                                                   "disconnected after 3 s — reconnecting in 4 s",
                                                   "disconnected — reconnecting",
                                                   "disconnected after 9 s — reconnecting in 1 s"}));
}

TEST_F(SessionTest, IdleLimitCountsWholeSecondsSinceTheLastData) {
  const std::string idle = "no data from the pool for 10 minutes — reconnecting";
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  clock.advance(500s);
  ASSERT_TRUE(peer->send(show_message("still here") + "\n"));  // data restarts the count
  ASSERT_TRUE(rec.wait_log("pool: still here"));
  clock.advance(600900ms);
  // At least one idle check (one per second of real waiting) sees 600.9 s and keeps going.
  EXPECT_TRUE(peer->silent_for(1300ms));
  EXPECT_EQ(rec.count(idle), 0u);
  clock.advance(100ms);
  ASSERT_TRUE(rec.wait_log(idle, 3s));
  EXPECT_TRUE(peer->wait_closed());
  // The connection lived 1101 s: a new attempt follows at once.
  ASSERT_TRUE(rec.wait_log("disconnected — reconnecting"));
  EXPECT_TRUE(pool.accept());
  EXPECT_EQ(clock.slept(), 0ms);
}

TEST_F(SessionTest, PoolMessagesGarbageAndReconnectRequests) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  ASSERT_TRUE(peer->send("this is not json {\n" + show_message("") + "\n" + show_message("maintenance at noon") +
                         "\n" R"({"id":null,"method":"client.reconnect","params":["evil.example",4444,0]})" "\n" +
                         show_message("after the request") + "\n"));
  ASSERT_TRUE(rec.wait_log("disconnected after 0 s — reconnecting in 1 s"));
  EXPECT_TRUE(peer->wait_closed());
  // The client comes back to the configured pool, not to the one named in the request.
  auto again = pool.accept();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->read_line(), subscribe_line());
  const std::vector<std::string> expected = {
      "unreadable message ignored", "pool: maintenance at noon", "the pool asked us to reconnect",
      "pool: after the request",  // already received: handled although the connection closed
      "disconnected after 0 s — reconnecting in 1 s", "connected to " + where()};
  auto logs = rec.log_texts();
  ASSERT_GE(logs.size(), 3 + expected.size());
  logs.erase(logs.begin(), logs.begin() + 3);  // connected, subscribed, authorized
  logs.resize(expected.size());
  EXPECT_EQ(logs, expected);
}

TEST_F(SessionTest, LinesSplitAcrossReadsAndCrlfEndings) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  const std::string one = show_message("one");
  const std::string three = show_message("three");
  ASSERT_TRUE(peer->send(one.substr(0, 20)));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(peer->send(one.substr(20) + "\r\n\n\n" + show_message("two") + "\r\n" + three.substr(0, 50)));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(peer->send(three.substr(50) + "\n"));
  ASSERT_TRUE(rec.wait_log("pool: three"));
  const auto logs = rec.log_texts();
  EXPECT_EQ(std::vector<std::string>(logs.begin() + 1, logs.end()),
            (std::vector<std::string>{"pool: one", "pool: two", "pool: three"}));
}

TEST_F(SessionTest, PartialLineMayReach65536BytesButNotOneMore) {
  start(pool.port());
  auto peer = pool.accept();
  ASSERT_TRUE(peer);
  ASSERT_EQ(peer->read_line(), subscribe_line());
  const std::string head = R"({"id":null,"method":"client.show_message","params":[")";
  const std::string text(kMaxPartialLine - head.size() - 3, 'x');
  const std::string longest = head + text + "\"]}";
  ASSERT_EQ(longest.size(), kMaxPartialLine);
  ASSERT_TRUE(peer->send(longest));
  EXPECT_TRUE(peer->silent_for(300ms));
  ASSERT_TRUE(peer->send("\n"));
  ASSERT_TRUE(rec.wait_log("pool: " + text));

  ASSERT_TRUE(peer->send(longest + "x"));
  ASSERT_TRUE(rec.wait_log("garbled stream, reconnecting"));
  EXPECT_TRUE(peer->wait_closed());
  EXPECT_TRUE(rec.wait_log("disconnected after 0 s — reconnecting in 1 s"));
}

TEST_F(SessionTest, ReachesAPoolOverIpv6) {
  FakePool v6(nullptr, /*ipv6=*/true);
  if (v6.port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
  start(config(v6.port(), "::1"));
  auto peer = v6.accept();
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->read_line(), subscribe_line());
  EXPECT_TRUE(rec.wait_log("connected to ::1:" + std::to_string(v6.port())));
}

TEST_F(SessionTest, NameThatDoesNotResolveIsReportedBeforeEachRetry) {
  // A label longer than 63 characters cannot be looked up at all, so no name server is asked.
  const std::string host = std::string(64, 'a') + ".invalid";
  start(config(3333, host));
  ASSERT_TRUE(rec.wait_log(failed_line(host + ":3333", 2)));
  const auto logs = rec.log_texts();
  EXPECT_EQ(std::vector<std::string>(logs.begin(), logs.begin() + 4),
            (std::vector<std::string>{"cannot resolve " + host, failed_line(host + ":3333", 1),
                                      "cannot resolve " + host, failed_line(host + ":3333", 2)}));
}

}  // namespace
}  // namespace tavo::test
