// The session thread: connection attempts on a fixed backoff schedule, the read loop with its
// idle limit, dispatch of received lines, and the share bookkeeping shared with miner threads.
#include "pool/stratum.h"

#include <openssl/ssl.h>

#include <cmath>

#include "pool/framing.h"
#include "pool/messages.h"

namespace tavo {
namespace {

constexpr int kFirstBackoffSeconds = 1;
constexpr int kMaxBackoffSeconds = 30;
constexpr auto kBackoffSlice = std::chrono::milliseconds(100);
// A connection that lived this long was healthy: the backoff schedule starts over.
constexpr double kHealthyConnectionSeconds = 10.0;
constexpr auto kIdleLimit = std::chrono::seconds(600);
constexpr std::size_t kReadChunk = 4096;

}  // namespace

Stratum::Stratum() : clock_(&Clock::steady()) {}

Stratum::~Stratum() {
  stop();
  if (ssl_ctx != nullptr) SSL_CTX_free(ssl_ctx);
}

void Stratum::start(const Config& cfg) {
  config = cfg;
  running.store(true);
  thread = std::thread([this] { session_loop(); });
}

void Stratum::stop() {
  if (!running.exchange(false)) return;
  close_connection();
  if (thread.joinable()) thread.join();
}

void Stratum::submit(const std::string& job_id, const std::string& extranonce2_hex,
                     std::uint32_t ntime, std::uint32_t nonce) {
  if (!authorized_.load()) return;
  const std::uint64_t id = next_request_id.fetch_add(1);
  {
    // Pending before the write, so that an answer can never overtake the bookkeeping.
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending.insert(id);
  }
  (void)send_all(submit_message(id, login_name(), job_id, extranonce2_hex, ntime, nonce));
}

std::string Stratum::login_name() const {
  if (config.worker.empty()) return config.user;
  return config.user + "." + config.worker;
}

void Stratum::log(const std::string& text) const {
  if (on_log) on_log(text);
}

void Stratum::reset_connection_state() {
  extranonce1.clear();
  difficulty = 0.0;
  last_job = Job();
  std::lock_guard<std::mutex> lock(pending_mutex);
  pending.clear();
}

void Stratum::session_loop() {
  const std::string where = config.host + ":" + std::to_string(config.port);
  int backoff = kFirstBackoffSeconds;
  while (running.load()) {
    if (!open_connection()) {
      if (!running.load()) return;
      log("connection to " + where + " failed, retrying in " + std::to_string(backoff) + " s");
      wait_backoff(backoff);
      continue;
    }
    log("connected to " + where);
    reset_connection_state();
    const auto connected_at = clock_->now();
    if (!send_all(subscribe_message(config.agent))) {
      close_connection();
      continue;
    }
    read_until_closed();
    close_connection();
    if (!running.load()) return;
    const double lived = std::chrono::duration<double>(clock_->now() - connected_at).count();
    if (lived >= kHealthyConnectionSeconds) {
      log("disconnected — reconnecting");
      backoff = kFirstBackoffSeconds;
      continue;
    }
    log("disconnected after " + std::to_string(static_cast<long long>(std::trunc(lived))) +
        " s — reconnecting in " + std::to_string(backoff) + " s");
    wait_backoff(backoff);
  }
}

void Stratum::wait_backoff(int& backoff) {
  for (int slice = 0; slice < backoff * 10 && running.load(); ++slice) clock_->sleep_for(kBackoffSlice);
  backoff = backoff < kMaxBackoffSeconds ? backoff * 2 : kMaxBackoffSeconds;
}

void Stratum::read_until_closed() {
  inbox.clear();
  auto last_data = clock_->now();
  char buffer[kReadChunk];
  while (running.load()) {
    {
      std::lock_guard<std::mutex> lock(io_mutex);
      if (socket_fd < 0) return;
    }
    const Wait w = wait_readable();
    if (w == Wait::Interrupted) continue;
    if (w == Wait::Failed) return;
    if (w == Wait::Ready) {
      const long n = receive(buffer, sizeof buffer);
      if (n == 0 || n == -2) return;
      if (n == -1) continue;
      last_data = clock_->now();
      inbox.append(buffer, static_cast<std::size_t>(n));
      if (!cut_lines(inbox, [this](std::string_view line) { handle_line(line); })) {
        log("garbled stream, reconnecting");
        return;
      }
    }
    if (std::chrono::duration_cast<std::chrono::seconds>(clock_->now() - last_data) > kIdleLimit) {
      log("no data from the pool for 10 minutes — reconnecting");
      return;
    }
  }
}

void Stratum::handle_line(std::string_view line) {
  JsonValue message;
  if (!json_parse(line, message)) {
    log("unreadable message ignored");
    return;
  }
  const std::string method = get_string(message, "method", "");
  const JsonValue* params = message.find("params");
  if (method.empty()) {
    handle_response(message);
  } else if (method == "mining.notify") {
    if (params != nullptr) handle_notify(*params);
  } else if (method == "mining.set_difficulty") {
    handle_set_difficulty(params);
  } else if (method == "mining.set_extranonce") {
    handle_set_extranonce(params);
  } else if (method == "client.show_message") {
    if (params != nullptr && !params->array.empty() && !params->array[0].string.empty()) {
      log("pool: " + params->array[0].string);
    }
  } else if (method == "client.reconnect") {
    log("the pool asked us to reconnect");
    close_connection();
  }
}

void Stratum::handle_response(const JsonValue& message) {
  const double raw_id = get_number(message, "id", 0.0);
  // Ids this client sends are small whole numbers; anything outside that range matches none.
  const std::uint64_t id =
      (raw_id >= 0.0 && raw_id < 18446744073709551616.0) ? static_cast<std::uint64_t>(raw_id) : 0;
  const JsonValue* result = message.find("result");
  const JsonValue* error = message.find("error");
  if (id == 1) {
    handle_subscribe_result(result, error);
    return;
  }
  const bool accepted = result != nullptr && result->kind == JsonKind::Bool && result->boolean;
  if (id == 2) {
    if (accepted) {
      authorized_.store(true);
      log("authorized as " + login_name());
    } else {
      log("authorization refused for '" + login_name() + "': " + error_text(error) +
          " — check the address matches the network");
      close_connection();
    }
    return;
  }
  bool was_pending = false;
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    was_pending = pending.erase(id) > 0;
  }
  if (was_pending && on_share) on_share(accepted, accepted ? std::string() : error_text(error));
}

}  // namespace tavo
