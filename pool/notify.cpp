// The pool's work announcements: the subscribe result, mining.notify, mining.set_difficulty and
// mining.set_extranonce, and the numbering and hand-over of jobs. Session thread only.
#include <cstdio>
#include <optional>

#include "pool/hex.h"
#include "pool/messages.h"
#include "pool/stratum.h"
#include "pool/targets.h"

namespace tavo {
namespace {

constexpr std::int32_t kMinExtranonce2Size = 1;
constexpr std::int32_t kMaxExtranonce2Size = 8;

// `value` truncated toward zero, or nothing when it lies outside the 32-bit range (or is NaN).
std::optional<std::int32_t> truncate_to_int32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool valid_extranonce2_size(std::optional<std::int32_t> size) {
  return size && *size >= kMinExtranonce2Size && *size <= kMaxExtranonce2Size;
}

// Decodes exactly `size` bytes from `text`.
bool decode_exact(const std::string& text, std::size_t size, Bytes& out) {
  return text.size() == size * 2 && hex_decode(text, out);
}

bool decode_u32(const JsonValue& v, std::uint32_t& out) {
  Bytes b;
  if (!decode_exact(v.string, 4, b)) return false;
  out = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
  return true;
}

}  // namespace

void Stratum::handle_subscribe_result(const JsonValue* result, const JsonValue* error) {
  if (result == nullptr || result->kind != JsonKind::Array || result->array.size() < 3) {
    log("mining.subscribe failed: " + error_text(error));
    close_connection();
    return;
  }
  Bytes en1;
  if (!hex_decode(result->array[1].string, en1) || en1.empty()) {
    log("unusable extranonce1");
    close_connection();
    return;
  }
  const std::optional<std::int32_t> size = truncate_to_int32(result->array[2].number);
  if (!valid_extranonce2_size(size)) {
    log("unsupported extranonce2 size");
    close_connection();
    return;
  }
  extranonce1 = std::move(en1);
  extranonce2_size = *size;
  log("subscribed: extranonce1=" + hex_encode(extranonce1) +
      " extranonce2 size=" + std::to_string(extranonce2_size));
  (void)send_all(authorize_message(login_name()));
}

void Stratum::handle_notify(const JsonValue& params) {
  if (params.kind != JsonKind::Array || params.array.size() < 9) {
    log("mining.notify: too few parameters");
    return;
  }
  const std::vector<JsonValue>& p = params.array;
  Job job;
  job.job_id = p[0].string;

  Bytes prev;
  if (!decode_exact(p[1].string, 32, prev)) {
    log("mining.notify: malformed prevhash");
    return;
  }
  // The pool sends the previous hash as eight 32-bit words in the opposite byte order.
  for (std::size_t k = 0; k < 8; ++k) {
    for (std::size_t i = 0; i < 4; ++i) job.prev_hash[4 * k + i] = prev[4 * k + 3 - i];
  }

  if (!hex_decode(p[2].string, job.coinb1) || !hex_decode(p[3].string, job.coinb2) ||
      job.coinb1.empty()) {
    log("mining.notify: malformed coinbase");
    return;
  }

  if (p[4].kind != JsonKind::Array) {
    log("mining.notify: malformed merkle branch");
    return;
  }
  for (const JsonValue& branch : p[4].array) {
    Bytes b;
    if (branch.kind != JsonKind::String || !decode_exact(branch.string, 32, b)) {
      log("mining.notify: malformed merkle branch");
      return;
    }
    Hash32& h = job.merkle_branches.emplace_back();
    std::copy(b.begin(), b.end(), h.begin());
  }

  if (!decode_u32(p[5], job.version) || !decode_u32(p[6], job.nbits) ||
      !decode_u32(p[7], job.ntime)) {
    log("mining.notify: malformed version/bits/ntime");
    return;
  }

  job.clean_jobs = p[8].kind == JsonKind::Bool && p[8].boolean;
  job.extranonce1 = extranonce1;
  job.extranonce2_size = extranonce2_size;
  job.height = coinbase_height(job.coinb1);
  dispatch_job(std::move(job));
}

void Stratum::handle_set_difficulty(const JsonValue* params) {
  if (params == nullptr || params->array.empty()) return;
  const double d = params->array[0].number;
  if (!(d > 0) || d == difficulty) return;
  difficulty = d;
  char text[64];
  std::snprintf(text, sizeof text, "difficulty set to %g", d);
  log(text);
  if (!last_job.job_id.empty() && !last_job.coinb1.empty()) dispatch_job(last_job);
}

void Stratum::handle_set_extranonce(const JsonValue* params) {
  if (params == nullptr || params->array.empty()) return;
  Bytes en1;
  if (!hex_decode(params->array[0].string, en1) || en1.empty()) return;
  extranonce1 = std::move(en1);
  if (params->array.size() >= 2) {
    const std::optional<std::int32_t> size = truncate_to_int32(params->array[1].number);
    if (valid_extranonce2_size(size)) extranonce2_size = *size;
  }
  log("extranonce1 changed to " + hex_encode(extranonce1));
}

void Stratum::dispatch_job(Job job) {
  job.seq = job_counter.fetch_add(1) + 1;
  job.share_target = difficulty_to_target(difficulty > 0 ? difficulty : 1.0);
  job.block_target = nbits_to_target(job.nbits);
  last_job = job;
  if (on_job) on_job(job);
}

}  // namespace tavo
