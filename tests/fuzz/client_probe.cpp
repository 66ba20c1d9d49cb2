#include "tests/fuzz/client_probe.h"

#include <array>

#include "pool/framing.h"
#include "pool/json.h"
#include "pool/messages.h"
#include "pool/targets.h"
#include "tests/fuzz/fuzz_check.h"

namespace tavo::fuzz {

namespace {

constexpr std::array<std::string_view, 9> kExactReports = {
    "unreadable message ignored",
    "mining.notify: too few parameters",
    "mining.notify: malformed prevhash",
    "mining.notify: malformed coinbase",
    "mining.notify: malformed merkle branch",
    "mining.notify: malformed version/bits/ntime",
    "the pool asked us to reconnect",
    "unusable extranonce1",
    "unsupported extranonce2 size",
};

constexpr std::array<std::string_view, 7> kReportPrefixes = {
    "difficulty set to ",       "extranonce1 changed to ", "pool: ",
    "mining.subscribe failed: ", "subscribed: extranonce1=", "authorized as ",
    "authorization refused for '",
};

}  // namespace

ClientProbe::ClientProbe() {
  client_.on_job = [this](const Job& job) { check_job(job); };
  client_.on_share = [this](bool accepted, const std::string& reason) {
    ++results_;
    FUZZ_CHECK(results_ <= submits_);
    if (accepted) FUZZ_CHECK(reason.empty());
  };
  client_.on_log = [this](const std::string& text) { check_log(text); };
}

void ClientProbe::line(std::string_view text) {
  client_.handle_line(text);
  if (client_.authorized() && jobs_ > 0) {
    Bytes en2 = make_extranonce2(newest_.extranonce2_size, 0, counter_);
    client_.submit(newest_.job_id, extranonce2_hex(en2), newest_.ntime, 0x01020304u);
    ++submits_;
  }
}

bool ClientProbe::stream(std::string_view bytes) {
  inbox_.append(bytes);
  return cut_lines(inbox_, [this](std::string_view l) {
    FUZZ_CHECK(!l.empty() && l.find('\n') == std::string_view::npos);
    line(l);
  });
}

void ClientProbe::check_job(const Job& job) {
  ++jobs_;
  FUZZ_CHECK(job.seq == last_seq_ + 1);
  last_seq_ = job.seq;
  FUZZ_CHECK(!job.coinb1.empty());
  FUZZ_CHECK(job.extranonce2_size >= 1 && job.extranonce2_size <= 8);
  FUZZ_CHECK(job.block_target == nbits_to_target(job.nbits));
  FUZZ_CHECK(job.height == coinbase_height(job.coinb1));

  // What a worker does with it: its own extranonce2, then the header.
  std::uint32_t counter = 0;
  const Bytes en2 = make_extranonce2(job.extranonce2_size, 3, counter);
  FUZZ_CHECK(en2.size() == static_cast<std::size_t>(job.extranonce2_size));
  const Header header = build_header(job, en2);
  FUZZ_CHECK(header_nonce(header) == 0);

  // The share message it would send reads back with the pool's job id intact.
  const std::string message = submit_message(100, "vx1qlogin.rig", job.job_id, extranonce2_hex(en2),
                                             job.ntime, 0xdeadbeefu);
  FUZZ_CHECK(!message.empty() && message.back() == '\n');
  FUZZ_CHECK(message.find('\n') == message.size() - 1);
  JsonValue parsed;
  FUZZ_CHECK(json_parse(std::string_view(message).substr(0, message.size() - 1), parsed));
  const JsonValue* params = parsed.find("params");
  FUZZ_CHECK(params != nullptr && params->array.size() == 5);
  FUZZ_CHECK(params->array[1].string == job.job_id);
  newest_ = job;
}

void ClientProbe::check_log(const std::string& text) const {
  for (const std::string_view exact : kExactReports) {
    if (text == exact) return;
  }
  for (const std::string_view prefix : kReportPrefixes) {
    if (text.compare(0, prefix.size(), prefix) == 0) return;
  }
  std::fprintf(stderr, "unexpected report: %.200s\n", text.c_str());
  FUZZ_CHECK(false);
}

}  // namespace tavo::fuzz
