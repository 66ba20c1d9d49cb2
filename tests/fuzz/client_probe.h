// ClientProbe: a pool client that never connects, driven line by line through handle_line, with
// callbacks that hold every event to what the miner and the console rely on. Shared by the fuzz
// targets that feed received lines. Single-threaded: the callbacks run on the caller's thread.
//
// Properties checked on every event:
//  - each job is numbered one above the previous one, can be mined (non-empty coinbase part,
//    extranonce2 size 1 to 8), carries the block target of its nbits and the height of its
//    coinbase, and turns into a header the way a worker builds it;
//  - a share built on a job goes out as one line of JSON whose job id reads back unchanged, so
//    no job id a pool chooses can break or extend the submit message;
//  - a share result only ever answers a share that was sent, never more results than shares;
//  - every log line is one of the client's own reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pool/stratum.h"

namespace tavo::fuzz {

class ClientProbe {
 public:
  ClientProbe();
  ClientProbe(const ClientProbe&) = delete;
  ClientProbe& operator=(const ClientProbe&) = delete;

  // Hands one received line to the client; while the client counts as authorized, a share is
  // then submitted on the newest job, so that later lines can answer it.
  void line(std::string_view text);

  // Cuts a received byte stream into lines as the session thread does and hands each over.
  // Returns false when the stream would have been dropped as garbled.
  bool stream(std::string_view bytes);

  std::uint64_t jobs() const { return jobs_; }

 private:
  void check_job(const Job& job);
  void check_log(const std::string& text) const;

  Stratum client_;
  std::string inbox_;
  std::uint64_t jobs_ = 0;
  std::uint64_t last_seq_ = 0;
  std::uint64_t submits_ = 0;
  std::uint64_t results_ = 0;
  Job newest_;
  std::uint32_t counter_ = 0;
};

}  // namespace tavo::fuzz
