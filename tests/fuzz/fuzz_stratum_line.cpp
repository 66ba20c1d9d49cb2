// Fuzz target: bytes as they arrive from a pool, through the client's line framing and its line
// handler, on a client that never connects (ClientProbe checks every job, share result and
// report it produces).
//
// The input is the received byte stream. It is cut into lines twice, once as a whole and once in
// reads of a size taken from its first byte, and both cuts must yield the same lines: how the
// network splits the stream must not change what the client sees. The lines then go to the
// client in order, so one input can carry a whole conversation (subscribe result, authorize
// answer, difficulty, notifications, share results).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pool/framing.h"
#include "tests/fuzz/client_probe.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::vector<std::string> cut_in_reads(std::string_view bytes, std::size_t read_size) {
  std::vector<std::string> lines;
  std::string inbox;
  for (std::size_t at = 0; at < bytes.size(); at += read_size) {
    inbox.append(bytes.substr(at, read_size));
    (void)tavo::cut_lines(inbox, [&](std::string_view l) { lines.emplace_back(l); });
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t read_size = 1 + data[0] % 64;
  FUZZ_CHECK(cut_in_reads(bytes, read_size) == cut_in_reads(bytes, bytes.size()));

  tavo::fuzz::ClientProbe probe;
  (void)probe.stream(bytes);
  return 0;
}
