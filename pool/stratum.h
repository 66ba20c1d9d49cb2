// tavo::Stratum is the pool client: it keeps one connection to the configured pool alive on its
// own session thread, speaks Stratum over plain TCP or verified TLS, turns the pool's
// notifications into numbered tavo::Job records, and sends the shares that miner threads hand
// to `submit`.
//
// Ownership: the object owns its session thread, its connection (socket and TLS connection
// object) and its TLS context, which is made on the first TLS connection and kept until
// destruction.
//
// Threads:
//  - the owner's thread calls set_clock, start, stop, authorized and the destructor; start and
//    stop are not re-entrant and are never called from a callback;
//  - the session thread runs session_loop and handle_line and therefore every callback, with no
//    lock of this class held;
//  - any number of miner worker threads call submit concurrently.
// Callbacks and the clock are installed before start and not touched while a session runs.
// Locks: io_mutex guards the connection, pending_mutex the set of unanswered submits; the two
// are never held together.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "pool/clock.h"
#include "pool/json.h"
#include "work/job.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tavo {

class Stratum {
 public:
  struct Config {
    std::string host;                        // also the TLS server name the certificate must match
    std::uint16_t port = 3333;
    std::string user;                        // payout address, the login name
    std::string worker;                      // appended as "user.worker" when not empty
    std::string agent = "TavoVornic-QRB/1.0";
    bool tls = false;
  };

  // What the session thread's wait for input saw.
  enum class Wait { Ready, Idle, Interrupted, Failed };

  Stratum();
  Stratum(const Stratum&) = delete;
  Stratum& operator=(const Stratum&) = delete;

  // Stops the session and frees the TLS context.
  virtual ~Stratum();

  // Installed before start; an empty callback drops the event. All run on the session thread.
  std::function<void(const Job&)> on_job;
  std::function<void(bool accepted, const std::string& reason)> on_share;
  std::function<void(const std::string&)> on_log;

  // Replaces the clock deadlines and backoff sleeps are read from. `clock` must outlive the
  // object. Call only while no session thread exists.
  void set_clock(Clock& clock) { clock_ = &clock; }

  // Copies `config` and starts the session thread. Precondition: no session thread exists (a new
  // object, or after stop).
  void start(const Config& config);

  // Ends the session: closes the connection and joins the thread. Returns within about 100 ms
  // while waiting to reconnect, 1 s while reading, 200 ms while in a TLS handshake, and up to
  // 10 s per address while connecting. Does nothing when not running.
  void stop();

  // True from the pool's acceptance of mining.authorize until the connection closes.
  bool authorized() const { return authorized_.load(); }

  // Sends one share with a fresh request id (100 upwards, never reused) and records the id as
  // pending; the answer arrives through on_share. Drops the share silently while not
  // authorized. Safe from several threads at once; never waits for the pool's answer. Virtual
  // so that the mining engine's tests can record submissions instead of sending them.
  virtual void submit(const std::string& job_id, const std::string& extranonce2_hex,
                      std::uint32_t ntime, std::uint32_t nonce);

  // Handles one received line (without its line feed). Runs on the session thread; tests and
  // fuzzers may also drive it on an object that was never started.
  void handle_line(std::string_view line);

 private:
  // Session (stratum.cpp).
  void session_loop();
  void read_until_closed();
  void wait_backoff(int& backoff);
  void reset_connection_state();
  std::string login_name() const;
  void log(const std::string& text) const;
  void handle_response(const JsonValue& message);

  // Notifications (notify.cpp).
  void handle_subscribe_result(const JsonValue* result, const JsonValue* error);
  void handle_notify(const JsonValue& params);
  void handle_set_difficulty(const JsonValue* params);
  void handle_set_extranonce(const JsonValue* params);
  void dispatch_job(Job job);

  // Transport (transport.cpp, tls.cpp).
  bool open_connection();
  bool start_tls(int fd, SSL*& session);
  bool send_all(std::string_view text);
  Wait wait_readable();
  long receive(char* buffer, std::size_t capacity);
  void close_connection();

  // Fixed while a session runs: written by the owner's thread only while no session exists.
  Config config;
  Clock* clock_;
  std::thread thread;

  std::atomic<bool> running{false};
  std::atomic<bool> authorized_{false};
  std::atomic<std::uint64_t> next_request_id{100};
  std::atomic<std::uint64_t> job_counter{0};

  // Guarded by io_mutex. socket_fd is published last, once the connection is fully usable.
  mutable std::mutex io_mutex;
  int socket_fd = -1;
  SSL* ssl = nullptr;

  // Made and used by the session thread; freed by the destructor.
  SSL_CTX* ssl_ctx = nullptr;

  // Owned by the session thread.
  std::string inbox;
  Bytes extranonce1;
  std::int32_t extranonce2_size = 4;
  double difficulty = 0.0;
  Job last_job;

  // Guarded by pending_mutex: submits of this connection not yet answered.
  std::mutex pending_mutex;
  std::set<std::uint64_t> pending;
};

}  // namespace tavo
