// SessionFixture: one tavo::Stratum under test on a clock the test drives, a Recorder on its
// callbacks, and a scripted pool on 127.0.0.1, with helpers for the usual exchanges. Members are
// declared so that the client is stopped before the pool, the recorder and the clock go away.
// Used by the test thread; the client runs its own session thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pool/json.h"
#include "pool/stratum.h"
#include "tests/pool/fake_pool.h"
#include "tests/pool/manual_clock.h"
#include "tests/pool/recorder.h"

namespace tavo::test {

inline const std::string kAgent = "TavoVornic-QRB/1.1.0";
inline const std::string kUser = "vx1qpooltest";
inline const std::string kWorker = "rig1";
inline const std::string kLogin = kUser + "." + kWorker;

inline std::string subscribe_line() {
  return R"({"id":1,"method":"mining.subscribe","params":[")" + kAgent + R"("]})";
}
inline std::string authorize_line() {
  return R"({"id":2,"method":"mining.authorize","params":[")" + kLogin + R"(","x"]})";
}
inline std::string failed_line(const std::string& where, int backoff) {
  return "connection to " + where + " failed, retrying in " + std::to_string(backoff) + " s";
}

class SessionFixture : public ::testing::Test {
 protected:
  // TLS writes may meet a closed peer; the program ignores SIGPIPE and so do its tests.
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }

  void TearDown() override { client.stop(); }

  Stratum::Config config(std::uint16_t port, const std::string& host = "127.0.0.1", bool tls = false) {
    Stratum::Config c;
    c.host = host;
    c.port = port;
    c.user = kUser;
    c.worker = kWorker;
    c.agent = kAgent;
    c.tls = tls;
    return c;
  }

  // Installs the driven clock and the recorder, then starts the session.
  void start(const Stratum::Config& c) {
    client.set_clock(clock);
    rec.attach(client, [this] { return clock.slept(); });
    client.start(c);
  }
  void start(std::uint16_t port) { start(config(port)); }

  // Subscribe and authorize on `peer`, checking the client's two messages byte for byte.
  void log_in(Peer& peer, const std::string& extranonce1 = "f000000a", int size = 4) {
    ASSERT_EQ(peer.read_line(), subscribe_line());
    ASSERT_TRUE(peer.send(R"({"id":1,"result":[[["mining.notify","1"]],")" + extranonce1 + "\"," +
                          std::to_string(size) + "],\"error\":null}\n"));
    ASSERT_EQ(peer.read_line(), authorize_line());
    const std::size_t before = rec.count("authorized as " + kLogin);
    ASSERT_TRUE(peer.send("{\"id\":2,\"result\":true,\"error\":null}\n"));
    ASSERT_TRUE(rec.wait_log("authorized as " + kLogin, std::chrono::seconds(5), before + 1));
  }

  // Runs stop() while moving the clock on, so that a connect or handshake the client is stuck
  // in ends by its clock bound. Returns how long stop() took in real time.
  std::chrono::milliseconds stop_while_advancing() {
    std::atomic<bool> done{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread stopper([&] {
      client.stop();
      done = true;
    });
    while (!done) {
      clock.advance(std::chrono::seconds(10));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stopper.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  }

  // Several miner threads submit long shares at once while the pool drains its socket slowly, so
  // that writes come back partial and writers have to wait in the middle of a message. Every
  // message must still arrive whole, each with its own id.
  void expect_concurrent_submits_arrive_whole(Peer& peer) {
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    constexpr std::size_t kIdLength = 20000;
    std::uint64_t first_id = 0;
    {
      std::vector<std::jthread> workers;
      for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([this, t] {
          for (int i = 0; i < kEach; ++i) {
            client.submit("worker" + std::to_string(t) + std::string(kIdLength, 'j'),
                          "0" + std::to_string(t) + "000000", static_cast<std::uint32_t>(i),
                          static_cast<std::uint32_t>(t));
          }
        });
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::set<std::uint64_t> ids;
      for (int n = 0; n < kThreads * kEach; ++n) {
        if (n % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto line = peer.read_line();
        ASSERT_TRUE(line) << n;
        JsonValue v;
        ASSERT_TRUE(json_parse(*line, v)) << line->substr(0, 300);
        const JsonValue* params = v.find("params");
        ASSERT_TRUE(params != nullptr && params->array.size() == 5) << line->substr(0, 300);
        const std::string t = params->array[1].string.substr(6, 1);
        EXPECT_EQ(params->array[1].string, "worker" + t + std::string(kIdLength, 'j'));
        EXPECT_EQ(params->array[2].string, "0" + t + "000000");
        EXPECT_EQ(params->array[4].string, "0000000" + t);
        ids.insert(static_cast<std::uint64_t>(get_number(v, "id", 0)));
      }
      ASSERT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kEach));
      EXPECT_EQ(*ids.rbegin() - *ids.begin(), static_cast<std::uint64_t>(kThreads * kEach - 1));
      first_id = *ids.begin();
    }
    EXPECT_GE(first_id, 100u);
  }

  FakePool pool;
  ManualClock clock;
  Recorder rec;
  Stratum client;
};

// Real time taken by `f`.
template <typename F>
std::chrono::milliseconds timed(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

}  // namespace tavo::test
